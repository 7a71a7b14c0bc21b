// The simulated Mac's fixed start of the virtual clock (SIMMAC_EPOCH): which values it
// takes, where the clock then starts in the daemon's log, and that a value it cannot
// take breaks the machine for that run instead of being guessed at.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

namespace {

using lines = std::vector<std::string>;

const std::string charging_mac = "smc present\nkey CHTE 4 ui32 00000000\npower ac\n"
                                 "source InternalBattery-0 current=64 max=100\nregister ok\n";
const std::string ok_status = "battery=64\nac=1\nlimit=100\ninhibited=0\n";
const std::string broken_status = "battery=-1\nac=0\nlimit=100\ninhibited=-1\n";

const std::string not_seconds = "simmac: SIMMAC_EPOCH: not a number of seconds: ";
const std::string not_a_clock = "simmac: SIMMAC_CLOCK: neither real nor virtual: ";
const std::string out_of_range =
    "simmac: SIMMAC_EPOCH: out of range (at most 2^53 seconds either side of 1970): ";

bool has_line(const lines &all, const std::string &line)
{
	for (const std::string &l : all)
		if (l == line)
			return true;
	return false;
}

TEST(SimulatedMacEpoch, ValueIsTakenOrReportedAndTheMachineBroken)
{
	struct row {
		std::string value;
		std::string clock;
		std::string err; // "" when the value is taken
	};
	const std::vector<row> rows = {
	    // Taken: digits, with a '-' for a time before 1970, up to 2^53 either way.
	    {"0", "virtual", ""},
	    {"1772434800", "virtual", ""},
	    {"-1", "virtual", ""},
	    {"0007", "virtual", ""},
	    {"9007199254740992", "virtual", ""},
	    {"-9007199254740992", "virtual", ""},
	    // Not a number of seconds: nothing, signs alone or doubled, a '+', blanks,
	    // fractions, other notations, trailing junk.
	    {"", "virtual", not_seconds + "\"\"\n"},
	    {"-", "virtual", not_seconds + "\"-\"\n"},
	    {"--1", "virtual", not_seconds + "\"--1\"\n"},
	    {"+5", "virtual", not_seconds + "\"+5\"\n"},
	    {" 5", "virtual", not_seconds + "\" 5\"\n"},
	    {"5 ", "virtual", not_seconds + "\"5 \"\n"},
	    {"1.5", "virtual", not_seconds + "\"1.5\"\n"},
	    {"1e9", "virtual", not_seconds + "\"1e9\"\n"},
	    {"0x10", "virtual", not_seconds + "\"0x10\"\n"},
	    {"17724348OO", "virtual", not_seconds + "\"17724348OO\"\n"},
	    {"abc", "virtual", not_seconds + "\"abc\"\n"},
	    // A control character would break the report's line; it shows as '?'.
	    {"12\n34", "virtual", not_seconds + "\"12?34\"\n"},
	    // Beyond what the clock holds to the second, and beyond 64 bits.
	    {"9007199254740993", "virtual", out_of_range + "\"9007199254740993\"\n"},
	    {"-9007199254740993", "virtual", out_of_range + "\"-9007199254740993\"\n"},
	    {"18446744073709551617", "virtual", out_of_range + "\"18446744073709551617\"\n"},
	    {"99999999999999999999999", "virtual", out_of_range + "\"99999999999999999999999\"\n"},
	    // A real clock never reads it.
	    {"abc", "real", ""},
	    {"", "real", ""},
	    // Nor is a clock that is neither real nor virtual.
	    {"0", "Virtual", not_a_clock + "\"Virtual\"\n"},
	    {"0", "real ", not_a_clock + "\"real \"\n"},
	    {"0", "", not_a_clock + "\"\"\n"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE("SIMMAC_EPOCH=\"" + r.value + "\" SIMMAC_CLOCK=" + r.clock);
		std::string root = support::make_mac(charging_mac);
		support::run_result run = support::run(
		    root, {"status"}, {.env = {"SIMMAC_EPOCH=" + r.value, "SIMMAC_CLOCK=" + r.clock}});
		EXPECT_EQ(run.code, 0);
		EXPECT_EQ(run.err, r.err);
		lines trace = support::trace_lines(root);
		if (r.err.empty()) {
			EXPECT_EQ(run.out, ok_status);
			EXPECT_TRUE(has_line(trace, "open ok"));
		} else {
			// As with a broken machine file: every platform call fails, the SMC is
			// not opened, and the machine is left as it was.
			EXPECT_EQ(run.out, broken_status);
			EXPECT_TRUE(has_line(trace, "open none"));
			EXPECT_FALSE(has_line(trace, "open ok"));
			EXPECT_EQ(support::read_file(root + "/machine"), charging_mac);
		}
		support::remove_tree(root);
	}
}

TEST(SimulatedMacEpoch, DaemonLogStartsAtTheEpochInItsTimeZone)
{
	// Above the limit at the start: the daemon's first pass, at the epoch, pauses.
	const std::string machine = "smc present\nkey CHTE 4 ui32 00000000\npower ac\n"
	                            "source InternalBattery-0 current=85 max=100\nregister ok\n"
	                            "at 60 signal TERM\n";
	struct row {
		std::string epoch;
		std::string tz;
		std::string stamp;
	};
	// Time zones written out in POSIX form, so that no zone database is needed.
	const std::string berlin = "CET-1CEST,M3.5.0,M10.5.0/3";
	const std::vector<row> rows = {
	    {"0", "UTC0", "1970-01-01 00:00:00"},
	    {"-1", "UTC0", "1969-12-31 23:59:59"},
	    {"-0", "UTC0", "1970-01-01 00:00:00"},
	    {"0042", "UTC0", "1970-01-01 00:00:42"},
	    {"1772434800", "UTC0", "2026-03-02 07:00:00"},
	    {"1772434800", "EST5", "2026-03-02 02:00:00"},
	    {"1772434800", berlin, "2026-03-02 08:00:00"},
	    {"1782975600", berlin, "2026-07-02 09:00:00"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE("SIMMAC_EPOCH=" + r.epoch + " TZ=" + r.tz);
		std::string root = support::make_mac(machine, "80\n");
		support::run_result run =
		    support::run(root, {"daemon"}, {.env = {"SIMMAC_EPOCH=" + r.epoch, "TZ=" + r.tz}});
		EXPECT_EQ(run.code, 0);
		EXPECT_EQ(run.err, "tamso-helper daemon started (key CHTE)\n" + r.stamp +
		                       " battery 85%, limit 80% -> charging paused\n");
		support::remove_tree(root);
	}
}

TEST(SimulatedMacEpoch, TwoRunsWithTheSameEpochLeaveTheSameLogAndMachine)
{
	// A few hours with switches on the charger, on battery and around a sleep.
	const std::string machine = "smc present\nkey CHTE 4 ui32 00000000\npower ac\n"
	                            "source InternalBattery-0 current=79 max=100\nregister ok\n"
	                            "battery charge=30 discharge=10 sleep=1\n"
	                            "at 0 limit 80\nat 3600 unplug\nat 7200 sleep 600\n"
	                            "at 10000 plug\nat 20000 signal TERM\n";
	const std::vector<std::string> env = {"SIMMAC_EPOCH=1772434800", "TZ=CET-1"};
	std::string first = support::make_mac(machine);
	std::string second = support::make_mac(machine);
	support::run_result a = support::run(first, {"daemon"}, {.env = env});
	support::run_result b = support::run(second, {"daemon"}, {.env = env});
	EXPECT_EQ(a.code, 0);
	EXPECT_EQ(b.code, 0);
	EXPECT_EQ(a.err, b.err);
	// The first switch comes two minutes in: 79 % to 80 % at 30 points an hour.
	lines log = support::lines_of(a.err);
	ASSERT_GE(log.size(), 4u) << a.err;
	EXPECT_EQ(log[1], "2026-03-02 08:02:00 battery 80%, limit 80% -> charging paused");
	// The machine file keeps the clock's time of its last update; it, the history and
	// the trace come out the same too.
	for (const char *file : {"/machine", "/history.csv", "/trace"})
		EXPECT_EQ(support::read_file(first + file), support::read_file(second + file)) << file;
	support::remove_tree(first);
	support::remove_tree(second);
}

} // namespace
