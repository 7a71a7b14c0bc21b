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
#include <sys/socket.h>
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

// The run of a test that this process started and holds at its pause (see
// start_held_run), and this process's end of the hold; 0 and -1 when there is none.
// That run writes the same keys, so it is ended before anything is put back here:
// its own restore must never land after ours.
volatile sig_atomic_t held_run_pid = 0;
volatile sig_atomic_t held_run_fd = -1;

// Waits `ms` milliseconds at most until the other end of the hold `fd` is closed in
// every process that has it, that is until the held run and all it started have ended;
// true if they have. Safe in a signal handler.
bool hold_released(int fd, int ms)
{
	struct pollfd end = {fd, POLLIN, 0};
	for (int waited = 0; waited < ms; waited += 100) {
		if (poll(&end, 1, 100) < 1)
			continue;
		char bytes[16];
		ssize_t n = read(fd, bytes, sizeof bytes);
		if (n == 0 || (n == -1 && errno != EINTR && errno != EAGAIN))
			return true;
	}
	return false;
}

// Ends the held run, if there is one: SIGKILL, so that it writes nothing more, then
// reaped; then up to 3 seconds for what it started (which notices its end) to end
// too. Safe in a signal handler; anywhere else called with the stop signals blocked, so
// that a handler never finds a run half forgotten.
void end_held_run()
{
	pid_t pid = held_run_pid;
	int fd = held_run_fd;
	if (pid > 0) {
		kill(pid, SIGKILL);
		while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
		}
	}
	if (fd != -1) {
		(void)hold_released(fd, 3000);
		close(fd);
	}
	held_run_pid = 0;
	held_run_fd = -1;
}

// The stop signals held off while it lives.
struct stops_blocked {
	sigset_t before;

	stops_blocked()
	{
		sigset_t stops;
		sigemptyset(&stops);
		for (int signo : stop_signals)
			sigaddset(&stops, signo);
		pthread_sigmask(SIG_BLOCK, &stops, &before);
	}

	~stops_blocked()
	{
		pthread_sigmask(SIG_SETMASK, &before, nullptr);
	}

	stops_blocked(const stops_blocked &) = delete;
	stops_blocked &operator=(const stops_blocked &) = delete;
};

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
// and the restore: end the held run, put the found values back, then end as the signal
// would have ended the run. The signal is blocked while this runs, so the one raised
// again arrives, with its default action, as soon as the handler returns.
extern "C" void restore_and_stop(int signo)
{
	end_held_run();
	(void)write_back_held();
	struct sigaction fallback = {};
	fallback.sa_handler = SIG_DFL;
	sigemptyset(&fallback.sa_mask);
	sigaction(signo, &fallback, nullptr);
	raise(signo);
}

// Writes back the values it holds when it goes out of scope, so that a failed assertion
// cannot leave charging paused; while it lives, SIGINT, SIGTERM and SIGHUP write them
// back as well before they end the process. Either way a held run is ended first.
// (SIGKILL cannot be caught.)
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
		{
			stops_blocked quiet;
			end_held_run();
		}
		EXPECT_TRUE(write_back_held()) << "could not restore the charge-inhibit keys";
		for (size_t i = 0; i < std::size(stop_signals); i++)
			EXPECT_EQ(sigaction(stop_signals[i], &stop_actions_before[i], nullptr), 0);
		held_count = 0;
	}

	restorer(const restorer &) = delete;
	restorer &operator=(const restorer &) = delete;
};

// Set by the tests that stop a run on purpose (the last two below): its end of the
// hold, a connected socket on which the run says that charging is paused before it
// waits to be stopped. Every process the run starts inherits it, so that the other end
// reads end-of-file only once they have all ended.
constexpr const char *hold_variable = "TAMSO_PLATFORM_HOLD_FD";

// Where a test holds charging paused, when asked: say so on the hold, then wait to be
// stopped, for 20 seconds at most. The wait also ends when the process that asked has
// gone (its end of the hold closes), so that a run never outlives it.
void hold_if_asked()
{
	const char *hold = getenv(hold_variable);
	if (hold == nullptr)
		return;
	int fd = atoi(hold);
	// The process that asked may be gone already: a failed write, not SIGPIPE.
	signal(SIGPIPE, SIG_IGN);
	ASSERT_EQ(::write(fd, "p", 1), 1) << hold_variable << "=" << hold;
	struct pollfd gone = {fd, POLLIN, 0};
	for (int i = 0; i < 200; i++) {
		// A signal cuts one wait short; a handler that returns goes on.
		if (poll(&gone, 1, 100) == 1) {
			ADD_FAILURE() << "the process that held this run has gone";
			return;
		}
	}
	ADD_FAILURE() << "held while charging is paused and not stopped";
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

	void expect_keys(const inhibit_pair &keys, const std::vector<uint8_t> &value,
	                 const char *when)
	{
		for (const char *name : keys.names)
			EXPECT_EQ(read_value(name, static_cast<uint32_t>(value.size())), value)
			    << name << " " << when;
	}
};

constexpr const char *write_case =
    "AppleSmcWrites.PausingChargingReadsBackAndTheFoundStateIsRestored";
constexpr const char *stop_case =
    "AppleSmcWrites.AStopBetweenThePauseAndTheRestoreRestoresAndStillStops";

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

// Runs one test of this program in a process of its own, told to hold at its pause,
// and records it as the held run. The run gets a process group of its own: a Control-C
// or a hang-up at the terminal then reaches this process alone, which ends the run
// before it puts anything back. The run's report is dropped; the caller checks what it
// left behind. False when it could not start.
bool start_held_run(const char *test)
{
	int ends[2];
	if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
		ADD_FAILURE() << "socketpair: " << strerror(errno);
		return false;
	}
	// This end stays in this process alone.
	EXPECT_EQ(fcntl(ends[0], F_SETFD, FD_CLOEXEC), 0);
	std::string self = testing::internal::GetArgvs()[0];
	std::string filter = std::string("--gtest_filter=") + test;
	std::string hold_name = std::string(hold_variable) + "=";
	std::vector<std::string> variables;
	for (char **e = environ; *e != nullptr; e++)
		if (strncmp(*e, hold_name.c_str(), hold_name.size()) != 0)
			variables.push_back(*e);
	variables.push_back(hold_name + std::to_string(ends[1]));
	std::vector<char *> envp;
	for (std::string &v : variables)
		envp.push_back(v.data());
	envp.push_back(nullptr);
	char *argv[] = {self.data(), filter.data(), nullptr};
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
	posix_spawnattr_t attributes;
	posix_spawnattr_init(&attributes);
	posix_spawnattr_setpgroup(&attributes, 0);
	int error = 0;
	{
		// A stop that comes now finds the run recorded, and ends it. The run starts
		// with the signals this process had before, not blocked.
		stops_blocked quiet;
		posix_spawnattr_setsigmask(&attributes, &quiet.before);
		posix_spawnattr_setflags(&attributes,
		                         POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
		pid_t pid = -1;
		error = posix_spawn(&pid, self.c_str(), &actions, &attributes, argv, envp.data());
		if (error == 0) {
			held_run_pid = pid;
			held_run_fd = ends[0];
		}
	}
	posix_spawnattr_destroy(&attributes);
	posix_spawn_file_actions_destroy(&actions);
	close(ends[1]);
	if (error != 0) {
		close(ends[0]);
		ADD_FAILURE() << self << ": " << strerror(error);
	}
	return error == 0;
}

// True once the held run has said that charging is paused, within 30 seconds.
bool held_run_paused()
{
	struct pollfd said_fd = {held_run_fd, POLLIN, 0};
	char said = 0;
	return poll(&said_fd, 1, 30 * 1000) == 1 && read(held_run_fd, &said, 1) == 1 &&
	       said == 'p';
}

// After the held run was told to stop: waits 10 seconds at most for it and all it
// started to end, then reaps and forgets it (killing it if it is still there). True
// when it ended on its own; `status` is how.
bool reap_held_run(int *status)
{
	bool ended = hold_released(held_run_fd, 10 * 1000);
	stops_blocked quiet;
	pid_t pid = held_run_pid;
	if (!ended)
		kill(pid, SIGKILL);
	pid_t reaped;
	do
		reaped = waitpid(pid, status, 0);
	while (reaped == -1 && errno == EINTR);
	EXPECT_EQ(reaped, pid);
	close(held_run_fd);
	held_run_pid = 0;
	held_run_fd = -1;
	return ended;
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
		if (!start_held_run(write_case))
			return;
		if (held_run_paused()) {
			expect_keys(keys, keys.pause, "while the write case holds");
			// Where the test below stops this one, while its own run holds.
			hold_if_asked();
			EXPECT_EQ(kill(held_run_pid, signo), 0);
		} else {
			ADD_FAILURE() << "the write case never said that charging is paused";
			kill(held_run_pid, SIGKILL);
		}
		int status = 0;
		EXPECT_TRUE(reap_held_run(&status)) << "the write case still ran after the stop";
		bool ended_by_signal = WIFSIGNALED(status) && WTERMSIG(status) == signo;
		EXPECT_TRUE(ended_by_signal)
		    << "the write case ended with status " << status << ", not by the signal";
		expect_keys(keys, allow, "after the stop");
	}
}

// The test above stopped in turn, while the write case it started holds charging
// paused. By SIGINT, SIGTERM or SIGHUP, sent to it alone (as a time-out does) or to its
// process group (as the terminal does), it ends that run before it puts back what it
// found, so that the run's own restore cannot land after its own. By SIGKILL it can do
// nothing, but its run notices, puts back what it found (charging allowed) and ends.
// Either way nothing it started is left. The keys are set to pausing charging first:
// that is what the stopped test finds, and must leave.
TEST_F(AppleSmcWrites, AStopWhileTheStopTestHoldsItsRunEndsThatRunBeforeRestoring)
{
	inhibit_pair keys;
	ASSERT_NO_FATAL_FAILURE(find_inhibit_keys(&keys));
	if (keys.names.empty())
		GTEST_SKIP() << "this Mac has none of CHTE, CH0B, CH0C with data";
	restorer guard(conn, keys.found);
	const std::vector<uint8_t> allow(keys.pause.size(), 0);
	struct {
		int signo;
		bool to_group;
		bool left_paused;
	} const stops[] = {
	    {SIGINT, false, true},  {SIGTERM, false, true}, {SIGHUP, false, true},
	    {SIGINT, true, true},   {SIGTERM, true, true},  {SIGHUP, true, true},
	    {SIGKILL, false, false},
	};
	for (const auto &stop : stops) {
		SCOPED_TRACE(std::string(strsignal(stop.signo)) +
		             (stop.to_group ? " to the process group" : " to the process alone"));
		for (const char *name : keys.names)
			ASSERT_TRUE(write(name, keys.pause)) << "write " << name;
		if (!start_held_run(stop_case))
			return;
		pid_t pid = held_run_pid;
		if (held_run_paused()) {
			EXPECT_EQ(kill(stop.to_group ? -pid : pid, stop.signo), 0);
		} else {
			ADD_FAILURE() << "the stop test never said that its run holds";
			kill(pid, SIGKILL);
		}
		int status = 0;
		EXPECT_TRUE(reap_held_run(&status))
		    << "the stop test or its run still ran 10 seconds after the stop";
		bool ended_by_signal = WIFSIGNALED(status) && WTERMSIG(status) == stop.signo;
		EXPECT_TRUE(ended_by_signal)
		    << "the stop test ended with status " << status << ", not by the signal";
		expect_keys(keys, stop.left_paused ? keys.pause : allow, "after the stop");
	}
}

} // namespace
