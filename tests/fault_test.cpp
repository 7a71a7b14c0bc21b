// The fault matrix: every platform call the program makes, made to fail one at a time.
// Each run must end as the program's rules say, without a crash, and a daemon whose SMC
// still answers must leave charging on when it is stopped.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include <simmac/simmac.h>

#include "control/daemon.h"
#include "control/regulator.h"
#include "power/battery.h"
#include "smc/charge.h"
#include "smc/smc.h"
#include "memory_mac.h"
#include "support.h"

namespace {

using lines = std::vector<std::string>;

const std::string stamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )";
const std::string paused_line = stamp + R"(battery 90%, limit 80% -> charging paused)";
const std::string failed_line = stamp + R"(failed to set charging inhibit \(pct 90, limit 80, want 1\))";
const std::string limit_prefix = "/Library/Application Support/Tamso/limit: ";
const std::string unreadable_chte = stamp + R"(cannot read the charging state \(key CHTE\): charging is not capped)";
const std::string unreadable_ch0b = stamp + R"(cannot read the charging state \(key CH0B\): charging is not capped)";
const std::string unreadable_smc = stamp + R"(cannot read the charging state \(no AppleSMC\): charging is not capped)";
const std::string stop_failed = stamp + "failed to switch charging on at stop";

// A MacBook at 90 percent on AC; the keys come from the case.
std::string machine_with(const std::string &keys, const std::string &extra = "")
{
	return "smc present\n" + keys + extra +
	       "power ac\n"
	       "source InternalBattery-0 current=90 max=100\n"
	       "register ok\n";
}

const std::string chte_on = "key CHTE 4 ui32 00000000\n";
const std::string chte_off = "key CHTE 4 ui32 01000000\n";
const std::string pair_on = "key CH0B 1 ui8 00\nkey CH0C 1 ui8 00\n";
const std::string pair_off = "key CH0B 1 ui8 02\nkey CH0C 1 ui8 02\n";

// The value of every key as the machine file shows it, by name.
std::map<std::string, std::string> key_values(const std::string &root)
{
	std::map<std::string, std::string> values;
	for (const std::string &line : support::lines_of(support::read_file(root + "/machine"))) {
		std::vector<std::string> w;
		size_t at = 0;
		while (at < line.size()) {
			size_t end = line.find(' ', at);
			if (end == std::string::npos)
				end = line.size();
			if (end > at)
				w.push_back(line.substr(at, end - at));
			at = end + 1;
		}
		if (w.size() == 5 && w[0] == "key")
			values[w[1]] = w[4];
	}
	return values;
}

// The trace lines after the first line equal to `marker`.
lines after(const lines &trace, const std::string &marker)
{
	for (size_t i = 0; i < trace.size(); i++)
		if (trace[i] == marker)
			return lines(trace.begin() + static_cast<long>(i) + 1, trace.end());
	return {};
}

void expect_lines_match(const std::string &text, const lines &patterns, const char *what)
{
	lines got = support::lines_of(text);
	ASSERT_EQ(got.size(), patterns.size()) << what << ":\n" << text;
	for (size_t i = 0; i < got.size(); i++)
		EXPECT_TRUE(std::regex_match(got[i], std::regex(patterns[i])))
		    << what << " line " << i << ": '" << got[i] << "' !~ " << patterns[i];
}

// The names in a directory, sorted.
lines names_in(const std::string &dir)
{
	lines names;
	std::error_code error;
	for (const auto &entry : std::filesystem::directory_iterator(dir, error))
		names.push_back(entry.path().filename().string());
	std::sort(names.begin(), names.end());
	return names;
}

// A test case's name in the test list.
template <typename T> std::string case_name(const testing::TestParamInfo<T> &param)
{
	return param.param.name;
}

support::run_options bounded(double seconds)
{
	support::run_options options;
	options.timeout = seconds;
	return options;
}

// --- the SMC and the power sources, through every command ---

struct smc_fault {
	const char *name;
	std::string machine;
	std::string status;        // the whole report
	const char *read_key;
	std::string read_out;
	int read_code;
	lines setlimit_err;        // patterns of the pass's log after `setlimit 80`
	const char *start_key;     // the daemon's start line names it; nullptr: no start
	lines daemon_log;          // patterns after the start line, limit 80 stored
	int stop_code;             // the daemon's exit status after its stop signal
	lines stop_trace;          // the exchanges of the stop handler, after "signal TERM"
	std::map<std::string, std::string> after_stop; // key values in the machine file
};

std::string report(int battery, int ac, int limit, int inhibited)
{
	return "battery=" + std::to_string(battery) + "\nac=" + std::to_string(ac) + "\nlimit=" +
	       std::to_string(limit) + "\ninhibited=" + std::to_string(inhibited) + "\n";
}

const lines stop_chte = {"keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "write CHTE ok 00000000"};

const smc_fault smc_faults[] = {
    {"SmcAbsent", "smc absent\n" + machine_with(chte_off).substr(12), report(90, 1, 100, -1),
     "CHTE", "CHTE: not found\n", 1, {unreadable_smc}, nullptr, {}, 1, {}, {}},
    {"SmcRefused", "smc refuse\n" + machine_with(chte_off).substr(12), report(90, 1, 100, -1),
     "CHTE", "CHTE: not found\n", 1, {unreadable_smc}, nullptr, {}, 1, {}, {}},
    {"ChteKeyinfo", machine_with(chte_on + pair_on, "fail CHTE keyinfo\n"), report(90, 1, 100, 0),
     "CHTE", "CHTE: not found\n", 1, {paused_line}, "CH0B/CH0C", {paused_line}, 0,
     {"keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B ok 00", "keyinfo CH0C ok 1",
      "write CH0C ok 00"},
     {{"CHTE", "00000000"}, {"CH0B", "00"}, {"CH0C", "00"}}},
    {"ChteRead", machine_with(chte_off, "fail CHTE read\n"), report(90, 1, 100, -1), "CHTE",
     "CHTE: not found\n", 1, {unreadable_chte}, "CHTE", {unreadable_chte}, 0, stop_chte,
     {{"CHTE", "00000000"}}},
    {"ChteWrite", machine_with(chte_on, "fail CHTE write\n"), report(90, 1, 100, 0), "CHTE",
     "CHTE: 00 00 00 00\n", 0, {failed_line}, "CHTE",
     {failed_line, failed_line, failed_line, stop_failed}, 1, {"keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "write CHTE fail 00000000"},
     {{"CHTE", "00000000"}}},
    // Without the key info of CH0B nothing can be done with it; CH0C is still switched on.
    {"Ch0bKeyinfo", machine_with(pair_off, "fail CH0B keyinfo\n"), report(90, 1, 100, -1), "CH0B",
     "CH0B: not found\n", 1, {unreadable_ch0b}, "CH0B/CH0C", {unreadable_ch0b, stop_failed}, 1,
     {"keyinfo CHTE fail", "keyinfo CH0B fail", "keyinfo CH0C ok 1", "write CH0C ok 00"},
     {{"CH0B", "02"}, {"CH0C", "00"}}},
    {"Ch0bRead", machine_with(pair_off, "fail CH0B read\n"), report(90, 1, 100, -1), "CH0B",
     "CH0B: not found\n", 1, {unreadable_ch0b}, "CH0B/CH0C", {unreadable_ch0b}, 0,
     {"keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B ok 00", "keyinfo CH0C ok 1",
      "write CH0C ok 00"},
     {{"CH0B", "00"}, {"CH0C", "00"}}},
    // CH0B never takes the pause, so every pass tries again and says so.
    {"Ch0bWrite", machine_with(pair_on, "fail CH0B write\n"), report(90, 1, 100, 0), "CH0B",
     "CH0B: 00\n", 0, {failed_line}, "CH0B/CH0C",
     {failed_line, failed_line, failed_line, stop_failed}, 1,
     {"keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B fail 00", "keyinfo CH0C ok 1",
      "write CH0C ok 00"},
     {{"CH0B", "00"}, {"CH0C", "00"}}},
    // CH0B took the pause, so the state reads as switched: one failure line, then silence.
    {"Ch0cKeyinfo", machine_with(pair_on, "fail CH0C keyinfo\n"), report(90, 1, 100, 0), "CH0C",
     "CH0C: not found\n", 1, {failed_line}, "CH0B/CH0C", {failed_line, stop_failed}, 1,
     {"keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B ok 00", "keyinfo CH0C fail"},
     {{"CH0B", "00"}, {"CH0C", "00"}}},
    {"Ch0cWrite", machine_with(pair_on, "fail CH0C write\n"), report(90, 1, 100, 0), "CH0C",
     "CH0C: 00\n", 0, {failed_line}, "CH0B/CH0C", {failed_line, stop_failed}, 1,
     {"keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B ok 00", "keyinfo CH0C ok 1",
      "write CH0C fail 00"},
     {{"CH0B", "00"}, {"CH0C", "00"}}},
    // The SMC opens but answers no call: nothing can be read or switched.
    {"CallError", machine_with(chte_off, "fail call\n"), report(90, 1, 100, -1), "CHTE",
     "CHTE: not found\n", 1, {unreadable_ch0b}, "CH0B/CH0C", {unreadable_ch0b, stop_failed}, 1,
     {"keyinfo CHTE error", "keyinfo CH0B error", "keyinfo CH0C error"},
     {{"CHTE", "01000000"}}},
    // No power-source snapshot: no percentage, so passes leave the pause alone; the stop
    // still hands charging back.
    {"PowerUnavailable",
     "smc present\n" + chte_off + "power unavailable\nsource InternalBattery-0 current=90 max=100\n",
     report(-1, 0, 100, 1), "CHTE", "CHTE: 01 00 00 00\n", 0, {}, "CHTE", {}, 0, stop_chte,
     {{"CHTE", "00000000"}}},
};

// How a case shows in failure messages.
void PrintTo(const smc_fault &f, std::ostream *os)
{
	*os << f.name;
}

class SmcFault : public testing::TestWithParam<smc_fault> {
protected:
	void SetUp() override
	{
		root = support::make_root(GetParam().machine);
	}
	void TearDown() override
	{
		support::remove_tree(root);
	}
	std::string root;
};

TEST_P(SmcFault, StatusShowsWhatCouldBeRead)
{
	support::run_result r = support::run(root, {"status"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.out, GetParam().status);
	EXPECT_EQ(r.err, "");
}

TEST_P(SmcFault, ReadReportsTheKeyOrNotFound)
{
	support::run_result r = support::run(root, {"read", GetParam().read_key});
	EXPECT_EQ(r.code, GetParam().read_code);
	EXPECT_EQ(r.out, GetParam().read_out);
	EXPECT_EQ(r.err, "");
	for (const std::string &line : support::trace_lines(root))
		EXPECT_EQ(line.rfind("misuse", 0), std::string::npos) << line;
}

TEST_P(SmcFault, SetlimitStoresAndItsPassLogsOnlyWhatItTried)
{
	support::run_result r = support::run(root, {"setlimit", "80"});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.out, "");
	expect_lines_match(r.err, GetParam().setlimit_err, "stderr");
	EXPECT_EQ(support::read_file(support::limit_path(root)), "80\n");
}

TEST_P(SmcFault, DaemonEndsAsTheRulesSayAndHandsChargingBack)
{
	const smc_fault &f = GetParam();
	support::write_file(root + "/machine", f.machine + "at 50 signal TERM\n");
	mkdir((root + "/Library/Application Support/Tamso").c_str(), 0755);
	support::write_file(support::limit_path(root), "80\n");
	support::run_result r = support::run(root, {"daemon"}, bounded(20));
	lines trace = support::trace_lines(root);
	for (const std::string &line : trace)
		EXPECT_EQ(line.rfind("misuse", 0), std::string::npos) << line;
	if (f.start_key == nullptr) {
		EXPECT_EQ(r.code, 1);
		EXPECT_EQ(r.err, "cannot open AppleSMC\n");
		EXPECT_EQ(trace, lines{f.name == std::string("SmcAbsent") ? "open none" : "open refused"});
		return;
	}
	EXPECT_EQ(r.code, f.stop_code) << r.err;
	lines err = support::lines_of(r.err);
	ASSERT_FALSE(err.empty());
	EXPECT_EQ(err[0], std::string("tamso-helper daemon started (key ") + f.start_key + ")");
	expect_lines_match(r.err.substr(r.err.find('\n') + 1), f.daemon_log, "daemon log");
	EXPECT_EQ(after(trace, "signal TERM"), f.stop_trace);
	std::map<std::string, std::string> values = key_values(root);
	for (const auto &[key, value] : f.after_stop)
		EXPECT_EQ(values[key], value) << key;
}

INSTANTIATE_TEST_SUITE_P(Fault, SmcFault, testing::ValuesIn(smc_faults),
                         case_name<smc_fault>);

// --- the registration for power notifications ---

// Without notifications the daemon runs on timer and signals: no pause before sleep, no
// pass at wake, and charging on at the stop.
TEST(FaultDaemon, RegistrationFailureLeavesTimerAndSignals)
{
	std::string root = support::make_root("smc present\n" + chte_on +
	                                      "power ac\n"
	                                      "source InternalBattery-0 current=50 max=100\n"
	                                      "register fail\n"
	                                      "at 30 sleep 600\n"
	                                      "at 690 signal TERM\n");
	mkdir((root + "/Library/Application Support/Tamso").c_str(), 0755);
	support::write_file(support::limit_path(root), "80\n");
	support::run_result r = support::run(root, {"daemon"}, bounded(20));
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "tamso-helper daemon started (key CHTE)\n");
	lines trace = support::trace_lines(root);
	EXPECT_EQ(support::filter(trace, {"register", "message", "ack", "misuse"}), lines{"register fail"});
	EXPECT_EQ(support::filter(trace, {"write"}), lines{"write CHTE ok 00000000"});
	EXPECT_EQ(after(trace, "signal TERM"), stop_chte);
	// Passes at 0 and 20, none while asleep (30..630), the missed one at wake, then 640,
	// 660 and 680 on the old schedule.
	EXPECT_EQ(support::filter(trace, {"read CHTE"}).size(), 6u);
	EXPECT_EQ(key_values(root)["CHTE"], "00000000");
	support::remove_tree(root);
}

// --- the limit file's open, write and rename ---

struct limit_fault {
	const char *name;
	const char *error; // the system's words after the path
	void (*arrange)(const std::string &root);
	void (*check)(const std::string &root);
};

std::string tamso_dir(const std::string &root)
{
	return root + "/Library/Application Support/Tamso";
}

void store_old_limit(const std::string &root)
{
	mkdir(tamso_dir(root).c_str(), 0755);
	support::write_file(support::limit_path(root), "90\n");
}

// Only the old limit and the stores' lock are left in the directory: no temporary file
// behind.
void old_limit_kept(const std::string &root)
{
	EXPECT_EQ(support::read_file(support::limit_path(root)), "90\n");
	EXPECT_EQ(names_in(tamso_dir(root)), (lines{"limit", "limit.lock"}));
}

const limit_fault limit_faults[] = {
    {"OpenNotADirectory", "Not a directory",
     [](const std::string &root) { support::write_file(tamso_dir(root), "a plain file\n"); },
     [](const std::string &root) {
	     EXPECT_EQ(support::read_file(tamso_dir(root)), "a plain file\n");
     }},
    {"WriteFileTooLarge", "File too large", store_old_limit, old_limit_kept},
    {"RenameOverADirectory", "Is a directory",
     [](const std::string &root) {
	     mkdir(tamso_dir(root).c_str(), 0755);
	     mkdir(support::limit_path(root).c_str(), 0755);
	     support::write_file(support::limit_path(root) + "/kept", "x");
     },
     [](const std::string &root) {
	     EXPECT_EQ(support::read_file(support::limit_path(root) + "/kept"), "x");
	     // No temporary file behind.
	     EXPECT_EQ(names_in(tamso_dir(root)), (lines{"limit", "limit.lock"}));
     }},
};

void PrintTo(const limit_fault &f, std::ostream *os)
{
	*os << f.name;
}

class LimitFault : public testing::TestWithParam<limit_fault> {};

// The failure is reported with the limit file's path, the exit code is 1 and no
// regulator pass runs (it would pause charging at 90 percent and log it).
TEST_P(LimitFault, SetlimitReportsAndRunsNoPass)
{
	const limit_fault &f = GetParam();
	std::string root = support::make_root(machine_with(chte_on));
	f.arrange(root);
	support::run_result r;
	if (std::string(f.name) == "WriteFileTooLarge") {
		// No file may grow, and the signal that would say so is ignored: write fails.
		struct rlimit old_limit;
		getrlimit(RLIMIT_FSIZE, &old_limit);
		struct rlimit none = {0, old_limit.rlim_max};
		auto old_handler = signal(SIGXFSZ, SIG_IGN);
		ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
		r = support::run(root, {"setlimit", "80"});
		setrlimit(RLIMIT_FSIZE, &old_limit);
		signal(SIGXFSZ, old_handler);
	} else {
		r = support::run(root, {"setlimit", "80"});
		// No SMC exchange at all: the pass did not run.
		EXPECT_EQ(support::trace_lines(root), lines{});
	}
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, limit_prefix + f.error + "\n");
	EXPECT_EQ(key_values(root)["CHTE"], "00000000");
	f.check(root);
	support::remove_tree(root);
}

INSTANTIATE_TEST_SUITE_P(Fault, LimitFault, testing::ValuesIn(limit_faults),
                         case_name<limit_fault>);

// --- the hand-over to pmset ---

struct pmset_fault {
	const char *name;
	const char *error;
	void (*arrange)(const std::string &pmset);
};

const pmset_fault pmset_faults[] = {
    {"Missing", "No such file or directory", [](const std::string &pmset) { unlink(pmset.c_str()); }},
    {"NotExecutable", "Permission denied", [](const std::string &pmset) { chmod(pmset.c_str(), 0644); }},
    {"IsADirectory", "Permission denied",
     [](const std::string &pmset) {
	     unlink(pmset.c_str());
	     mkdir(pmset.c_str(), 0755);
     }},
};

void PrintTo(const pmset_fault &f, std::ostream *os)
{
	*os << f.name;
}

class PmsetFault : public testing::TestWithParam<pmset_fault> {};

TEST_P(PmsetFault, PowermodeReportsTheExecFailure)
{
	std::string root = support::make_root();
	// A first run seeds the root with its recording pmset.
	ASSERT_EQ(support::run(root, {"status"}).code, 0);
	std::string pmset = root + "/usr/bin/pmset";
	ASSERT_TRUE(support::exists(pmset));
	GetParam().arrange(pmset);
	support::clear_trace(root);
	support::run_result r = support::run(root, {"powermode", "1"});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, std::string("pmset: ") + GetParam().error + "\n");
	EXPECT_EQ(support::trace_lines(root), lines{});
	support::remove_tree(root);
}

INSTANTIATE_TEST_SUITE_P(Fault, PmsetFault, testing::ValuesIn(pmset_faults),
                         case_name<pmset_fault>);

// --- failures only an in-process test can inject ---

class FaultInProcess : public memory_mac_test {
protected:
	void load(const std::string &machine)
	{
		memory_mac_test::load(machine);
		objects = simmac::live_objects();
		io_objects = simmac::live_io_objects();
		misuses = simmac::misuses();
	}
	// Nothing leaked and no platform rule broken since load().
	void expect_clean()
	{
		EXPECT_EQ(simmac::live_objects(), objects);
		EXPECT_EQ(simmac::live_io_objects(), io_objects);
		EXPECT_EQ(simmac::misuses(), misuses);
	}
	long objects = 0, io_objects = 0, misuses = 0;
};

const std::string two_sources = "smc present\n" + chte_off +
                                "power ac\n"
                                "source First current=30 max=60\n"
                                "source Second current=70 max=100\n";

// No source list: no percentage, the AC flag still known, the snapshot released, and a
// pass that changes nothing.
TEST_F(FaultInProcess, PowerSourceListMissing)
{
	load(two_sources);
	ASSERT_TRUE(simmac::fail_next("IOPSCopyPowerSourcesList"));
	int ac = -7;
	EXPECT_EQ(battery_percent(&ac), -1);
	EXPECT_EQ(ac, 1);
	ASSERT_TRUE(simmac::fail_next("IOPSCopyPowerSourcesList"));
	evaluate();
	EXPECT_EQ(support::filter(simmac::trace(), {"write"}), lines{});
	expect_clean();
	// The next call has its list again.
	EXPECT_EQ(battery_percent(&ac), 50);
	expect_clean();
}

// A source without a description is skipped; the next one gives the percentage.
TEST_F(FaultInProcess, PowerSourceDescriptionMissing)
{
	load(two_sources);
	ASSERT_TRUE(simmac::fail_next("IOPSGetPowerSourceDescription"));
	int ac = -7;
	EXPECT_EQ(battery_percent(&ac), 70);
	EXPECT_EQ(ac, 1);
	ASSERT_TRUE(simmac::fail_next("IOPSGetPowerSourceDescription", 2));
	EXPECT_EQ(battery_percent(&ac), -1);
	expect_clean();
}

// No matching dictionary: the open fails without a leak, and the next operation opens.
TEST_F(FaultInProcess, ServiceMatchingMissing)
{
	load(simmac::default_machine());
	ASSERT_TRUE(simmac::fail_next("IOServiceMatching"));
	EXPECT_EQ(smc_open(), -1);
	EXPECT_EQ(smc_conn, 0u);
	bool state = true;
	EXPECT_EQ(get_charging_inhibited(&state), 0);
	EXPECT_FALSE(state);
	EXPECT_EQ(support::filter(simmac::trace(), {"open"}), lines{"open ok"});
	expect_clean();
}

// The daemon cannot be set up without its stop signals or its timer: it says so and
// ends with 1 before it runs a pass or prints its start line, and a signal it could not
// watch keeps its default action.
TEST_F(FaultInProcess, DaemonWithoutSignalSourceOrTimer)
{
	struct setup_fault {
		const char *call;
		std::string message;
		int signo_restored;
	};
	const setup_fault faults[] = {
	    {"dispatch_source_create", "cannot watch stop signals\n", SIGTERM},
	    {"CFRunLoopTimerCreate", "cannot create timer\n", 0},
	};
	for (const setup_fault &f : faults) {
		SCOPED_TRACE(f.call);
		// Each set-up registers anew, so each runs in a child of its own.
		EXPECT_EXIT(
		    {
			    load(simmac::default_machine());
			    simmac::fail_next(f.call);
			    int code = run_daemon();
			    bool passed = !support::filter(simmac::trace(), {"read", "write"}).empty();
			    bool restored = f.signo_restored == 0 || signal(f.signo_restored, SIG_DFL) == SIG_DFL;
			    _exit(code == 1 && !passed && restored ? 3 : 4);
		    },
		    testing::ExitedWithCode(3), "^" + f.message + "$");
	}
}

} // namespace
