// The daemon as a whole: the built program run with `daemon` on simulated Macs, mostly in
// virtual time, each machine ending with a stop signal. The tests read its log, its exit
// code and the trace of its exchanges with the platform.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <string>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "support.h"

namespace {

using lines = std::vector<std::string>;

const std::string start_chte = "tamso-helper daemon started (key CHTE)";
const std::string start_pair = "tamso-helper daemon started (key CH0B/CH0C)";

const std::string chte_charging = "key CHTE 4 ui32 00000000\n";
const std::string pair_charging = "key CH0B 1 ui8 00\nkey CH0C 1 ui8 00\n";

// A MacBook on AC with the given charge-inhibit keys and its battery at `pct`, followed
// by `rest` (battery model, events, failures).
std::string mac(int pct, const std::string &rest, const std::string &keys = chte_charging,
                const std::string &smc = "present")
{
	return "smc " + smc + "\n" + keys + "power ac\nsource InternalBattery-0 current=" +
	       std::to_string(pct) + " max=100\n" + rest;
}

// Whether a line starts with a time stamp "YYYY-MM-DD HH:MM:SS" and one blank.
bool stamped(const std::string &line)
{
	const std::string shape = "dddd-dd-dd dd:dd:dd ";
	if (line.size() <= shape.size())
		return false;
	for (size_t i = 0; i < shape.size(); i++)
		if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
			return false;
	return true;
}

// The log with the time stamps taken off the regulator's lines; the start line has none.
lines messages(const std::string &log)
{
	lines out;
	for (const std::string &line : support::lines_of(log))
		out.push_back(stamped(line) ? line.substr(20) : line);
	return out;
}

// Seconds since the epoch of a regulator line's stamp (the log runs in UTC).
long stamp_of(const std::string &line)
{
	struct tm tm = {};
	if (strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &tm) == nullptr)
		return -1;
	return static_cast<long>(timegm(&tm));
}

long index_of(const lines &all, const std::string &line)
{
	for (size_t i = 0; i < all.size(); i++)
		if (all[i] == line)
			return static_cast<long>(i);
	return -1;
}

// The lines after the first `from`, up to the next `to` (both left out; to the end when
// `to` is empty or absent).
lines between(const lines &all, const std::string &from, const std::string &to = "")
{
	lines out;
	long begin = index_of(all, from);
	if (begin == -1)
		return out;
	for (size_t i = static_cast<size_t>(begin) + 1; i < all.size() && all[i] != to; i++)
		out.push_back(all[i]);
	return out;
}

lines writes(const lines &all)
{
	return support::filter(all, {"write "});
}

// Every scenario: the platform saw no broken rule.
void expect_no_misuse(const std::string &root)
{
	EXPECT_EQ(support::filter(support::trace_lines(root), {"misuse"}), lines{});
}

TEST(DaemonStart, NamesTheKeyFamilyInItsStartLine)
{
	struct row {
		std::string keys;
		std::string start;
	} rows[] = {
	    {chte_charging, start_chte},
	    {pair_charging, start_pair},
	    // Both families: CHTE decides.
	    {chte_charging + pair_charging, start_chte},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.start);
		std::string root = support::make_mac(mac(50, "at 30 signal TERM\n", r.keys));
		support::run_result result = support::run(root, {"daemon"});
		EXPECT_EQ(result.err, r.start + "\n");
		EXPECT_EQ(result.code, 0);
		EXPECT_EQ(result.out, "");
		expect_no_misuse(root);
		support::remove_tree(root);
	}
}

TEST(DaemonStart, WithoutAppleSmcFailsBeforeRegisteringAnything)
{
	for (const char *smc : {"absent", "refuse"}) {
		SCOPED_TRACE(smc);
		std::string root = support::make_mac(mac(85, "at 30 signal TERM\n", chte_charging, smc), "80\n");
		support::run_result result = support::run(root, {"daemon"});
		EXPECT_EQ(result.err, "cannot open AppleSMC\n");
		EXPECT_EQ(result.code, 1);
		lines trace = support::trace_lines(root);
		EXPECT_EQ(support::filter(trace, {"register", "signal", "keyinfo", "read", "write"}), lines{});
		expect_no_misuse(root);
		support::remove_tree(root);
	}
}

// The first pass comes as the run loop starts and the next ones every 20 seconds after
// it: the pause at start and a resume at the pass that follows a limit change at 90 s
// are exactly 100 s apart (with the first pass 20 s late they would be 80 s apart).
TEST(Daemon, FirstPassComesAtOnceThenEveryTwentySeconds)
{
	std::string root = support::make_mac(mac(85, "at 90 limit 100\nat 110 signal TERM\n"), "80\n");
	support::run_result result = support::run(root, {"daemon"});
	EXPECT_EQ(result.code, 0);
	EXPECT_EQ(messages(result.err), (lines{start_chte, "battery 85%, limit 80% -> charging paused",
	                                       "battery 85%, limit 100% -> charging resumed"}));
	lines log = support::lines_of(result.err);
	ASSERT_EQ(log.size(), 3u);
	EXPECT_EQ(stamp_of(log[2]) - stamp_of(log[1]), 100);
	// The pause of the first pass is the first exchange that changes anything.
	lines trace = support::trace_lines(root);
	EXPECT_EQ(writes(trace), (lines{"write CHTE ok 01000000", "write CHTE ok 00000000",
	                                "write CHTE ok 00000000"}));
	expect_no_misuse(root);
	support::remove_tree(root);
}

// Before sleep, a limit below 100 pauses charging whatever the percentage and the
// present state, before will-sleep is acknowledged; without a limit nothing is written.
// Can-sleep is always acknowledged.
TEST(DaemonSleep, PausesBeforeWillSleepOnlyWhenALimitBelowHundredIsSet)
{
	struct row {
		const char *what;
		std::string keys;
		int pct;
		std::string limit; // limit file content; "" for no file
		lines paused;      // writes between will-sleep and its acknowledgement
	} rows[] = {
	    {"below the limit", chte_charging, 50, "80\n", {"write CHTE ok 01000000"}},
	    {"already paused by the first pass", chte_charging, 90, "80\n", {"write CHTE ok 01000000"}},
	    {"limit 99", chte_charging, 50, "99\n", {"write CHTE ok 01000000"}},
	    {"the pair of keys", pair_charging, 50, "80\n", {"write CH0B ok 02", "write CH0C ok 02"}},
	    {"limit 100", chte_charging, 50, "100\n", {}},
	    {"limit 100 at a full battery", chte_charging, 100, "100\n", {}},
	    {"no limit file", chte_charging, 50, "", {}},
	    {"a limit file without a valid limit", chte_charging, 50, "150\n", {}},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		std::string root = support::make_mac(mac(r.pct, "at 100 sleep 600\nat 1000 signal TERM\n", r.keys), r.limit);
		support::run_result result = support::run(root, {"daemon"});
		EXPECT_EQ(result.code, 0);
		lines trace = support::trace_lines(root);
		lines sequence = support::filter(trace, {"message", "ack"});
		EXPECT_EQ(sequence, (lines{"message can-sleep", "ack can-sleep", "message will-sleep",
		                           "ack will-sleep", "message will-power-on",
		                           "message has-powered-on"}));
		EXPECT_EQ(writes(between(trace, "message will-sleep", "ack will-sleep")), r.paused);
		// Nothing between can-sleep and its acknowledgement: it is never vetoed or delayed.
		EXPECT_EQ(between(trace, "message can-sleep", "ack can-sleep"), lines{});
		expect_no_misuse(root);
		support::remove_tree(root);
	}
}

// After wake a pass decides afresh at once: below the band it resumes, inside it the
// pause for the sleep is held. The Mac sleeps from 105 s to 110 s and the stop comes at
// 115 s, before the timer's next pass at 120 s, so everything after has-powered-on
// is the pass that wake started.
TEST(DaemonSleep, PassAfterWakeDecidesAfresh)
{
	struct row {
		int pct;
		lines after_wake; // writes between has-powered-on and the stop
		lines log;
	} rows[] = {
	    {50, {"write CHTE ok 00000000"}, {start_chte, "battery 50%, limit 80% -> charging resumed"}},
	    {77, {"write CHTE ok 00000000"}, {start_chte, "battery 77%, limit 80% -> charging resumed"}},
	    {78, {}, {start_chte}},
	    {79, {}, {start_chte}},
	};
	for (const row &r : rows) {
		SCOPED_TRACE("battery " + std::to_string(r.pct));
		std::string root = support::make_mac(mac(r.pct, "at 105 sleep 5\nat 115 signal TERM\n"), "80\n");
		support::run_result result = support::run(root, {"daemon"});
		EXPECT_EQ(result.code, 0);
		EXPECT_EQ(messages(result.err), r.log);
		lines wake = between(support::trace_lines(root), "message has-powered-on", "signal TERM");
		EXPECT_EQ(support::filter(wake, {"read CHTE"}), lines{"read CHTE ok 01000000"});
		EXPECT_EQ(writes(wake), r.after_wake);
		expect_no_misuse(root);
		support::remove_tree(root);
	}
}

// A daemon that cannot read the charging state says so once, right after its start line,
// in a time-stamped line naming the key it reads; the other passes of a whole day stay
// silent. One that reads the state never says it.
TEST(DaemonLog, FirstPassAloneSaysThatTheStateCannotBeRead)
{
	const std::string no_chte = "cannot read the charging state (key CHTE): charging is not capped";
	const std::string no_ch0b = "cannot read the charging state (key CH0B): charging is not capped";
	const std::string stop_line = "failed to switch charging on at stop";
	struct row {
		const char *name;
		std::string keys;
		int pct;
		lines log;
		int code;
		bool full_log = false; // standard error a log already past the file-size limit
	} rows[] = {
	    {"keys without data", "key CHTE 0 ui32 -\nkey CH0B 0 hex_ -\nkey CH0C 0 hex_ -\n", 64,
	     {start_chte, no_chte, stop_line}, 1},
	    {"neither CHTE nor CH0B", "key CH0C 1 ui8 00\n", 64, {start_pair, no_ch0b, stop_line}, 1},
	    {"CHTE refuses reads", chte_charging + "deny CHTE read\n", 64, {start_chte, no_chte}, 0},
	    {"CHTE readable, nothing to do", chte_charging, 64, {start_chte}, 0},
	    {"CHTE readable, a pause", chte_charging, 85,
	     {start_chte, "battery 85%, limit 80% -> charging paused"}, 0},
	};
	const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d .*)");
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		std::string root = support::make_mac(mac(r.pct, "at 86400 signal TERM\n", r.keys), "80\n");
		support::run_result result = support::run(root, {"daemon"});
		EXPECT_EQ(result.code, r.code);
		EXPECT_EQ(messages(result.err), r.log);
		lines raw = support::lines_of(result.err);
		for (size_t i = 1; i < raw.size(); i++)
			EXPECT_TRUE(std::regex_match(raw[i], stamp)) << raw[i];
		// A whole day of passes ran: every 20 seconds.
		EXPECT_GE(support::filter(support::trace_lines(root), {"keyinfo CHTE"}).size(), 4320u);
		expect_no_misuse(root);
		support::remove_tree(root);
	}
}

// A stop switches charging on and exits 0 without a line; one whose switch-on fails says
// so in a time-stamped line and exits 1, so that a battery left paused does not go unseen.
TEST(DaemonStop, SignalSwitchesChargingOnOrSaysItCouldNot)
{
	const std::string paused_line = "battery 85%, limit 80% -> charging paused";
	const std::string failed_line = "failed to set charging inhibit (pct 85, limit 80, want 1)";
	const std::string stop_line = "failed to switch charging on at stop";
	const std::string chte_paused = "key CHTE 4 ui32 01000000\n";
	struct row {
		const char *signal;
		std::string keys;
		int pct;
		std::string fails;
		lines after_signal; // writes after the signal's trace line
		lines log;
		int code;
		bool full_log = false; // standard error a log already past the file-size limit
	} rows[] = {
	    {"TERM", chte_charging, 85, "", {"write CHTE ok 00000000"}, {start_chte, paused_line}, 0},
	    {"INT", chte_charging, 85, "", {"write CHTE ok 00000000"}, {start_chte, paused_line}, 0},
	    {"TERM", chte_charging, 50, "", {"write CHTE ok 00000000"}, {start_chte}, 0},
	    {"INT", pair_charging, 85, "", {"write CH0B ok 00", "write CH0C ok 00"}, {start_pair, paused_line}, 0},
	    // The passes at 0, 20 and 40 s fail to pause and say so; so does the stop.
	    {"TERM", chte_charging, 85, "fail CHTE write\n", {"write CHTE fail 00000000"},
	     {start_chte, failed_line, failed_line, failed_line, stop_line}, 1},
	    {"INT", chte_charging, 85, "fail CHTE write\n", {"write CHTE fail 00000000"},
	     {start_chte, failed_line, failed_line, failed_line, stop_line}, 1},
	    // Paused at the limit, the passes have nothing to do; the stop cannot resume.
	    {"TERM", chte_paused, 85, "fail CHTE write\n", {"write CHTE fail 00000000"},
	     {start_chte, stop_line}, 1},
	    {"TERM", chte_paused, 85, "", {"write CHTE ok 00000000"}, {start_chte}, 0},
	    // Every log write fails (EFBIG): the daemon regulates and stops all the same.
	    {"TERM", chte_charging, 85, "", {"write CHTE ok 00000000"}, {}, 0, true},
	    {"TERM", chte_charging, 85, "fail CHTE write\n", {"write CHTE fail 00000000"}, {}, 1, true},
	};
	const std::regex stamped_stop_line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d failed to switch charging on at stop)");
	for (const row &r : rows) {
		SCOPED_TRACE(std::string(r.signal) + ", battery " + std::to_string(r.pct) + ", " + r.keys + r.fails +
		             (r.full_log ? ", full log" : ""));
		std::string root = support::make_mac(mac(r.pct, r.fails + "at 50 signal " + r.signal + "\n", r.keys), "80\n");
		std::string log = root + "/big.log";
		support::write_file(log, std::string(4096, '.'));
		lines in_sh = {"-c", "ulimit -f 2; exec \"$0\" daemon 2>>\"$1\"", support::helper_path(), log};
		support::run_options options;
		options.program = r.full_log ? "/bin/sh" : nullptr;
		support::run_result result = support::run(root, r.full_log ? in_sh : lines{"daemon"}, options);
		EXPECT_EQ(result.code, r.code);
		EXPECT_EQ(messages(result.err), r.log);
		lines raw = support::lines_of(result.err);
		if (r.full_log) {
			EXPECT_EQ(support::read_file(log), std::string(4096, '.'));
			// Writes before the stop: the passes went on.
			EXPECT_GT(writes(support::trace_lines(root)).size(), r.after_signal.size());
		} else if (r.code != 0) {
			ASSERT_FALSE(raw.empty());
			EXPECT_TRUE(std::regex_match(raw.back(), stamped_stop_line)) << raw.back();
		}
		lines trace = support::trace_lines(root);
		EXPECT_EQ(writes(between(trace, std::string("signal ") + r.signal)), r.after_signal);
		std::string machine = support::read_file(root + "/machine");
		if (r.fails.empty() && r.keys == chte_charging) {
			EXPECT_NE(machine.find("key CHTE 4 ui32 00000000\n"), std::string::npos) << machine;
		}
		expect_no_misuse(root);
		support::remove_tree(root);
	}
}

// A daemon run by hand gets SIGHUP when its terminal closes: it stops as on SIGTERM,
// charging switched on, no log line, exit 0. Sent for real to a daemon in real time,
// once its first pass has paused charging.
TEST(DaemonStop, HangupSwitchesChargingOnAndExitsZero)
{
	std::string root = support::make_mac(mac(85, ""), "80\n");
	support::background daemon = support::spawn(root, {"daemon"}, {{"SIMMAC_CLOCK=real"}});
	bool paused = support::wait_until(
	    [&] { return index_of(support::trace_lines(root), "write CHTE ok 01000000") != -1; });
	EXPECT_TRUE(paused) << "the first pass never paused charging";
	kill(daemon.pid, SIGHUP);
	support::run_result result = support::finish(daemon, 10);
	EXPECT_EQ(result.code, 0);
	EXPECT_EQ(messages(result.err), (lines{start_chte, "battery 85%, limit 80% -> charging paused"}));
	EXPECT_EQ(writes(support::trace_lines(root)),
	          (lines{"write CHTE ok 01000000", "write CHTE ok 00000000"}));
	EXPECT_NE(support::read_file(root + "/machine").find(chte_charging), std::string::npos);
	expect_no_misuse(root);
	support::remove_tree(root);
}

// Standard error is a pipe whose reader has gone before the daemon wrote anything: its
// start line and the log line of its first pass fail, and the daemon runs on; it still
// pauses at its first pass and stops cleanly at SIGTERM. The test holds machine.lock
// (taken at every platform call in real time) until the reader is gone, so the daemon
// writes nothing before that.
TEST(DaemonLog, LogWritesWithoutAReaderDoNotEndTheDaemon)
{
	std::string root = support::make_mac(mac(85, ""), "80\n");
	int lock = open((root + "/machine.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	ASSERT_NE(lock, -1);
	ASSERT_EQ(flock(lock, LOCK_EX), 0);
	support::background daemon = support::spawn(root, {"daemon"}, {{"SIMMAC_CLOCK=real"}});
	EXPECT_TRUE(support::wait_until([&] { return support::in_syscall(daemon.pid, SYS_flock); }))
	    << "the daemon never waited for the machine";
	// The reader goes; finish() gets an empty stream in its place.
	close(daemon.err);
	int gone[2];
	ASSERT_EQ(pipe2(gone, O_CLOEXEC), 0);
	close(gone[1]);
	daemon.err = gone[0];
	close(lock);
	bool paused = support::wait_until(
	    [&] { return index_of(support::trace_lines(root), "write CHTE ok 01000000") != -1; });
	EXPECT_TRUE(paused) << "the first pass never paused charging";
	// Its log line has been written (and failed) by the time the pass is back in the
	// run loop; a daemon killed by SIGPIPE would be gone by then.
	usleep(200 * 1000);
	kill(daemon.pid, SIGTERM);
	support::run_result result = support::finish(daemon, 10);
	EXPECT_EQ(result.code, 0);
	EXPECT_EQ(result.err, "");
	lines trace = support::trace_lines(root);
	EXPECT_EQ(writes(trace), (lines{"write CHTE ok 01000000", "write CHTE ok 00000000"}));
	expect_no_misuse(root);
	support::remove_tree(root);
}

// Without power notifications the daemon still starts, passes on its timer and stops on
// a signal; the sleep at 300 s passes with no message and no pause for it.
TEST(DaemonRegisterFail, RunsOnTimerAndSignalsAndSleepsWithoutAPause)
{
	std::string root = support::make_mac(mac(78,
	                                "register fail\n"
	                                "battery charge=40 discharge=0 sleep=0\n"
	                                "at 300 sleep 600\n"
	                                "at 1000 signal TERM\n"),
	                            "80\n");
	support::run_result result = support::run(root, {"daemon"});
	EXPECT_EQ(result.code, 0);
	// The battery reaches 80 at 180 s: a pass of the timer pauses it there.
	EXPECT_EQ(messages(result.err), (lines{start_chte, "battery 80%, limit 80% -> charging paused"}));
	lines trace = support::trace_lines(root);
	EXPECT_EQ(support::filter(trace, {"register"}), lines{"register fail"});
	EXPECT_EQ(support::filter(trace, {"message", "ack"}), lines{});
	EXPECT_EQ(writes(trace), (lines{"write CHTE ok 01000000", "write CHTE ok 00000000"}));
	EXPECT_EQ(writes(between(trace, "signal TERM")), lines{"write CHTE ok 00000000"});
	// The Mac did sleep.
	lines history = support::lines_of(support::read_file(root + "/history.csv"));
	EXPECT_NE(std::find_if(history.begin(), history.end(),
	                       [](const std::string &row) { return row.ends_with(",1"); }),
	          history.end());
	expect_no_misuse(root);
	support::remove_tree(root);
}

// The daemon is caught inside its first pass, blocked on the log line of its pause (its
// standard error has room for the start line only), and gets SIGTERM there. The pass
// ends, its line complete, before the stop handler switches charging on.
TEST(DaemonStop, SignalDuringAPassIsHandledAfterThePass)
{
	// The INT at 3600 s ends a daemon that missed the TERM.
	std::string root = support::make_mac(mac(85, "at 3600 signal INT\n"), "80\n");
	support::background daemon = support::spawn(root, {"daemon"}, {}, start_chte.size() + 1);
	bool caught = support::wait_until([&] {
		lines trace = support::trace_lines(root);
		return index_of(trace, "write CHTE ok 01000000") != -1 &&
		       support::in_syscall(daemon.pid, SYS_write, 2);
	});
	EXPECT_TRUE(caught) << "the daemon never blocked on its log line";
	kill(daemon.pid, SIGTERM);
	support::run_result result = support::finish(daemon);
	EXPECT_EQ(result.code, 0);
	EXPECT_EQ(messages(result.err), (lines{start_chte, "battery 85%, limit 80% -> charging paused"}));
	EXPECT_EQ(support::filter(support::trace_lines(root), {"write", "signal"}),
	          (lines{"write CHTE ok 01000000", "signal TERM", "write CHTE ok 00000000"}));
	expect_no_misuse(root);
	support::remove_tree(root);
}

// A stop signal that comes while the SMC is being opened, before the signal sources
// exist, still ends the process by its default action: charging is not touched. In real
// time the simulated Mac takes ROOT/machine.lock at every platform call, so a test that
// holds it keeps the daemon inside its first call.
TEST(DaemonStart, SignalBeforeTheSourcesExistHasItsDefaultAction)
{
	for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
		SCOPED_TRACE(signo);
		std::string root = support::make_mac(mac(85, "at 30 signal TERM\n"), "80\n");
		int lock = open((root + "/machine.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
		ASSERT_NE(lock, -1);
		ASSERT_EQ(flock(lock, LOCK_EX), 0);
		support::background daemon = support::spawn(root, {"daemon"}, {{"SIMMAC_CLOCK=real"}});
		bool blocked = support::wait_until([&] { return support::in_syscall(daemon.pid, SYS_flock); });
		EXPECT_TRUE(blocked) << "the daemon never waited for the machine";
		kill(daemon.pid, signo);
		support::run_result result = support::finish(daemon, 10);
		close(lock);
		EXPECT_EQ(result.code, 128 + signo);
		EXPECT_EQ(result.err, "");
		EXPECT_EQ(support::filter(support::trace_lines(root), {"write", "register", "signal"}), lines{});
		support::remove_tree(root);
	}
}

// In real time a `setlimit` of another process reaches the running daemon through the
// limit file: at the sleep 5 s after start the daemon pauses for the new limit, and the
// pass after wake resumes with it in its log line. A daemon that kept the limit it
// started with (none: 100) would neither pause nor log.
TEST(DaemonRealTime, SetlimitOfAnotherProcessTakesEffectAtTheNextPass)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "setlimit needs root";
	support::run_options real;
	real.env = {"SIMMAC_CLOCK=real"};
	std::string root = support::make_mac(mac(50, "at 5 sleep 1\nat 60 signal INT\n"));
	support::background daemon = support::spawn(root, {"daemon"}, real);
	// The first pass: the state read once.
	ASSERT_TRUE(support::wait_until([&] {
		return !support::filter(support::trace_lines(root), {"read CHTE"}).empty();
	}));
	size_t before = support::trace_lines(root).size();
	support::run_result set = support::run(root, {"setlimit", "60"}, real);
	EXPECT_EQ(set.code, 0);
	EXPECT_EQ(set.err, ""); // 50% with limit 60: charging stays on
	size_t after = support::trace_lines(root).size();
	EXPECT_GT(after, before); // setlimit's own pass
	bool resumed = support::wait_until(
	    [&] {
		    return !writes(between(support::trace_lines(root), "message has-powered-on")).empty();
	    },
	    15);
	EXPECT_TRUE(resumed) << "no pass after wake switched charging";
	kill(daemon.pid, SIGTERM);
	support::run_result result = support::finish(daemon, 10);
	EXPECT_EQ(result.code, 0);
	EXPECT_EQ(messages(result.err), (lines{start_chte, "battery 50%, limit 60% -> charging resumed"}));
	lines trace = support::trace_lines(root);
	// setlimit ran while the daemon waited, before the sleep began.
	EXPECT_GE(index_of(trace, "message can-sleep"), static_cast<long>(after));
	EXPECT_EQ(writes(between(trace, "message will-sleep", "ack will-sleep")),
	          lines{"write CHTE ok 01000000"});
	EXPECT_EQ(writes(between(trace, "message has-powered-on", "signal TERM")),
	          lines{"write CHTE ok 00000000"});
	expect_no_misuse(root);
	support::remove_tree(root);
}

} // namespace
