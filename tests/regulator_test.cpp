// The charge regulator: its decision table, and whole passes on in-process simulated Macs
// with the limit file in a fresh root and the log lines captured.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <simmac/simmac.h>

#include "control/regulator.h"
#include "smc/smc.h"
#include "support.h"

namespace {

using lines = std::vector<std::string>;

TEST(Regulator, DecisionPausesAtTheLimitAndResumesThreePointsBelow)
{
	struct row {
		int pct;
		int limit;
		bool cur;
		bool want;
	} rows[] = {
	    // limit 80, charging
	    {100, 80, false, true},
	    {81, 80, false, true},
	    {80, 80, false, true},
	    {79, 80, false, false},
	    {78, 80, false, false},
	    {77, 80, false, false},
	    {0, 80, false, false},
	    // limit 80, paused
	    {100, 80, true, true},
	    {81, 80, true, true},
	    {80, 80, true, true},
	    {79, 80, true, true},
	    {78, 80, true, true},
	    {77, 80, true, false},
	    {50, 80, true, false},
	    // no cap: never paused, a paused battery resumes
	    {100, 100, false, false},
	    {150, 100, false, false},
	    {99, 100, false, false},
	    {100, 100, true, false},
	    {95, 100, true, false},
	    {0, 100, true, false},
	    // the lowest limit
	    {20, 20, false, true},
	    {19, 20, false, false},
	    {19, 20, true, true},
	    {18, 20, true, true},
	    {17, 20, true, false},
	    // the highest limit below no cap
	    {99, 99, false, true},
	    {97, 99, true, true},
	    {96, 99, true, false},
	};
	for (const row &r : rows)
		EXPECT_EQ(regulator_decide(r.pct, r.limit, r.cur), r.want)
		    << "pct " << r.pct << ", limit " << r.limit << ", cur " << r.cur;
}

// A machine with one battery source at `pct` (no current capacity when pct is -1) and the
// given key lines.
std::string mac(int pct, const std::string &keys, const std::string &power = "ac")
{
	std::string source = pct == -1 ? "source B max=100\n"
	                               : "source B current=" + std::to_string(pct) + " max=100\n";
	return "smc present\n" + keys + "power " + power + "\n" + source;
}

const std::string charging = "key CHTE 4 ui32 00000000\n";
const std::string paused = "key CHTE 4 ui32 01000000\n";
const std::string pair_charging = "key CH0B 1 ui8 00\nkey CH0C 1 ui8 00\n";
const std::string pair_paused = "key CH0B 1 ui8 02\nkey CH0C 1 ui8 02\n";

class RegulatorPass : public testing::Test {
protected:
	void SetUp() override
	{
		setenv("TZ", "UTC", 1);
		tzset();
		root = support::make_root();
	}
	void TearDown() override
	{
		support::remove_tree(root);
	}

	// A machine and a limit file holding `limit` (none when empty).
	void prepare(const std::string &machine, const std::string &limit)
	{
		std::filesystem::remove_all(root + "/Library");
		if (!limit.empty()) {
			std::filesystem::create_directories(root + "/Library/Application Support/Tamso");
			support::write_file(support::limit_path(root), limit);
		}
		simmac::load(machine);
		smc_conn = 0;
	}

	// The standard error of `passes` passes.
	std::string run_passes(int passes = 1)
	{
		testing::internal::CaptureStderr();
		for (int i = 0; i < passes; i++)
			evaluate();
		return testing::internal::GetCapturedStderr();
	}

	std::string root;
};

// Each line of the log is the local time stamp, a blank and the message.
void expect_log(const std::string &log, const lines &messages)
{
	static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d $)");
	ASSERT_TRUE(log.empty() || log.back() == '\n') << log;
	lines got = support::lines_of(log);
	ASSERT_EQ(got.size(), messages.size()) << log;
	for (size_t i = 0; i < got.size(); i++) {
		ASSERT_GE(got[i].size(), 20u) << got[i];
		EXPECT_TRUE(std::regex_match(got[i].substr(0, 20), stamp)) << got[i];
		EXPECT_EQ(got[i].substr(20), messages[i]);
	}
}

lines writes()
{
	return support::filter(simmac::trace(), {"write "});
}

TEST_F(RegulatorPass, SwitchesAndLogsOnlyWhenTheDecisionDiffersFromTheState)
{
	struct row {
		const char *name;
		std::string machine;
		std::string limit; // the limit file's text, "" for none
		lines log;
		lines writes;
	} rows[] = {
	    {"pause at the limit", mac(80, charging), "80\n",
	     {"battery 80%, limit 80% -> charging paused"}, {"write CHTE ok 01000000"}},
	    {"pause above the limit", mac(85, charging), "80\n",
	     {"battery 85%, limit 80% -> charging paused"}, {"write CHTE ok 01000000"}},
	    {"pause on battery power too", mac(90, charging, "battery"), "80\n",
	     {"battery 90%, limit 80% -> charging paused"}, {"write CHTE ok 01000000"}},
	    {"stay paused at the limit", mac(80, paused), "80\n", {}, {}},
	    {"keep charging just below", mac(79, charging), "80\n", {}, {}},
	    {"stay paused just below", mac(79, paused), "80\n", {}, {}},
	    {"stay paused two below", mac(78, paused), "80\n", {}, {}},
	    {"resume three below", mac(77, paused), "80\n",
	     {"battery 77%, limit 80% -> charging resumed"}, {"write CHTE ok 00000000"}},
	    {"keep charging three below", mac(77, charging), "80\n", {}, {}},
	    {"no cap resumes", mac(95, paused), "", {"battery 95%, limit 100% -> charging resumed"},
	     {"write CHTE ok 00000000"}},
	    {"no cap never pauses", mac(100, charging), "100\n", {}, {}},
	    {"lowest limit", mac(20, charging), "20\n", {"battery 20%, limit 20% -> charging paused"},
	     {"write CHTE ok 01000000"}},
	    {"malformed limit counts as no cap", mac(90, paused), "eighty\n",
	     {"battery 90%, limit 100% -> charging resumed"}, {"write CHTE ok 00000000"}},
	    {"limit below 20 counts as no cap", mac(90, paused), "19\n",
	     {"battery 90%, limit 100% -> charging resumed"}, {"write CHTE ok 00000000"}},
	    {"pair pauses", mac(85, pair_charging), "80\n",
	     {"battery 85%, limit 80% -> charging paused"},
	     {"write CH0B ok 02", "write CH0C ok 02"}},
	    {"pair resumes", mac(70, pair_paused), "80\n",
	     {"battery 70%, limit 80% -> charging resumed"},
	     {"write CH0B ok 00", "write CH0C ok 00"}},
	    {"failed pause", mac(80, charging + "fail CHTE write\n"), "80\n",
	     {"failed to set charging inhibit (pct 80, limit 80, want 1)"},
	     {"write CHTE fail 01000000"}},
	    {"failed resume", mac(77, paused + "fail CHTE write\n"), "80\n",
	     {"failed to set charging inhibit (pct 77, limit 80, want 0)"},
	     {"write CHTE fail 00000000"}},
	    {"failed resume of the pair", mac(60, pair_paused + "fail CH0C write\n"), "80\n",
	     {"failed to set charging inhibit (pct 60, limit 80, want 0)"},
	     {"write CH0B ok 00", "write CH0C fail 00"}},
	    {"no percentage, paused without cap", mac(-1, paused), "", {}, {}},
	    {"no percentage, paused with cap", mac(-1, paused), "80\n", {}, {}},
	    {"negative percentage", mac(-5, paused), "80\n", {}, {}},
	    {"no power sources", "smc present\n" + paused + "power unavailable\n", "", {}, {}},
	    {"a full UPS listed first hides no battery",
	     "smc present\n" + paused + "power ac\nsource UPS-1 current=100 max=100 type=UPS\n" +
	         "source InternalBattery-0 current=30 max=100\n",
	     "80\n", {"battery 30%, limit 80% -> charging resumed"}, {"write CHTE ok 00000000"}},
	    {"a UPS alone is no battery",
	     "smc present\n" + charging + "power ac\nsource UPS-1 current=100 max=100 type=UPS\n",
	     "80\n", {}, {}},
	    // Not the process's first pass, which alone says it (tests below).
	    {"state unreadable", mac(90, ""), "80\n", {}, {}},
	    {"state key fails", mac(90, charging + "fail CHTE read\n"), "80\n", {}, {}},
	    {"no AppleSMC", "smc absent\n" + mac(90, charging).substr(12), "80\n", {}, {}},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		prepare(r.machine, r.limit);
		std::string log = run_passes();
		expect_log(log, r.log);
		EXPECT_EQ(writes(), r.writes);
		EXPECT_EQ(simmac::misuses(), 0);
	}
}

TEST_F(RegulatorPass, PassThatChangesNothingOnlyReads)
{
	prepare(mac(79, paused), "80\n");
	EXPECT_EQ(run_passes(), "");
	EXPECT_EQ(simmac::trace(), (lines{"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4",
	                                  "read CHTE ok 01000000"}));
}

TEST_F(RegulatorPass, FailedSwitchIsRetriedAndLoggedAtEveryPass)
{
	prepare(mac(80, charging + "fail CHTE write\n"), "80\n");
	std::string log = run_passes(3);
	expect_log(log, lines(3, "failed to set charging inhibit (pct 80, limit 80, want 1)"));
	EXPECT_EQ(writes(), lines(3, "write CHTE fail 01000000"));
}

TEST_F(RegulatorPass, MachineWithoutCh0cLogsTheFailureOnceThenStaysSilent)
{
	prepare(mac(85, "key CH0B 1 ui8 00\n"), "80\n");
	expect_log(run_passes(), {"failed to set charging inhibit (pct 85, limit 80, want 1)"});
	EXPECT_EQ(writes(), (lines{"write CH0B ok 02"}));
	// CH0B took the write, so later passes read the battery as paused already.
	simmac::clear_trace();
	EXPECT_EQ(run_passes(3), "");
	EXPECT_TRUE(writes().empty());
}

// Each test runs in a process of its own, so each of these passes is its process's first.
TEST_F(RegulatorPass, FirstPassOfAProcessSaysOnceThatTheStateCannotBeRead)
{
	prepare(mac(90, ""), "80\n");
	expect_log(run_passes(), {"cannot read the charging state (key CH0B): charging is not capped"});
	EXPECT_EQ(run_passes(3), "");
	// Another kind of failure later on is no news either.
	prepare(mac(90, charging + "fail CHTE read\n"), "80\n");
	EXPECT_EQ(run_passes(2), "");
	EXPECT_TRUE(writes().empty());
}

TEST_F(RegulatorPass, StateThatBecomesUnreadableAfterTheFirstPassIsNotReported)
{
	prepare(mac(85, charging), "80\n");
	expect_log(run_passes(), {"battery 85%, limit 80% -> charging paused"});
	prepare(mac(85, "key CHTE 0 ui32 -\n"), "80\n");
	EXPECT_EQ(run_passes(3), "");
}

TEST_F(RegulatorPass, TheLimitFileIsReadAnewAtEveryPass)
{
	prepare(mac(85, charging), "90\n");
	EXPECT_EQ(run_passes(), "");
	support::write_file(support::limit_path(root), "85\n");
	expect_log(run_passes(), {"battery 85%, limit 85% -> charging paused"});
	support::write_file(support::limit_path(root), "100\n");
	expect_log(run_passes(), {"battery 85%, limit 100% -> charging resumed"});
}

TEST_F(RegulatorPass, AThousandPassesLeaveNoObjectBehind)
{
	struct row {
		const char *name;
		std::string machine;
		double step;      // seconds between passes
		size_t log_lines; // over the thousand passes
	} rows[] = {
	    {"every switch fails", mac(85, charging + "fail CHTE write\n"), 0, 1000},
	    // Charging at 60 points an hour from 70 reaches 80 after half an hour and pauses.
	    {"battery charging up to the limit",
	     mac(70, charging) + "battery charge=60 discharge=12 sleep=1\n", 20, 1},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		prepare(r.machine, "80\n");
		long objects = simmac::live_objects();
		long io_objects = simmac::live_io_objects();
		testing::internal::CaptureStderr();
		for (int i = 0; i < 1000; i++) {
			evaluate();
			simmac::advance(r.step);
		}
		std::string log = testing::internal::GetCapturedStderr();
		EXPECT_EQ(support::lines_of(log).size(), r.log_lines);
		EXPECT_EQ(simmac::live_objects(), objects);
		EXPECT_EQ(simmac::live_io_objects(), io_objects);
		EXPECT_EQ(simmac::misuses(), 0);
	}
}

} // namespace
