// What the program assumes of the AppleSMC user client, stated against the platform
// itself: on a Mac the real one, elsewhere the simulated Mac. Read-only unless
// TAMSO_PLATFORM_WRITES=1 and root; a write always puts back the value it found, also
// when the run is stopped by SIGINT, SIGTERM or SIGHUP.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <IOKit/IOKitLib.h>

#include "smc/smc.h"

namespace {

// The charge-inhibit keys the program knows, as key-info reports them where they hold
// data.
struct inhibit_key {
	const char *name;
	uint32_t size;
	const char *type;
};
constexpr inhibit_key inhibit_keys[] = {
    {"CHTE", 4, "ui32"},
    {"CH0B", 1, "hex_"},
    {"CH0C", 1, "hex_"},
};

// A name no SMC has.
constexpr const char *absent_key = "Zq?!";

struct exchange {
	kern_return_t kr = kIOReturnError;
	smc_record reply = {};
	size_t reply_size = 0;
};

class AppleSmc : public testing::Test {
protected:
	io_connect_t conn = IO_OBJECT_NULL;

	void SetUp() override
	{
		io_service_t service =
		    IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
		if (service == IO_OBJECT_NULL)
			GTEST_SKIP() << "this Mac has no AppleSMC service (a virtual machine?)";
		kern_return_t kr = IOServiceOpen(service, mach_task_self(), 0, &conn);
		EXPECT_EQ(IOObjectRelease(service), KERN_SUCCESS);
		ASSERT_EQ(kr, kIOReturnSuccess) << "IOServiceOpen of AppleSMC with type 0";
		ASSERT_NE(conn, IO_OBJECT_NULL);
	}

	void TearDown() override
	{
		if (conn != IO_OBJECT_NULL) {
			EXPECT_EQ(IOServiceClose(conn), kIOReturnSuccess);
		}
	}

	// One exchange of the 80-byte record, as the program makes it.
	exchange call(const char *name, uint8_t command, uint32_t data_size = 0,
	              const uint8_t *value = nullptr)
	{
		smc_record request = {};
		request.key = smc_key_code(name);
		request.command = command;
		request.data_size = data_size;
		if (value != nullptr)
			memcpy(request.bytes, value, data_size);
		exchange e;
		e.reply_size = sizeof e.reply;
		e.kr = IOConnectCallStructMethod(conn, smc_selector, &request, sizeof request,
		                                 &e.reply, &e.reply_size);
		return e;
	}

	// The first charge-inhibit key this Mac has with data, or nullptr.
	const inhibit_key *key_with_data()
	{
		for (const inhibit_key &key : inhibit_keys) {
			exchange info = call(key.name, smc_cmd_keyinfo);
			if (info.kr == kIOReturnSuccess && info.reply.result == 0 &&
			    info.reply.data_size > 0)
				return &key;
		}
		return nullptr;
	}

	std::vector<uint8_t> read_value(const char *name, uint32_t size)
	{
		exchange e = call(name, smc_cmd_read, size);
		EXPECT_EQ(e.kr, kIOReturnSuccess) << "read " << name;
		EXPECT_EQ(e.reply.result, 0) << "read " << name;
		return std::vector<uint8_t>(e.reply.bytes, e.reply.bytes + size);
	}
};

std::string type_name(uint32_t code)
{
	std::string name;
	for (int shift = 24; shift >= 0; shift -= 8)
		name += static_cast<char>(code >> shift);
	return name;
}

TEST(AppleSmcService, IsFoundOnTheDefaultMainPortAndOpensWithTypeZero)
{
	CFMutableDictionaryRef matching = IOServiceMatching("AppleSMC");
	ASSERT_NE(matching, nullptr);
	// The lookup takes over the dictionary whatever it finds.
	io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, matching);
	if (service == IO_OBJECT_NULL)
		GTEST_SKIP() << "this Mac has no AppleSMC service (a virtual machine?)";
	io_connect_t conn = IO_OBJECT_NULL;
	EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0, &conn), kIOReturnSuccess);
	EXPECT_NE(conn, IO_OBJECT_NULL);
	// The service outlives the open and is released on its own; the connection is closed.
	EXPECT_EQ(IOObjectRelease(service), KERN_SUCCESS);
	if (conn != IO_OBJECT_NULL) {
		EXPECT_EQ(IOServiceClose(conn), kIOReturnSuccess);
	}
}

TEST_F(AppleSmc, OneConnectionServesManyExchanges)
{
	const inhibit_key *key = key_with_data();
	if (key == nullptr)
		GTEST_SKIP() << "this Mac has none of CHTE, CH0B, CH0C with data";
	std::vector<uint8_t> first = read_value(key->name, key->size);
	for (int i = 0; i < 50; i++) {
		exchange info = call(key->name, smc_cmd_keyinfo);
		ASSERT_EQ(info.kr, kIOReturnSuccess) << "key-info number " << i;
		ASSERT_EQ(info.reply.result, 0) << "key-info number " << i;
		ASSERT_EQ(info.reply.data_size, key->size) << "key-info number " << i;
		ASSERT_EQ(read_value(key->name, key->size), first) << "read number " << i;
	}
}

TEST_F(AppleSmc, KeyInfoOfAKeyItHasGivesItsSizeAndType)
{
	int found = 0;
	for (const inhibit_key &key : inhibit_keys) {
		exchange info = call(key.name, smc_cmd_keyinfo);
		// Whether the key exists or not, the call itself succeeds.
		ASSERT_EQ(info.kr, kIOReturnSuccess) << key.name;
		EXPECT_EQ(info.reply_size, sizeof(smc_record)) << key.name;
		if (info.reply.result != 0 || info.reply.data_size == 0)
			continue; // absent here, or present without data (newest firmware)
		found++;
		EXPECT_EQ(info.reply.data_size, key.size) << key.name;
		EXPECT_EQ(type_name(info.reply.data_type), key.type) << key.name;
	}
	if (found == 0)
		GTEST_SKIP() << "this Mac has none of CHTE, CH0B, CH0C with data";
}

TEST_F(AppleSmc, KeyInfoOfAKeyItLacksFailsInTheReplyNotTheCall)
{
	exchange info = call(absent_key, smc_cmd_keyinfo);
	EXPECT_EQ(info.kr, kIOReturnSuccess);
	EXPECT_NE(info.reply.result, 0) << "key-info of " << absent_key << " reported success";
}

TEST_F(AppleSmc, ReadGivesExactlyTheKeysSize)
{
	const inhibit_key *key = key_with_data();
	if (key == nullptr)
		GTEST_SKIP() << "this Mac has none of CHTE, CH0B, CH0C with data";
	exchange read = call(key->name, smc_cmd_read, key->size);
	ASSERT_EQ(read.kr, kIOReturnSuccess);
	EXPECT_EQ(read.reply.result, 0);
	EXPECT_EQ(read.reply_size, sizeof(smc_record));
	EXPECT_EQ(read.reply.data_size, key->size);
}

TEST_F(AppleSmc, RecordOfAnotherSizeThan80BytesIsRefused)
{
	RecordProperty("deliberate_misuse", "record size");
	struct {
		size_t request;
		size_t reply;
	} const sizes[] = {{79, 80}, {81, 80}, {40, 80}, {80, 79}};
	for (const auto &size : sizes) {
		// Room for the largest size tried; a harmless key-info request.
		uint8_t request[96] = {}, reply[96] = {};
		smc_record record = {};
		record.key = smc_key_code("CHTE");
		record.command = smc_cmd_keyinfo;
		memcpy(request, &record, sizeof record);
		size_t reply_size = size.reply;
		kern_return_t kr = IOConnectCallStructMethod(conn, smc_selector, request,
		                                             size.request, reply, &reply_size);
		EXPECT_NE(kr, kIOReturnSuccess)
		    << "request of " << size.request << " bytes, reply of " << size.reply;
	}
	// The connection still serves records of the right size.
	EXPECT_EQ(call("CHTE", smc_cmd_keyinfo).kr, kIOReturnSuccess);
}

using saved_values = std::vector<std::pair<const char *, std::vector<uint8_t>>>;

// The values a write case must put back, where a signal handler can reach them without
// allocating. One write case holds them at a time.
struct held_value {
	uint32_t key;
	uint32_t size;
	uint8_t bytes[smc_value_max];
};
constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int held_max = 2;
held_value held[held_max];
volatile sig_atomic_t held_count = 0;
io_connect_t held_conn = IO_OBJECT_NULL;
struct sigaction stop_actions_before[std::size(stop_signals)];

// Writes every held value back; true when the SMC took each. Called from a signal
// handler too: a record on the stack and the user client's structure method, nothing
// that allocates or locks.
bool write_back_held()
{
	bool all = true;
	for (int i = 0; i < held_count; i++) {
		smc_record request = {}, reply = {};
		request.key = held[i].key;
		request.command = smc_cmd_write;
		request.data_size = held[i].size;
		memcpy(request.bytes, held[i].bytes, held[i].size);
		size_t reply_size = sizeof reply;
		kern_return_t kr = IOConnectCallStructMethod(held_conn, smc_selector, &request,
		                                             sizeof request, &reply, &reply_size);
		if (kr != kIOReturnSuccess || reply.result != 0)
			all = false;
	}
	return all;
}

// A stop (an interrupt, a terminal's hang-up, a time-out's SIGTERM) between the pause
// and the restore: put the found values back, then end as the signal would have ended
// the run. The signal is blocked while this runs, so the one raised again arrives, with
// its default action, as soon as the handler returns.
extern "C" void restore_and_stop(int signo)
{
	(void)write_back_held();
	struct sigaction fallback = {};
	fallback.sa_handler = SIG_DFL;
	sigemptyset(&fallback.sa_mask);
	sigaction(signo, &fallback, nullptr);
	raise(signo);
}

// Writes back the values it holds when it goes out of scope, so that a failed assertion
// cannot leave charging paused; while it lives, SIGINT, SIGTERM and SIGHUP write them
// back as well before they end the process. (SIGKILL cannot be caught.)
struct restorer {
	restorer(io_connect_t conn, const saved_values &saved)
	{
		EXPECT_EQ(held_count, 0) << "a write case already holds values";
		EXPECT_LE(saved.size(), static_cast<size_t>(held_max));
		held_conn = conn;
		int count = 0;
		for (const auto &[name, value] : saved) {
			if (count == held_max || value.size() > smc_value_max)
				break;
			held[count].key = smc_key_code(name);
			held[count].size = static_cast<uint32_t>(value.size());
			memcpy(held[count].bytes, value.data(), value.size());
			count++;
		}
		held_count = count;
		struct sigaction stop = {};
		stop.sa_handler = restore_and_stop;
		sigemptyset(&stop.sa_mask);
		for (int signo : stop_signals)
			sigaddset(&stop.sa_mask, signo);
		for (size_t i = 0; i < std::size(stop_signals); i++)
			EXPECT_EQ(sigaction(stop_signals[i], &stop, &stop_actions_before[i]), 0);
	}

	~restorer()
	{
		EXPECT_TRUE(write_back_held()) << "could not restore the charge-inhibit keys";
		for (size_t i = 0; i < std::size(stop_signals); i++)
			EXPECT_EQ(sigaction(stop_signals[i], &stop_actions_before[i], nullptr), 0);
		held_count = 0;
	}

	restorer(const restorer &) = delete;
	restorer &operator=(const restorer &) = delete;
};

// Set by the test that stops a write case on purpose (the last below): the write end of
// a pipe on which the write case says that charging is paused before it waits to be
// stopped.
constexpr const char *hold_variable = "TAMSO_PLATFORM_HOLD_FD";

// Between the pause and the restore, when asked: report the pause, then wait to be
// stopped, for 20 seconds at most.
void hold_if_asked()
{
	const char *hold = getenv(hold_variable);
	if (hold == nullptr)
		return;
	int fd = atoi(hold);
	ASSERT_EQ(::write(fd, "p", 1), 1) << hold_variable << "=" << hold;
	close(fd);
	for (int i = 0; i < 200; i++)
		usleep(100 * 1000); // a signal cuts one short; a handler that returns goes on
	ADD_FAILURE() << "held between the pause and the restore and not stopped";
}

// The charge-inhibit keys to write on this Mac, the value that pauses charging, and
// the values the keys hold now.
struct inhibit_pair {
	std::vector<const char *> names;
	std::vector<uint8_t> pause;
	saved_values found;
};

class AppleSmcWrites : public AppleSmc {
protected:
	void SetUp() override
	{
		const char *writes = getenv("TAMSO_PLATFORM_WRITES");
		if (writes == nullptr || strcmp(writes, "1") != 0)
			GTEST_SKIP()
			    << "read-only run; TAMSO_PLATFORM_WRITES=1 (as root) tests writes";
		if (geteuid() != 0)
			GTEST_SKIP() << "writing SMC keys needs root";
		AppleSmc::SetUp();
	}

	bool write(const char *name, const std::vector<uint8_t> &value)
	{
		exchange e =
		    call(name, smc_cmd_write, static_cast<uint32_t>(value.size()), value.data());
		return e.kr == kIOReturnSuccess && e.reply.result == 0;
	}

	// CHTE alone where the Mac has it, else the pair CH0B and CH0C; `keys` stays empty
	// when it has none of them with data.
	void find_inhibit_keys(inhibit_pair *keys)
	{
		const inhibit_key *key = key_with_data();
		if (key == nullptr)
			return;
		std::vector<const char *> names = {"CHTE"};
		std::vector<uint8_t> pause = {1, 0, 0, 0};
		if (strcmp(key->name, "CHTE") != 0) {
			names = {"CH0B", "CH0C"};
			pause = {2};
		}
		for (const char *name : names) {
			exchange info = call(name, smc_cmd_keyinfo);
			ASSERT_EQ(info.reply.result, 0) << name;
			ASSERT_EQ(info.reply.data_size, pause.size()) << name;
			keys->found.emplace_back(name, read_value(name, info.reply.data_size));
		}
		keys->names = names;
		keys->pause = pause;
	}
};

constexpr const char *write_case =
    "AppleSmcWrites.PausingChargingReadsBackAndTheFoundStateIsRestored";

TEST_F(AppleSmcWrites, PausingChargingReadsBackAndTheFoundStateIsRestored)
{
	inhibit_pair keys;
	ASSERT_NO_FATAL_FAILURE(find_inhibit_keys(&keys));
	if (keys.names.empty())
		GTEST_SKIP() << "this Mac has none of CHTE, CH0B, CH0C with data";
	struct sigaction before[std::size(stop_signals)];
	for (size_t i = 0; i < std::size(stop_signals); i++)
		sigaction(stop_signals[i], nullptr, &before[i]);
	{
		restorer guard(conn, keys.found);
		for (const char *name : keys.names) {
			ASSERT_TRUE(write(name, keys.pause)) << "write " << name;
			EXPECT_EQ(read_value(name, static_cast<uint32_t>(keys.pause.size())),
			          keys.pause)
			    << name;
		}
		hold_if_asked();
	}
	for (const auto &[name, value] : keys.found)
		EXPECT_EQ(read_value(name, static_cast<uint32_t>(value.size())), value)
		    << name << " after restoring";
	// Once the values are back, a stop is a stop again.
	for (size_t i = 0; i < std::size(stop_signals); i++) {
		struct sigaction now;
		sigaction(stop_signals[i], nullptr, &now);
		EXPECT_EQ(now.sa_handler, before[i].sa_handler) << strsignal(stop_signals[i]);
	}
}

extern "C" char **environ;

// Runs the write case above in a process of its own, with the write end of a pipe as
// its hold; its report is dropped, the caller checks what it left behind.
pid_t start_held_write_case(int hold_fd)
{
	std::string self = testing::internal::GetArgvs()[0];
	std::string filter = std::string("--gtest_filter=") + write_case;
	std::vector<std::string> variables;
	for (char **e = environ; *e != nullptr; e++)
		variables.push_back(*e);
	variables.push_back(std::string(hold_variable) + "=" + std::to_string(hold_fd));
	std::vector<char *> envp;
	for (std::string &v : variables)
		envp.push_back(v.data());
	envp.push_back(nullptr);
	char *argv[] = {self.data(), filter.data(), nullptr};
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
	pid_t pid = -1;
	int error = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data());
	posix_spawn_file_actions_destroy(&actions);
	EXPECT_EQ(error, 0) << self << ": " << strerror(error);
	return error == 0 ? pid : -1;
}

// An interrupt, a terminal's hang-up or a time-out's SIGTERM that stops a write case
// while charging is paused: the found values are back and the process still ends by
// that signal. This test sets the keys to allowing charging first, so that a pause left
// behind shows, and puts back what it found at the end.
TEST_F(AppleSmcWrites, AStopBetweenThePauseAndTheRestoreRestoresAndStillStops)
{
	inhibit_pair keys;
	ASSERT_NO_FATAL_FAILURE(find_inhibit_keys(&keys));
	if (keys.names.empty())
		GTEST_SKIP() << "this Mac has none of CHTE, CH0B, CH0C with data";
	restorer guard(conn, keys.found);
	const std::vector<uint8_t> allow(keys.pause.size(), 0);
	for (int signo : stop_signals) {
		SCOPED_TRACE(strsignal(signo));
		for (const char *name : keys.names)
			ASSERT_TRUE(write(name, allow)) << "write " << name;
		int hold[2];
		ASSERT_EQ(pipe(hold), 0);
		ASSERT_EQ(fcntl(hold[0], F_SETFD, FD_CLOEXEC), 0);
		pid_t pid = start_held_write_case(hold[1]);
		close(hold[1]);
		if (pid == -1) {
			close(hold[0]);
			return;
		}
		struct pollfd said_fd = {hold[0], POLLIN, 0};
		char said = 0;
		bool paused_now = poll(&said_fd, 1, 30 * 1000) == 1 && read(hold[0], &said, 1) == 1;
		close(hold[0]);
		if (paused_now) {
			for (const char *name : keys.names)
				EXPECT_EQ(read_value(name, static_cast<uint32_t>(keys.pause.size())),
				          keys.pause)
				    << name << " while the write case holds";
			EXPECT_EQ(kill(pid, signo), 0);
		} else {
			ADD_FAILURE() << "the write case never said that charging is paused";
			kill(pid, SIGKILL);
		}
		int status = 0;
		ASSERT_EQ(waitpid(pid, &status, 0), pid);
		bool ended_by_signal = WIFSIGNALED(status) && WTERMSIG(status) == signo;
		EXPECT_TRUE(ended_by_signal)
		    << "the write case ended with status " << status << ", not by the signal";
		for (const char *name : keys.names)
			EXPECT_EQ(read_value(name, static_cast<uint32_t>(allow.size())), allow)
			    << name << " after the stop";
	}
}

} // namespace
