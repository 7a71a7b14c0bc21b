// The simulated Mac's firmware and system events: keys the firmware refuses, keys of no
// data, forced sleep, the firmware's reset of the charge keys, signals the process did or
// did not prepare for, and a root the stand-in cannot use. The program's own code plays no
// part here: each test drives the platform calls itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/IOMessage.h>
#include <IOKit/pwr_mgt/IOPMLib.h>
#include <dispatch/dispatch.h>
#include <simmac/simmac.h>

#include "smc/smc.h"
#include "support.h"

namespace {

using lines = std::vector<std::string>;

// The AppleSMC user client's 80-byte record, as the program lays it out.
using record = smc_record;
static_assert(static_cast<uint32_t>(kIOReturnNotPrivileged) == 0xE00002C1u);

constexpr uint8_t keyinfo = smc_cmd_keyinfo, read_key = smc_cmd_read, write_key = smc_cmd_write;

uint32_t code_of(const char *name)
{
	return static_cast<uint32_t>(static_cast<uint8_t>(name[0])) << 24 |
	       static_cast<uint32_t>(static_cast<uint8_t>(name[1])) << 16 |
	       static_cast<uint32_t>(static_cast<uint8_t>(name[2])) << 8 | static_cast<uint8_t>(name[3]);
}

io_connect_t open_smc()
{
	io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
	io_connect_t connection = IO_OBJECT_NULL;
	if (service != IO_OBJECT_NULL && IOServiceOpen(service, mach_task_self(), 0, &connection) != kIOReturnSuccess)
		connection = IO_OBJECT_NULL;
	IOObjectRelease(service);
	return connection;
}

// One exchange; `reply` and `reply_size` as the call leaves them.
kern_return_t call(io_connect_t connection, uint8_t command, const char *name, const std::vector<uint8_t> &value,
                   record *reply, size_t *reply_size)
{
	record request = {};
	request.key = code_of(name);
	request.command = command;
	request.data_size = static_cast<uint32_t>(value.size());
	std::copy(value.begin(), value.end(), request.bytes);
	memset(reply, 0xAA, sizeof *reply); // what an unanswered reply keeps
	*reply_size = sizeof *reply;
	return IOConnectCallStructMethod(connection, 2, &request, sizeof request, reply, reply_size);
}

class SimulatedEvents : public testing::Test {
protected:
	void SetUp() override
	{
		root = support::make_root();
	}
	void TearDown() override
	{
		support::remove_tree(root);
	}
	std::string root;
};

// A denied command makes the call itself fail with kIOReturnNotPrivileged, leaves the
// reply and its size alone and changes nothing; the key's other commands still answer.
TEST_F(SimulatedEvents, DeniedCommandFailsTheCallItself)
{
	struct row {
		uint8_t command;
		const char *deny;
		std::vector<uint8_t> value;
		std::string line;
	} rows[] = {
	    {keyinfo, "keyinfo", {}, "keyinfo CHTE error"},
	    {read_key, "read", {}, "read CHTE error"},
	    {write_key, "write", {1, 0, 0, 0}, "write CHTE error 01000000"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.deny);
		const std::string machine = std::string("smc present\nkey CHTE 4 ui32 00000000\ndeny CHTE ") + r.deny + "\n";
		simmac::load(machine);
		io_connect_t connection = open_smc();
		ASSERT_NE(connection, IO_OBJECT_NULL);
		simmac::clear_trace();
		record reply;
		size_t reply_size;
		EXPECT_EQ(call(connection, r.command, "CHTE", r.value, &reply, &reply_size), kIOReturnNotPrivileged);
		EXPECT_EQ(reply_size, sizeof reply);
		EXPECT_EQ(reply.result, 0xAA);
		EXPECT_EQ(simmac::trace(), lines{r.line});
		EXPECT_EQ(simmac::machine_text(), machine);
		// The commands not denied answer as ever.
		for (uint8_t other : {keyinfo, read_key, write_key}) {
			if (other == r.command)
				continue;
			std::vector<uint8_t> value = other == write_key ? std::vector<uint8_t>{0, 0, 0, 0} : std::vector<uint8_t>{};
			EXPECT_EQ(call(connection, other, "CHTE", value, &reply, &reply_size), kIOReturnSuccess);
			EXPECT_EQ(reply.result, 0);
		}
		EXPECT_EQ(simmac::misuses(), 0);
		IOServiceClose(connection);
	}
}

// Keys of no data, as the newest firmware reports its charge keys: key-info says size 0,
// a read answers 0 bytes, a write of a byte is refused by size and one of no bytes
// changes nothing. A CHTE of no data inhibits nothing, so the battery charges.
TEST_F(SimulatedEvents, KeysOfNoDataAnswerEveryCommand)
{
	const std::string machine = "smc present\nkey CHTE 0 ui32 -\nkey CH0B 0 hex_ -\nkey CH0C 0 hex_ -\n"
	                            "key CHIE 1 hex_ 00\npower ac\nsource B current=40 max=100\n"
	                            "battery charge=60 discharge=12 sleep=1\n";
	simmac::load(machine);
	io_connect_t connection = open_smc();
	ASSERT_NE(connection, IO_OBJECT_NULL);
	simmac::clear_trace();
	record reply;
	size_t size;
	ASSERT_EQ(call(connection, keyinfo, "CHTE", {}, &reply, &size), kIOReturnSuccess);
	EXPECT_EQ(reply.result, 0);
	EXPECT_EQ(reply.data_size, 0u);
	EXPECT_EQ(reply.data_type, code_of("ui32"));
	ASSERT_EQ(call(connection, read_key, "CH0B", {}, &reply, &size), kIOReturnSuccess);
	EXPECT_EQ(reply.result, 0);
	EXPECT_EQ(reply.data_size, 0u);
	ASSERT_EQ(call(connection, write_key, "CH0C", {2}, &reply, &size), kIOReturnSuccess);
	EXPECT_NE(reply.result, 0);
	ASSERT_EQ(call(connection, write_key, "CHTE", {}, &reply, &size), kIOReturnSuccess);
	EXPECT_EQ(reply.result, 0);
	EXPECT_EQ(simmac::trace(),
	          (lines{"keyinfo CHTE ok 0", "read CH0B ok -", "write CH0C fail 02", "write CHTE ok -"}));
	simmac::advance(1800);
	std::string text = simmac::machine_text();
	EXPECT_NE(text.find("key CHTE 0 ui32 -\nkey CH0B 0 hex_ -\nkey CH0C 0 hex_ -\n"), std::string::npos) << text;
	EXPECT_NE(text.find("source B current=70 max=100\n"), std::string::npos) << text;
	EXPECT_EQ(simmac::misuses(), 0);
	IOServiceClose(connection);
}

// --- the run loop's events, in process ---

io_connect_t power_root = IO_OBJECT_NULL;
bool acknowledging = true;

void power_callback(void *, io_service_t, uint32_t type, void *argument)
{
	if (acknowledging && (type == kIOMessageCanSystemSleep || type == kIOMessageSystemWillSleep))
		IOAllowPowerChange(power_root, reinterpret_cast<intptr_t>(argument));
}

void stop_loop(CFRunLoopTimerRef, void *)
{
	CFRunLoopStop(CFRunLoopGetCurrent());
}

// Runs the main run loop (its events counted from now) until `seconds` have passed.
void run_for(double seconds)
{
	CFRunLoopTimerRef stop =
	    CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + seconds, 0, 0, 0, stop_loop, nullptr);
	CFRunLoopAddTimer(CFRunLoopGetCurrent(), stop, kCFRunLoopDefaultMode);
	CFRunLoopRun();
	CFRunLoopTimerInvalidate(stop);
	CFRelease(stop);
}

// A forced sleep asks no can-sleep question: will-sleep comes first, and without an
// acknowledgement the sleep goes on after 30 s all the same.
TEST_F(SimulatedEvents, ForcedSleepStartsWithWillSleep)
{
	struct row {
		const char *event;
		bool ack;
		lines messages;
	} rows[] = {
	    {"sleep 600", true,
	     {"message can-sleep", "ack can-sleep", "message will-sleep", "ack will-sleep", "message will-power-on",
	      "message has-powered-on"}},
	    {"sleep 600 forced", true,
	     {"message will-sleep", "ack will-sleep", "message will-power-on", "message has-powered-on"}},
	    {"sleep 600 forced", false,
	     {"message will-sleep", "ack missing", "message will-power-on", "message has-powered-on"}},
	};
	simmac::load("smc present\nregister ok\n");
	IONotificationPortRef port = nullptr;
	io_object_t notifier = IO_OBJECT_NULL;
	power_root = IORegisterForSystemPower(nullptr, &port, power_callback, &notifier);
	ASSERT_NE(power_root, IO_OBJECT_NULL);
	CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port), kCFRunLoopDefaultMode);
	for (const row &r : rows) {
		SCOPED_TRACE(std::string(r.event) + (r.ack ? "" : ", no acknowledgement"));
		simmac::load(std::string("smc present\nregister ok\npower battery\nsource B current=50 max=100\n"
		                         "battery charge=60 discharge=12 sleep=1\nat 100 ") +
		             r.event + "\n");
		acknowledging = r.ack;
		run_for(100 + 30 + 600 + 60);
		EXPECT_EQ(support::filter(simmac::trace(), {"message", "ack"}), r.messages);
		EXPECT_EQ(simmac::misuses(), 0);
	}
}

// The firmware's reset zeroes every charge key the machine holds, keys of no data
// included, and no other key; the battery, held until then, charges from that moment.
TEST_F(SimulatedEvents, ResetZeroesTheChargeKeysOnly)
{
	struct row {
		const char *name;
		std::string keys;
		std::string after;
		long current; // after the run: held 600 s, then charging 1800 s
	} rows[] = {
	    {"CHTE machine", "key CHTE 4 ui32 01000000\nkey CHIE 1 hex_ 07\n",
	     "key CHTE 4 ui32 00000000\nkey CHIE 1 hex_ 07\n", 80},
	    {"pair machine", "key CH0B 1 hex_ 02\nkey CH0C 1 hex_ 02 # the pair\nkey CH0I 1 ui8 01\n",
	     "key CH0B 1 hex_ 00\nkey CH0C 1 hex_ 00 # the pair\nkey CH0I 1 ui8 01\n", 80},
	    {"keys of no data", "key CHTE 0 ui32 -\nkey CH0B 0 hex_ -\nkey CH0C 0 hex_ -\nkey CHIE 1 hex_ 07\n",
	     "key CHTE 0 ui32 -\nkey CH0B 0 hex_ -\nkey CH0C 0 hex_ -\nkey CHIE 1 hex_ 07\n", 90},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		const std::string rest = "power ac\nsource B current=50 max=100\n";
		const std::string events = "deny CHIE write\nat 600 reset # after a restart\n";
		simmac::load("smc present\n" + r.keys + rest + "battery charge=60 discharge=12 sleep=1\n" + events);
		run_for(600 + 1800);
		EXPECT_EQ(support::filter(simmac::trace(), {"reset"}), lines{"reset"});
		std::string text = simmac::machine_text();
		EXPECT_EQ(text.rfind("smc present\n" + r.after + "power ac\nsource B current=" + std::to_string(r.current) +
		                         " max=100\nbattery ",
		                     0),
		          0u)
		    << text;
		EXPECT_NE(text.find(events), std::string::npos) << text;
	}
}

// --- signals and the trace file, in a child process each ---

io_connect_t child_smc = IO_OBJECT_NULL;

void child_pass(CFRunLoopTimerRef, void *)
{
	record reply;
	size_t size;
	(void)call(child_smc, keyinfo, "CHTE", {}, &reply, &size);
}

void child_stop(void *)
{
	CFRunLoopStop(CFRunLoopGetCurrent());
}

enum class prepared { nothing, ignored, watched };

// The child: a pass every 20 s from the start (each traces a key-info line), the machine's
// events, a stop after 190 s, then exit(0).
void child_run(int signo, prepared how)
{
	setenv("SIMMAC_CLOCK", "virtual", 1);
	signal(signo, how == prepared::ignored ? SIG_IGN : SIG_DFL);
	if (how == prepared::watched) {
		signal(signo, SIG_IGN);
		dispatch_source_t source = dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(signo),
		                                                  0, dispatch_get_main_queue());
		dispatch_source_set_event_handler_f(source, child_stop);
		dispatch_resume(source);
	}
	child_smc = open_smc();
	CFRunLoopTimerRef pass =
	    CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent(), 20, 0, 0, child_pass, nullptr);
	CFRunLoopAddTimer(CFRunLoopGetCurrent(), pass, kCFRunLoopDefaultMode);
	run_for(190);
	exit(0);
}

// `at 90 signal X`: a process that did not prepare for HUP or PIPE dies of it; one that
// ignores it goes on; one that watches it gets it through its source, traced. Whichever
// way it ends, every line traced before is in the file. PIPE is no stop signal: a run with
// none ahead is refused (the others have one after the test's own stop at 190 s).
TEST_F(SimulatedEvents, SignalEventsReachTheProcessAsRealSignals)
{
	const lines passes_until_90 = {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4",
	                               "keyinfo CHTE ok 4", "keyinfo CHTE ok 4"};
	lines whole_run = {"open ok"};
	for (int i = 0; i < 10; i++) // 0, 20, ..., 180
		whole_run.push_back("keyinfo CHTE ok 4");
	struct row {
		const char *name;
		int signo;
		prepared how;
		bool dies;
		lines trace;
		const char *stop = "";
		int code = 0; // when it does not die
	} rows[] = {
	    {"HUP", SIGHUP, prepared::nothing, true, passes_until_90},
	    {"PIPE", SIGPIPE, prepared::nothing, true, passes_until_90, "at 200 signal TERM\n"},
	    {"PIPE", SIGPIPE, prepared::ignored, false, whole_run, "at 200 signal INT\n"},
	    {"HUP", SIGHUP, prepared::ignored, false, whole_run},
	    {"HUP", SIGHUP, prepared::watched, false, {}},
	    {"PIPE", SIGPIPE, prepared::watched, false, {}, "at 200 signal TERM\n"},
	    {"PIPE", SIGPIPE, prepared::ignored, false, {"open ok"}, "", 1},
	};
	for (row &r : rows) {
		if (r.how == prepared::watched) {
			r.trace = passes_until_90;
			r.trace.push_back(std::string("signal ") + r.name);
		}
	}
	for (const row &r : rows) {
		SCOPED_TRACE(std::string(r.name) + (r.how == prepared::nothing  ? ", default action"
		                                    : r.how == prepared::ignored ? ", ignored"
		                                                                 : ", watched"));
		support::write_file(root + "/machine",
		                    std::string("smc present\nkey CHTE 4 ui32 00000000\nat 90 signal ") + r.name + "\n" + r.stop);
		support::clear_trace(root);
		if (r.dies)
			EXPECT_EXIT(child_run(r.signo, r.how), testing::KilledBySignal(r.signo), "");
		else
			EXPECT_EXIT(child_run(r.signo, r.how), testing::ExitedWithCode(r.code),
			            r.code == 0 ? "" : "add a stop event such as 'at 86400 signal TERM' to " + root + "/machine");
		EXPECT_EQ(support::trace_lines(root), r.trace);
	}
}

// The firmware's reset in a machine file: the file is rewritten with the keys zeroed and
// every other line, comments and events included, as it was.
TEST_F(SimulatedEvents, ResetRewritesTheMachineFile)
{
	const std::string before = "# a pair machine\nsmc present\nkey CH0B 1 hex_ 02 # paused\nkey CH0C 1 hex_ 02\n"
	                           "key CH0I 1 ui8 01\ndeny CH0I write\nat 30 reset\nat 40 signal TERM\n";
	support::write_file(root + "/machine", before);
	EXPECT_EXIT(
	    {
		    setenv("SIMMAC_CLOCK", "virtual", 1);
		    signal(SIGTERM, SIG_DFL);
		    run_for(100);
		    exit(0);
	    },
	    testing::KilledBySignal(SIGTERM), "");
	std::string after = before;
	after.replace(after.find("CH0B 1 hex_ 02"), 14, "CH0B 1 hex_ 00");
	after.replace(after.find("CH0C 1 hex_ 02"), 14, "CH0C 1 hex_ 00");
	EXPECT_EQ(support::read_file(root + "/machine"), after);
	EXPECT_EQ(support::trace_lines(root), lines{"reset"});
}

// A root the simulated Mac cannot use is named on standard error with the reason, once,
// and the platform calls fail as for a broken service.
TEST(SimulatedRoot, UnusableRootIsReportedWithItsReason)
{
	std::string scratch = support::make_temp_dir("simroot");
	support::write_file(scratch + "/file", "not a folder\n");
	struct row {
		std::string root;
		const char *reason;
		uid_t uid;
	} rows[] = {
	    {"/proc/nonexistent/x", "No such file or directory", 0},
	    {scratch + "/file", "Not a directory", 0},
	    {scratch + "/file/below", "Not a directory", 0},
	    {scratch + "/locked", "Permission denied", support::unprivileged_uid()},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.root);
		support::run_options options;
		if (r.reason == std::string("Permission denied")) {
			if (r.uid == 0) {
				std::cout << "skipped the unwritable root: the tests cannot switch users\n";
				continue;
			}
			// A root the user can read but not write: owned by root, its program shared.
			std::string locked = support::make_root("smc present\n");
			std::string program = support::share_with(locked, r.uid);
			ASSERT_EQ(chown(locked.c_str(), 0, 0), 0);
			ASSERT_EQ(chmod(locked.c_str(), 0755), 0);
			options.uid = r.uid;
			options.program = program.c_str();
			support::run_result result = support::run(locked, {"status"}, options);
			EXPECT_EQ(result.err, "simmac: cannot use root " + locked + ": Permission denied\n");
			EXPECT_EQ(result.out.rfind("battery=-1\nac=0\n", 0), 0u) << result.out;
			EXPECT_FALSE(support::exists(locked + "/trace"));
			support::remove_tree(locked);
			continue;
		}
		support::run_result result = support::run(r.root, {"status"}, options);
		EXPECT_EQ(result.err, "simmac: cannot use root " + r.root + ": " + r.reason + "\n");
		EXPECT_EQ(result.out.rfind("battery=-1\nac=0\n", 0), 0u) << result.out;
	}
	support::remove_tree(scratch);
}

} // namespace
