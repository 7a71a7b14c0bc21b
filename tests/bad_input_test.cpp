// Bad input, tried on purpose: callers without root rights, limit files that are huge,
// binary or endless, key names that are not ASCII, and arguments far longer than any
// sensible one. Each gets a clear outcome, and nothing stored is lost.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <simmac/simmac.h>

#include "cli/dispatch.h"
#include "power/battery.h"
#include "power/limit.h"
#include "smc/smc.h"
#include "support.h"

namespace {

using lines = std::vector<std::string>;

const std::string chte_machine = "smc present\n"
                                 "key CHTE 4 ui32 00000000\n"
                                 "power ac\n"
                                 "source InternalBattery-0 current=90 max=100\n"
                                 "register ok\n";

std::string tamso_dir(const std::string &root)
{
	return root + "/Library/Application Support/Tamso";
}

void store_limit(const std::string &root, const std::string &content)
{
	mkdir(tamso_dir(root).c_str(), 0755);
	support::write_file(support::limit_path(root), content);
}

support::run_options bounded(double seconds)
{
	support::run_options options;
	options.timeout = seconds;
	return options;
}

// --- refusals for missing root rights ---

// Every call the root check refuses, valid or not.
const std::vector<lines> refused_calls = {
    {"setlimit", "80"}, {"setlimit", "abc"}, {"setlimit"},      {"powermode", "1"},
    {"powermode", "9"}, {"powermode"},       {"read", "CHT"},    {"read", "CHTE", "x"},
    {"Status"},         {"bogus", "80"},     {"setlimit", "80", "90"},
};

// The refusal comes before the program touches the simulated Mac in any way: no SMC
// exchange (no trace at all), no limit file or directory, and not even the Application
// Support folder that the simulated Mac recreates on its first platform call.
TEST(BadInputRoot, RefusedBeforeAnyFileOrSmcAccess)
{
	uid_t uid = support::unprivileged_uid();
	if (uid == 0)
		GTEST_SKIP() << "the tests do not run as root, so they cannot switch to another user";
	for (const lines &args : refused_calls) {
		std::string call;
		for (const std::string &a : args)
			call += " " + a;
		SCOPED_TRACE(call);
		std::string root = support::make_root(chte_machine);
		std::string machine = support::read_file(root + "/machine");
		std::filesystem::remove_all(root + "/Library");
		std::string program = support::share_with(root, uid);
		support::run_options options;
		options.program = program.c_str();
		options.uid = uid;
		support::run_result r = support::run(root, args, options);
		EXPECT_EQ(r.code, 1);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, "must run as root\n");
		EXPECT_FALSE(support::exists(root + "/trace"));
		EXPECT_FALSE(support::exists(root + "/Library"));
		EXPECT_EQ(support::read_file(root + "/machine"), machine);
		support::remove_tree(root);
	}
}

// --- limit files that are huge, binary or endless ---

struct limit_content {
	const char *name;
	std::string (*make)();
	int limit;
};

constexpr size_t fifty_mb = 50u << 20;
constexpr size_t eight_mb = 8u << 20;

std::string repeat(char c, size_t n, const std::string &tail = "")
{
	return std::string(n, c) + tail;
}

std::string random_bytes(size_t n, unsigned seed)
{
	std::mt19937 engine(seed);
	std::string bytes(n, '\0');
	for (char &c : bytes)
		c = static_cast<char>(engine() & 0xff);
	return bytes;
}

const limit_content limit_contents[] = {
    // White space of every kind before the number is skipped, however much of it.
    {"FiftyMegabytesOfBlanksThen85",
     [] {
	     std::string text = " \t\n\r\v\f";
	     while (text.size() < fifty_mb)
		     text += text;
	     text.resize(fifty_mb);
	     return text + "85\n";
     },
     85},
    {"FiftyMegabytesOfDigits", [] { return repeat('7', fifty_mb); }, 100},
    // Leading zeros are decimal, so this is 85 however many there are.
    {"EightMegabytesOfZerosThen85", [] { return repeat('0', eight_mb, "85"); }, 85},
    {"EightMegabytesOfNul", [] { return repeat('\0', eight_mb); }, 100},
    {"OneNulThen85", [] { return std::string("\0" "85\n", 4); }, 100},
    {"EightyFiveThenNulAndBinary", [] { return std::string("85\0", 3) + random_bytes(4096, 1); }, 85},
    {"RandomBinaryStartingWithAHighByte", [] { return "\xff" + random_bytes(1 << 20, 2); }, 100},
    {"SignThenNul", [] { return std::string("+\0" "85", 4); }, 100},
    {"NumberAcrossManyReads", [] { return repeat(' ', 255, "9") + "9\n"; }, 99},
};

void PrintTo(const limit_content &c, std::ostream *os)
{
	*os << c.name;
}

class BadLimitFile : public testing::TestWithParam<limit_content> {
protected:
	void SetUp() override
	{
		root = support::make_root(chte_machine);
		store_limit(root, GetParam().make());
	}
	void TearDown() override
	{
		support::remove_tree(root);
	}
	std::string root;
};

// The reader takes the file's first number or none, in bounded memory and time.
TEST_P(BadLimitFile, ReaderGivesTheRuleOrTheDefault)
{
	simmac::load(chte_machine);
	EXPECT_EQ(read_limit(), GetParam().limit);
}

// A run that does not end in time is killed, and its exit code then says so.
TEST_P(BadLimitFile, StatusShowsIt)
{
	support::run_result r = support::run(root, {"status"}, bounded(60));
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.out, "battery=90\nac=1\nlimit=" + std::to_string(GetParam().limit) + "\ninhibited=0\n");
}

INSTANTIATE_TEST_SUITE_P(BadInput, BadLimitFile, testing::ValuesIn(limit_contents),
                         [](const testing::TestParamInfo<limit_content> &param) {
	                         return std::string(param.param.name);
                         });

// Things at the limit path that never end or are no file at all. A reader must not
// hang on them (a FIFO without a writer blocks an ordinary open for ever) and reads no
// value from them; a new limit then replaces them.
struct endless_entry {
	const char *name;
	void (*plant)(const std::string &path);
};

const endless_entry endless_entries[] = {
    {"Fifo", [](const std::string &path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }},
    {"LinkToDevZero", [](const std::string &path) { ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0); }},
    {"LinkToDevUrandom",
     [](const std::string &path) { ASSERT_EQ(symlink("/dev/urandom", path.c_str()), 0); }},
    {"Directory", [](const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }},
};

void PrintTo(const endless_entry &e, std::ostream *os)
{
	*os << e.name;
}

class EndlessLimit : public testing::TestWithParam<endless_entry> {
protected:
	void SetUp() override
	{
		root = support::make_root(chte_machine);
		mkdir(tamso_dir(root).c_str(), 0755);
		GetParam().plant(support::limit_path(root));
	}
	void TearDown() override
	{
		support::remove_tree(root);
	}
	std::string root;
};

// A reader that hung would be killed after 20 seconds (exit code 137).
TEST_P(EndlessLimit, StatusCompletesWithTheDefault)
{
	support::run_result r = support::run(root, {"status"}, bounded(20));
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.out, "battery=90\nac=1\nlimit=100\ninhibited=0\n");
}

TEST_P(EndlessLimit, ReaderGivesTheDefault)
{
	simmac::load(chte_machine);
	EXPECT_EQ(read_limit(), 100);
}

// A FIFO even with a writer that offers a number is not read: only a regular file holds
// the limit.
TEST(BadInputFifo, WriterOnTheOtherEndIsNotRead)
{
	std::string root = support::make_root(chte_machine);
	mkdir(tamso_dir(root).c_str(), 0755);
	std::string path = support::limit_path(root);
	ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
	simmac::load(chte_machine);
	int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
	int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
	ASSERT_NE(writer, -1);
	ASSERT_EQ(write(writer, "85\n", 3), 3);
	EXPECT_EQ(read_limit(), 100);
	close(writer);
	close(reader);
	support::remove_tree(root);
}

TEST_P(EndlessLimit, SetlimitReplacesIt)
{
	support::run_result r = support::run(root, {"setlimit", "85"}, bounded(10));
	if (std::string(GetParam().name) == "Directory") {
		// rename cannot put a file over a directory: reported, and the directory stays.
		EXPECT_EQ(r.code, 1);
		EXPECT_EQ(r.err, "/Library/Application Support/Tamso/limit: Is a directory\n");
		struct stat st;
		EXPECT_EQ(lstat(support::limit_path(root).c_str(), &st), 0);
		EXPECT_TRUE(S_ISDIR(st.st_mode));
		return;
	}
	EXPECT_EQ(r.code, 0) << r.err;
	struct stat st;
	ASSERT_EQ(lstat(support::limit_path(root).c_str(), &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(support::read_file(support::limit_path(root)), "85\n");
	EXPECT_EQ(support::run(root, {"status"}).out, "battery=90\nac=1\nlimit=85\ninhibited=1\n");
}

INSTANTIATE_TEST_SUITE_P(BadInput, EndlessLimit, testing::ValuesIn(endless_entries),
                         [](const testing::TestParamInfo<endless_entry> &param) {
	                         return std::string(param.param.name);
                         });

// --- key names that are not ASCII ---

struct odd_key {
	const char *name;
	std::string key;
	uint32_t code;
};

const odd_key odd_keys[] = {
    {"Utf8EAcute", "\xc3\xa9" "AB", 0xc3a94142},
    {"AllOnes", "\xff\xff\xff\xff", 0xffffffff},
    {"HighLastByte", "CHT\xc5", 0x434854c5},
    {"HighFirstByte", "\x80" "CHT", 0x80434854},
};

void PrintTo(const odd_key &k, std::ostream *os)
{
	*os << k.name;
}

class OddKeyName : public testing::TestWithParam<odd_key> {};

// The SMC does not know the key: the "not found" line with the name's own bytes, exit 1,
// and one key-info query for exactly those bytes.
TEST_P(OddKeyName, ReadOfUnknownKeyIsNotFound)
{
	std::string root = support::make_root(chte_machine);
	support::run_result r = support::run(root, {"read", GetParam().key});
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.out, GetParam().key + ": not found\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(support::trace_lines(root), (lines{"open ok", "keyinfo " + GetParam().key + " fail"}));
	support::remove_tree(root);
}

// A key with such a name that the SMC does have is read like any other.
TEST_P(OddKeyName, ReadOfKnownKeyPrintsItsBytes)
{
	std::string root = support::make_root(chte_machine + "key " + GetParam().key + " 2 hex_ beef\n");
	support::run_result r = support::run(root, {"read", GetParam().key});
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.out, GetParam().key + ": be ef\n");
	support::remove_tree(root);
}

// Each byte goes into the key code as unsigned, first byte most significant.
TEST_P(OddKeyName, RequestCarriesTheUnsignedCode)
{
	std::string root = support::make_root();
	simmac::load(chte_machine);
	smc_conn = 0;
	EXPECT_EQ(smc_key_code(GetParam().key.c_str()), GetParam().code);
	smc_key_info info;
	EXPECT_EQ(smc_keyinfo(GetParam().key.c_str(), &info), -1);
	std::vector<std::array<uint8_t, 80>> requests = simmac::smc_requests();
	ASSERT_EQ(requests.size(), 1u);
	uint32_t code;
	memcpy(&code, requests[0].data(), sizeof code);
	EXPECT_EQ(code, GetParam().code);
	EXPECT_EQ(simmac::misuses(), 0);
	support::remove_tree(root);
}

INSTANTIATE_TEST_SUITE_P(BadInput, OddKeyName, testing::ValuesIn(odd_keys),
                         [](const testing::TestParamInfo<odd_key> &param) {
	                         return std::string(param.param.name);
                         });

// --- arguments far longer than any sensible one ---

constexpr size_t hundred_kb = 100u * 1024;
const std::string paused_at_80 =
    R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d battery 90%, limit 80% -> charging paused\n)";

struct long_call {
	const char *name;
	lines args;
	int code;
	const char *out;    // exact standard output
	std::string err;    // exact standard error, unless a pass logs
	const char *stored; // the limit file afterwards (an old "90\n" was there)
};

const long_call long_calls[] = {
    {"SetlimitOfManyDigits", {"setlimit", repeat('9', hundred_kb)}, 2, "", std::string(usage_text), "90\n"},
    {"SetlimitOfManyDigitsThenBlank", {"setlimit", repeat('0', hundred_kb, "80 ")}, 2, "",
     std::string(usage_text), "90\n"},
    {"SetlimitOfManyLettersStartingWithDigits", {"setlimit", "80" + repeat('x', hundred_kb)}, 2, "",
     std::string(usage_text), "90\n"},
    // Leading zeros and leading white space are part of a valid number, however many.
    {"SetlimitOfManyZerosThen80", {"setlimit", repeat('0', hundred_kb, "80")}, 0, "", "", "80\n"},
    {"SetlimitOfManyBlanksThen80", {"setlimit", repeat(' ', hundred_kb, "80")}, 0, "", "", "80\n"},
    {"PowermodeOfManyOnes", {"powermode", repeat('1', hundred_kb)}, 2, "", std::string(usage_text), "90\n"},
    {"ReadOfAHundredKilobyteKey", {"read", repeat('K', hundred_kb)}, 2, "", std::string(usage_text), "90\n"},
    {"UnknownCommandOfAHundredKilobytes", {repeat('s', hundred_kb)}, 2, "", std::string(usage_text), "90\n"},
    {"StatusWithAHundredKilobytesMore", {"status", repeat('x', hundred_kb)}, 0,
     "battery=90\nac=1\nlimit=90\ninhibited=0\n", "", "90\n"},
};

void PrintTo(const long_call &c, std::ostream *os)
{
	*os << c.name;
}

class LongArgument : public testing::TestWithParam<long_call> {};

TEST_P(LongArgument, GetsAClearOutcome)
{
	const long_call &c = GetParam();
	std::string root = support::make_root(chte_machine);
	store_limit(root, "90\n");
	support::run_result r = support::run(root, c.args, bounded(20));
	EXPECT_EQ(r.code, c.code);
	EXPECT_EQ(r.out, c.out);
	if (c.code == 0 && c.args[0] == "setlimit") // its pass pauses charging at 90 percent
		EXPECT_TRUE(std::regex_match(r.err, std::regex(paused_at_80))) << r.err;
	else
		EXPECT_EQ(r.err, c.err);
	EXPECT_EQ(support::read_file(support::limit_path(root)), c.stored);
	support::remove_tree(root);
}

INSTANTIATE_TEST_SUITE_P(BadInput, LongArgument, testing::ValuesIn(long_calls),
                         [](const testing::TestParamInfo<long_call> &param) {
	                         return std::string(param.param.name);
                         });

// --- machine files with numbers no battery has (found by the machine-file fuzzer) ---

// The battery model once converted such a level to an integer out of range, or crossed
// one percentage at a time from 1 to 1e18, which never ended. Each now loads at once,
// writes itself back well formed, and the gauge answers.
TEST(BadInputMachine, AbsurdBatteryNumbersStayBounded)
{
	const std::string machines[] = {
	    "source A current=1\nbattery charge=1 discharge=1 sleep=1 level=1e300\n",
	    "source A current=1 max=1000000000000000000\n"
	    "battery charge=1000000000 discharge=1 sleep=1 level=1 updated=0\n",
	    "source A current=1\n"
	    "battery charge=1 discharge=1 sleep=1 level=1e200 updated=-1e300 start=1e300\n",
	    "power battery\nsource A current=9000000000000000000\n"
	    "battery charge=1 discharge=1e300 sleep=1 level=1 updated=0\n",
	};
	std::string root = support::make_root();
	for (const std::string &machine : machines) {
		SCOPED_TRACE(machine);
		ASSERT_EQ(simmac::check(machine), "");
		simmac::load(machine);
		simmac::advance(3600);
		std::string text = simmac::machine_text();
		EXPECT_EQ(simmac::check(text), "") << text;
		int ac;
		EXPECT_GE(battery_percent(&ac), -1);
		EXPECT_EQ(simmac::misuses(), 0);
	}
	// Infinity is no number a machine file may hold.
	EXPECT_NE(simmac::check("source A current=1\nbattery charge=inf discharge=1 sleep=1\n"), "");
	support::remove_tree(root);
}

// Ten thousand words after setlimit are two too many: usage, and the limit is kept.
TEST(BadInputArguments, ManyArgumentsAreUsage)
{
	std::string root = support::make_root(chte_machine);
	store_limit(root, "90\n");
	lines args = {"setlimit", "80"};
	args.resize(10000, "80");
	support::run_result r = support::run(root, args);
	EXPECT_EQ(r.code, 2);
	EXPECT_EQ(r.err, usage_text);
	EXPECT_EQ(support::read_file(support::limit_path(root)), "90\n");
	EXPECT_EQ(support::trace_lines(root), lines{});
	support::remove_tree(root);
}

} // namespace
