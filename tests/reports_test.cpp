// `status`, `read` and `setlimit` on the built program, each on a fresh simulated Mac:
// standard output byte for byte, the exit code and the exchanges in the trace.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

#include "support.h"

namespace {

using lines = std::vector<std::string>;

struct report_case {
	const char *name;
	std::string machine;
	std::string limit; // the limit file's text, "" for none
	std::vector<std::string> args;
	std::string out;
	int code;
	lines trace;
};

std::string thirty_two_bytes_hex()
{
	std::string hex;
	char byte[3];
	for (int i = 0; i < 32; i++) {
		snprintf(byte, sizeof byte, "%02x", i);
		hex += byte;
	}
	return hex;
}

std::string thirty_two_bytes_dump()
{
	std::string dump;
	char byte[4];
	for (int i = 0; i < 32; i++) {
		snprintf(byte, sizeof byte, " %02x", i);
		dump += byte;
	}
	return dump;
}

const std::vector<report_case> &report_cases()
{
	static const std::vector<report_case> cases = {
	    {"status with nothing to report",
	     "smc present\npower ac\nsource InternalBattery-0 max=100\n",
	     "",
	     {"status"},
	     "battery=-1\nac=1\nlimit=100\ninhibited=-1\n",
	     0,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B fail"}},
	    {"status paused at a limit of 80",
	     "smc present\nkey CHTE 4 ui32 01000000\npower ac\n"
	     "source InternalBattery-0 current=80 max=100\n",
	     "80\n",
	     {"status"},
	     "battery=80\nac=1\nlimit=80\ninhibited=1\n",
	     0,
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "read CHTE ok 01000000"}},
	    {"status of a pair machine on battery",
	     "smc present\nkey CH0B 1 ui8 00\nkey CH0C 1 ui8 00\npower battery\n"
	     "source InternalBattery-0 current=43 max=48\n",
	     "75\n",
	     {"status"},
	     "battery=89\nac=0\nlimit=75\ninhibited=0\n",
	     0,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 1", "read CH0B ok 00"}},
	    {"status without AppleSMC or power sources",
	     "smc absent\nkey CHTE 4 ui32 00000000\npower unavailable\n"
	     "source InternalBattery-0 current=80 max=100\n",
	     "",
	     {"status"},
	     "battery=-1\nac=0\nlimit=100\ninhibited=-1\n",
	     0,
	     {"open none", "open none"}},
	    {"status behind a UPS listed first",
	     "smc present\nkey CHTE 4 ui32 01000000\npower ac\n"
	     "source UPS-1 current=100 max=100 type=UPS\nsource InternalBattery-0 current=30 max=100\n",
	     "80\n",
	     {"status"},
	     "battery=30\nac=1\nlimit=80\ninhibited=1\n",
	     0,
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "read CHTE ok 01000000"}},
	    {"status with a UPS and no battery",
	     "smc present\nkey CHTE 4 ui32 00000000\npower ac\nsource UPS-1 current=100 type=UPS\n",
	     "",
	     {"status"},
	     "battery=-1\nac=1\nlimit=100\ninhibited=0\n",
	     0,
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "read CHTE ok 00000000"}},
	    {"status ignores what follows it",
	     "smc present\nkey CHTE 4 ui32 00000000\npower none\nsource B current=-5 max=100\n",
	     "150\n",
	     {"status", "extra", "words"},
	     "battery=-5\nac=0\nlimit=100\ninhibited=0\n",
	     0,
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "read CHTE ok 00000000"}},
	    {"read CHTE",
	     "smc present\nkey CHTE 4 ui32 00000000\n",
	     "",
	     {"read", "CHTE"},
	     "CHTE: 00 00 00 00\n",
	     0,
	     {"open ok", "keyinfo CHTE ok 4", "read CHTE ok 00000000"}},
	    {"read CH0B",
	     "smc present\nkey CH0B 1 ui8 02\nkey CH0C 1 ui8 02\n",
	     "",
	     {"read", "CH0B"},
	     "CH0B: 02\n",
	     0,
	     {"open ok", "keyinfo CH0B ok 1", "read CH0B ok 02"}},
	    {"read of a size-0 key",
	     "smc present\nkey ZERO 0 ui8 -\n",
	     "",
	     {"read", "ZERO"},
	     "ZERO:\n",
	     0,
	     {"open ok", "keyinfo ZERO ok 0", "read ZERO ok -"}},
	    {"read of a 32-byte key",
	     "smc present\nkey LONG 32 ch8* " + thirty_two_bytes_hex() + "\n",
	     "",
	     {"read", "LONG"},
	     "LONG:" + thirty_two_bytes_dump() + "\n",
	     0,
	     {"open ok", "keyinfo LONG ok 32", "read LONG ok " + thirty_two_bytes_hex()}},
	    {"read of an unknown key",
	     "smc present\nkey CHTE 4 ui32 00000000\n",
	     "",
	     {"read", "NOPE"},
	     "NOPE: not found\n",
	     1,
	     {"open ok", "keyinfo NOPE fail"}},
	    {"read of a 33-byte key",
	     "smc present\nkey BIGK 33 ch8* " + thirty_two_bytes_hex() + "ff\n",
	     "",
	     {"read", "BIGK"},
	     "BIGK: not found\n",
	     1,
	     {"open ok", "keyinfo BIGK ok 33"}},
	    {"read whose read fails",
	     "smc present\nkey CHTE 4 ui32 00000000\nfail CHTE read\n",
	     "",
	     {"read", "CHTE"},
	     "CHTE: not found\n",
	     1,
	     {"open ok", "keyinfo CHTE ok 4", "read CHTE fail"}},
	    {"read without AppleSMC",
	     "smc absent\nkey CHTE 4 ui32 00000000\n",
	     "",
	     {"read", "CHTE"},
	     "CHTE: not found\n",
	     1,
	     {"open none"}},
	    {"read with a refused open",
	     "smc refuse\nkey CHTE 4 ui32 00000000\n",
	     "",
	     {"read", "CHTE"},
	     "CHTE: not found\n",
	     1,
	     {"open refused"}},
	    {"read with call errors",
	     "smc present\nkey CHTE 4 ui32 00000000\nfail call\n",
	     "",
	     {"read", "CHTE"},
	     "CHTE: not found\n",
	     1,
	     {"open ok", "keyinfo CHTE error"}},
	    {"read of a name with high bytes",
	     "smc present\nkey \xc3\xa9" "a\x80 1 ui8 5a\n",
	     "",
	     {"read", "\xc3\xa9" "a\x80"},
	     "\xc3\xa9" "a\x80: 5a\n",
	     0,
	     {"open ok", "keyinfo \xc3\xa9" "a\x80 ok 1", "read \xc3\xa9" "a\x80 ok 5a"}},
	};
	return cases;
}

// A fresh root with the case's machine and limit file.
std::string root_for(const report_case &c)
{
	std::string root = support::make_root(c.machine);
	if (!c.limit.empty()) {
		std::filesystem::create_directories(root + "/Library/Application Support/Tamso");
		support::write_file(support::limit_path(root), c.limit);
	}
	return root;
}

void expect_report(const report_case &c, const support::run_result &r, const std::string &root)
{
	EXPECT_EQ(r.out, c.out);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(r.code, c.code);
	EXPECT_EQ(support::trace_lines(root), c.trace);
}

TEST(Reports, StatusAndReadPrintExactlyTheirLines)
{
	for (const report_case &c : report_cases()) {
		SCOPED_TRACE(c.name);
		std::string root = root_for(c);
		std::string machine_before = support::read_file(root + "/machine");
		expect_report(c, support::run(root, c.args), root);
		// Neither report changes anything.
		EXPECT_EQ(support::read_file(root + "/machine"), machine_before);
		support::remove_tree(root);
	}
}

TEST(Reports, StatusAndReadNeedNoRootRights)
{
	uid_t uid = support::unprivileged_uid();
	if (uid == 0)
		GTEST_SKIP() << "switching to an unprivileged user needs root rights";
	for (const report_case &c : report_cases()) {
		SCOPED_TRACE(c.name);
		std::string root = root_for(c);
		std::string program = support::share_with(root, uid);
		support::run_options options;
		options.program = program.c_str();
		options.uid = uid;
		expect_report(c, support::run(root, c.args, options), root);
		support::remove_tree(root);
	}
}

TEST(Reports, AReportThatCannotBeWrittenIsAFailure)
{
	// The same reports into /dev/null and into /dev/full, which takes no byte: only the
	// lost report fails, with the system's error on standard error.
	const std::string no_space = "standard output: No space left on device\n";
	struct row {
		std::vector<std::string> args;
		int code_written; // into /dev/null
	};
	const std::vector<row> rows = {
	    {{"status"}, 0},
	    {{"status", "extra"}, 0},
	    {{"read", "CHTE"}, 0},
	    {{"read", "NOPE"}, 1},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.args[0] + (r.args.size() > 1 ? " " + r.args[1] : ""));
		std::string root = support::make_root(
		    "smc present\nkey CHTE 4 ui32 00000000\npower ac\nsource B current=85 max=100\n");
		for (const char *device : {"/dev/null", "/dev/full"}) {
			SCOPED_TRACE(device);
			support::run_options options;
			options.program = "/bin/sh";
			std::vector<std::string> args = {"-c", std::string("exec \"$0\" \"$@\" >") + device,
			                                 support::helper_path()};
			args.insert(args.end(), r.args.begin(), r.args.end());
			support::run_result result = support::run(root, args, options);
			bool full = std::string(device) == "/dev/full";
			EXPECT_EQ(result.code, full ? 1 : r.code_written);
			EXPECT_EQ(result.out, "");
			EXPECT_EQ(result.err, full ? no_space : "");
		}
		support::remove_tree(root);
	}
}

TEST(Reports, AClosedStandardOutputFailsAndLandsInNoFileOfTheMac)
{
	// A report to a closed standard output fails as on a Mac, with EBADF, whatever the
	// clock and whichever other standard descriptors are closed: the simulated Mac's own
	// files (the machine's lock in real time, the trace) never take a free 0, 1 or 2.
	const std::string bad = "standard output: Bad file descriptor\n";
	struct row {
		const char *closing; // the shell's redirections before the program starts
		const char *clock;
		std::string err;
	} rows[] = {
	    {">&-", "virtual", bad},
	    {">&-", "real", bad},
	    {"<&- >&-", "virtual", bad},
	    {"<&- >&-", "real", bad},
	    {">&- 2>&-", "virtual", ""},
	    {">&- 2>&-", "real", ""},
	    {"<&- >&- 2>&-", "real", ""},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(std::string(r.closing) + ", " + r.clock + " clock");
		std::string root = support::make_root("smc present\nkey CHTE 4 ui32 00000000\npower ac\n"
		                                      "source B current=85 max=100\n"
		                                      "battery charge=60 discharge=12 sleep=1\n");
		support::run_options options;
		options.program = "/bin/sh";
		options.env = {std::string("SIMMAC_CLOCK=") + r.clock};
		std::vector<std::string> args = {"-c", std::string("exec \"$0\" status ") + r.closing,
		                                 support::helper_path()};
		support::run_result result = support::run(root, args, options);
		EXPECT_EQ(result.code, 1);
		EXPECT_EQ(result.out, "");
		EXPECT_EQ(result.err, r.err);
		// The platform was asked as usual, and nothing the program wrote is in the Mac.
		EXPECT_EQ(support::trace_lines(root),
		          (lines{"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "read CHTE ok 00000000"}));
		for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
			if (!entry.is_regular_file())
				continue;
			std::string content = support::read_file(entry.path());
			EXPECT_EQ(content.find("battery="), std::string::npos) << entry.path();
			EXPECT_EQ(content.find("Bad file descriptor"), std::string::npos) << entry.path();
		}
		support::remove_tree(root);
	}
}

// Each line of the log is the local time stamp, a blank and the message.
void expect_log(const std::string &log, const lines &messages)
{
	static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d $)");
	lines got = support::lines_of(log);
	ASSERT_EQ(got.size(), messages.size()) << log;
	ASSERT_TRUE(log.empty() || log.back() == '\n') << log;
	for (size_t i = 0; i < got.size(); i++) {
		ASSERT_GE(got[i].size(), 20u) << got[i];
		EXPECT_TRUE(std::regex_match(got[i].substr(0, 20), stamp)) << got[i];
		EXPECT_EQ(got[i].substr(20), messages[i]);
	}
}

TEST(SetlimitPass, StoresTheLimitThenRunsOnePassOnTheSmc)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "setlimit runs only with root rights";
	const lines chte_read = {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4",
	                         "read CHTE ok 00000000"};
	const lines chte_paused_read = {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4",
	                                "read CHTE ok 01000000"};
	struct row {
		const char *name;
		std::string machine;
		const char *limit;
		lines log;
		lines trace;
		const char *key_after; // the state key's line in the machine file afterwards
	} rows[] = {
	    {"pause at once",
	     "smc present\nkey CHTE 4 ui32 00000000\npower ac\nsource B current=85 max=100\n",
	     "80",
	     {"battery 85%, limit 80% -> charging paused"},
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "read CHTE ok 00000000",
	      "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "write CHTE ok 01000000"},
	     "key CHTE 4 ui32 01000000\n"},
	    {"resume once uncapped",
	     "smc present\nkey CHTE 4 ui32 01000000\npower ac\nsource B current=60 max=100\n",
	     "100",
	     {"battery 60%, limit 100% -> charging resumed"},
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "read CHTE ok 01000000",
	      "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "write CHTE ok 00000000"},
	     "key CHTE 4 ui32 00000000\n"},
	    {"nothing to switch",
	     "smc present\nkey CHTE 4 ui32 00000000\npower ac\nsource B current=79 max=100\n",
	     "80",
	     {},
	     chte_read,
	     "key CHTE 4 ui32 00000000\n"},
	    {"still paused inside the band",
	     "smc present\nkey CHTE 4 ui32 01000000\npower ac\nsource B current=78 max=100\n",
	     "80",
	     {},
	     chte_paused_read,
	     "key CHTE 4 ui32 01000000\n"},
	    {"pause on the pair",
	     "smc present\nkey CH0B 1 ui8 00\nkey CH0C 1 ui8 00\npower ac\n"
	     "source B current=90 max=100\n",
	     "80",
	     {"battery 90%, limit 80% -> charging paused"},
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 1", "read CH0B ok 00",
	      "keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B ok 02", "keyinfo CH0C ok 1",
	      "write CH0C ok 02"},
	     "key CH0C 1 ui8 02\n"},
	    {"failed switch keeps exit 0",
	     "smc present\nkey CHTE 4 ui32 00000000\nfail CHTE write\npower ac\n"
	     "source B current=85 max=100\n",
	     "80",
	     {"failed to set charging inhibit (pct 85, limit 80, want 1)"},
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "read CHTE ok 00000000",
	      "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "write CHTE fail 01000000"},
	     "key CHTE 4 ui32 00000000\n"},
	    {"no AppleSMC",
	     "smc absent\nkey CHTE 4 ui32 00000000\npower ac\nsource B current=85 max=100\n",
	     "80",
	     {"cannot read the charging state (no AppleSMC): charging is not capped"},
	     {"open none", "open none"},
	     "key CHTE 4 ui32 00000000\n"},
	    // Saying which key could not be read takes no exchange beyond the pass's own.
	    {"state key without data",
	     "smc present\nkey CHTE 0 ui32 -\npower ac\nsource B current=85 max=100\n",
	     "80",
	     {"cannot read the charging state (key CHTE): charging is not capped"},
	     {"open ok", "keyinfo CHTE ok 0", "keyinfo CHTE ok 0", "read CHTE ok -"},
	     "key CHTE 0 ui32 -\n"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		std::string root = support::make_root(r.machine);
		support::run_result result = support::run(root, {"setlimit", r.limit});
		EXPECT_EQ(result.code, 0);
		EXPECT_EQ(result.out, "");
		expect_log(result.err, r.log);
		EXPECT_EQ(support::trace_lines(root), r.trace);
		EXPECT_EQ(support::read_file(support::limit_path(root)), std::string(r.limit) + "\n");
		std::string machine = support::read_file(root + "/machine");
		EXPECT_NE(machine.find(r.key_after), std::string::npos) << machine;
		support::remove_tree(root);
	}
}

TEST(SetlimitPass, StatusShowsThePauseItMade)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "setlimit runs only with root rights";
	std::string root = support::make_root(
	    "smc present\nkey CHTE 4 ui32 00000000\npower ac\nsource B current=85 max=100\n");
	EXPECT_EQ(support::run(root, {"status"}).out, "battery=85\nac=1\nlimit=100\ninhibited=0\n");
	ASSERT_EQ(support::run(root, {"setlimit", "80"}).code, 0);
	EXPECT_EQ(support::run(root, {"status"}).out, "battery=85\nac=1\nlimit=80\ninhibited=1\n");
	support::clear_trace(root);
	// A second store of the same limit finds nothing to switch.
	support::run_result again = support::run(root, {"setlimit", "80"});
	EXPECT_EQ(again.err, "");
	EXPECT_TRUE(support::filter(support::trace_lines(root), {"write ", "misuse "}).empty());
	support::remove_tree(root);
}

} // namespace
