// The program on each firmware generation that Macs run today, as the machine profiles in
// sim/machines describe them: what status and read show, what setlimit does, and a
// simulated day of the daemon with both kinds of sleep, a firmware reset of the charge
// keys, and the charger pulled and put back. The figures pinned here are what the README's
// table of Macs and the firmware generations of docs/internals.md tell users.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "support.h"

namespace {

constexpr long hour = 3600;
constexpr long day = 24 * hour;

struct key_read {
	const char *key;
	const char *line; // what read prints on standard output, newline aside
	int code;
};

struct profile {
	const char *file;                // in sim/machines
	const char *inhibited;           // status at the start, charging allowed
	std::vector<key_read> reads;
	const char *setlimit_log;        // the line of setlimit 60 at 64 %, time aside; "" for none
	const char *inhibited_after;     // status after that setlimit
	const char *start_key;           // the daemon's start line names it
	bool capped;                     // the daemon holds the battery at the limit
	size_t day_lines;                // regulator lines in the simulated day
};

const std::vector<profile> profiles = {
    {"ch0b-ch0c.machine", "0",
     {{"CH0B", "CH0B: 00", 0}, {"CH0C", "CH0C: 00", 0}, {"CHTE", "CHTE: not found", 1}},
     "battery 64%, limit 60% -> charging paused", "1", "CH0B/CH0C", true, 6},
    {"chte.machine", "0",
     {{"CHTE", "CHTE: 00 00 00 00", 0}, {"CH0B", "CH0B: 00", 0}, {"CH0C", "CH0C: not found", 1}},
     "battery 64%, limit 60% -> charging paused", "1", "CHTE", true, 6},
    {"no-data.machine", "-1",
     {{"CHTE", "CHTE:", 0}, {"CH0B", "CH0B:", 0}, {"CHIE", "CHIE: 00", 0}},
     "cannot read the charging state (key CHTE): charging is not capped", "-1", "CHTE", false, 0},
    {"writes-refused.machine", "0",
     {{"CHTE", "CHTE: 00 00 00 00", 0}},
     "failed to set charging inhibit (pct 64, limit 60, want 1)", "0", "CHTE", false, 2719},
};

std::string machine_text(const profile &p)
{
	return support::read_file(std::string(TAMSO_MACHINES) + "/" + p.file);
}

std::string status_text(const char *limit, const char *inhibited)
{
	return std::string("battery=64\nac=1\nlimit=") + limit + "\ninhibited=" + inhibited + "\n";
}

// The log line without its time stamp, which must be a local time of the right shape.
std::string without_time(const std::string &line)
{
	static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )");
	if (!std::regex_search(line, stamp))
		return "no time stamp: " + line;
	return line.substr(20);
}

TEST(MachineProfiles, StatusAndReadShowTheSameToRootAndToUsers)
{
	uid_t user = support::unprivileged_uid();
	for (const profile &p : profiles) {
		SCOPED_TRACE(p.file);
		std::string root = support::make_root(machine_text(p));
		std::vector<support::run_options> callers(1);
		std::string shared; // the program's copy that the user can reach
		if (user != 0) {
			shared = support::share_with(root, user);
			callers.emplace_back();
			callers.back().uid = user;
			callers.back().program = shared.c_str();
		}
		for (const support::run_options &as : callers) {
			SCOPED_TRACE(as.uid == 0 ? "as root" : "as a user");
			support::run_result status = support::run(root, {"status"}, as);
			EXPECT_EQ(status.code, 0);
			EXPECT_EQ(status.out, status_text("100", p.inhibited));
			EXPECT_EQ(status.err, "");
			for (const key_read &r : p.reads) {
				support::run_result read = support::run(root, {"read", r.key}, as);
				EXPECT_EQ(read.code, r.code) << r.key;
				EXPECT_EQ(read.out, std::string(r.line) + "\n");
			}
		}
		// Nothing the reports did changed a key or misused the platform.
		EXPECT_EQ(support::filter(support::trace_lines(root), {"write", "misuse"}),
		          std::vector<std::string>{});
		support::remove_tree(root);
	}
	if (user == 0)
		GTEST_SKIP() << "ran as root only: no unprivileged user to switch to";
}

TEST(MachineProfiles, SetlimitAppliesTheLimitAtOnceWhereTheFirmwareLetsIt)
{
	for (const profile &p : profiles) {
		SCOPED_TRACE(p.file);
		std::string root = support::make_root(machine_text(p));
		support::run_result store = support::run(root, {"setlimit", "60"});
		EXPECT_EQ(store.code, 0);
		EXPECT_EQ(store.out, "");
		EXPECT_EQ(support::read_file(support::limit_path(root)), "60\n");
		std::vector<std::string> log = support::lines_of(store.err);
		if (*p.setlimit_log == '\0') {
			EXPECT_EQ(log, std::vector<std::string>{});
		} else {
			ASSERT_EQ(log.size(), 1u) << store.err;
			EXPECT_EQ(without_time(log[0]), p.setlimit_log);
		}
		EXPECT_EQ(support::run(root, {"status"}).out, status_text("60", p.inhibited_after));
		support::remove_tree(root);
	}
}

struct history_row {
	long t;
	int pct, ac, inhibited, asleep;
};

std::vector<history_row> read_history(const std::string &root)
{
	std::vector<history_row> rows;
	for (const std::string &line : support::lines_of(support::read_file(root + "/history.csv"))) {
		history_row r;
		if (sscanf(line.c_str(), "%ld,%d,%d,%d,%d", &r.t, &r.pct, &r.ac, &r.inhibited,
		           &r.asleep) == 5)
			rows.push_back(r);
	}
	return rows;
}

// A day with the limit at 80: the battery starts at 64 on the charger; an idle sleep
// while paused, a reset of the charge keys by the firmware, the charger pulled until the
// battery falls below the band and put back, a night asleep with the lid closed, and the
// charger pulled again in the evening.
const char *const day_events =
    "at 3600 sleep 1800\n"
    "at 7200 reset\n"
    "at 10800 unplug\n"
    "at 14400 plug\n"
    "at 36000 sleep 28800 forced\n"
    "at 72000 unplug\n"
    "at 79200 plug\n"
    "at 86400 signal TERM\n";

TEST(MachineProfiles, ADayUnderTheDaemon)
{
	for (const profile &p : profiles) {
		SCOPED_TRACE(p.file);
		std::string root = support::make_root(machine_text(p) + day_events);
		ASSERT_EQ(support::run(root, {"setlimit", "80"}).code, 0);
		support::clear_trace(root);

		support::run_result daemon = support::run(root, {"daemon"});
		std::vector<std::string> log = support::lines_of(daemon.err);
		ASSERT_FALSE(log.empty());
		EXPECT_EQ(log[0], std::string("tamso-helper daemon started (key ") + p.start_key + ")");
		// Where the state cannot be read, the first pass says so, as setlimit's did.
		size_t first = 1;
		if (std::string(p.inhibited) == "-1") {
			ASSERT_GE(log.size(), 2u);
			EXPECT_EQ(without_time(log[1]), p.setlimit_log);
			first = 2;
		}
		// The writes after the stop signal are its switch-on: when they are not all taken
		// (or none could be sent), the stop says so and the daemon exits 1.
		std::vector<std::string> trace_all = support::trace_lines(root);
		auto signal = std::find(trace_all.begin(), trace_all.end(), "signal TERM");
		ASSERT_NE(signal, trace_all.end());
		std::vector<std::string> stop_writes =
		    support::filter(std::vector<std::string>(signal, trace_all.end()), {"write"});
		bool stop_failed = stop_writes.empty();
		for (const std::string &w : stop_writes)
			stop_failed = stop_failed || w.find(" ok ") == std::string::npos;
		EXPECT_EQ(daemon.code, stop_failed ? 1 : 0);
		size_t last = log.size();
		if (stop_failed) {
			ASSERT_GT(log.size(), first);
			EXPECT_EQ(without_time(log.back()), "failed to switch charging on at stop");
			last--;
		}
		EXPECT_EQ(last - first, p.day_lines) << daemon.err.substr(0, 2000);
		for (size_t i = first; i < last; i++)
			EXPECT_NE(without_time(log[i]).find("limit 80"), std::string::npos) << log[i];

		std::vector<history_row> rows = read_history(root);
		ASSERT_FALSE(rows.empty());
		int top = 0;
		for (const history_row &r : rows)
			top = std::max(top, r.pct);
		if (p.capped) {
			EXPECT_LE(top, 81);
			EXPECT_GE(rows.back().t, day) << "the switch-on at the stop";
		} else {
			EXPECT_EQ(top, 100);
		}

		// Both sleeps were acknowledged, and the stop handed charging back where it can.
		std::vector<std::string> trace = support::trace_lines(root);
		EXPECT_EQ(support::filter(trace, {"ack will-sleep"}).size(), 2u);
		EXPECT_EQ(support::filter(trace, {"ack can-sleep"}).size(), 1u);
		EXPECT_EQ(support::filter(trace, {"misuse", "ack missing"}), std::vector<std::string>{});
		EXPECT_EQ(rows.back().inhibited, 0);
		std::string after = support::run(root, {"status"}).out;
		EXPECT_EQ(after.substr(std::min(after.find("limit="), after.size())),
		          std::string("limit=80\ninhibited=") + p.inhibited + "\n")
		    << "after the stop";
		support::remove_tree(root);
	}
}

// On the newest firmware the program leaves the new keys alone: CHIE takes writes but
// would cut the charger's input, and CHIB and the bf keys are refused to it.
TEST(MachineProfiles, TheNewestFirmwaresNewKeysAreNeverWritten)
{
	std::string machine = support::read_file(std::string(TAMSO_MACHINES) + "/no-data.machine");
	std::string root = support::make_root(machine + day_events);
	for (const char *key : {"CHIB", "bfD0", "bfE0", "bfF0"}) {
		SCOPED_TRACE(key);
		support::clear_trace(root);
		support::run_result read = support::run(root, {"read", key});
		EXPECT_EQ(read.code, 1);
		EXPECT_EQ(read.out, std::string(key) + ": not found\n");
		EXPECT_EQ(read.err, "");
		EXPECT_EQ(support::trace_lines(root),
		          (std::vector<std::string>{"open ok", std::string("keyinfo ") + key + " error"}));
	}
	support::clear_trace(root);
	// Every command that may switch charging: a report, two limits stored and a day of
	// the daemon with sleeps, a firmware reset and the charger pulled. The daemon's stop
	// cannot switch charging on there, and says so with exit 1.
	const struct {
		std::vector<std::string> args;
		int code;
	} runs[] = {{{"status"}, 0}, {{"setlimit", "60"}, 0}, {{"setlimit", "80"}, 0}, {{"daemon"}, 1}};
	for (const auto &r : runs)
		EXPECT_EQ(support::run(root, r.args).code, r.code) << r.args[0];
	std::vector<std::string> trace = support::trace_lines(root);
	EXPECT_GT(trace.size(), 100u) << "the daemon's day left no trace";
	EXPECT_EQ(support::filter(trace, {"write CHIE", "write CHIB", "write bf"}),
	          std::vector<std::string>{});
	EXPECT_NE(support::read_file(root + "/machine").find("\nkey CHIE 1 hex_ 00\n"),
	          std::string::npos);
	support::remove_tree(root);
}

} // namespace
