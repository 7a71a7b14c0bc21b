// End-to-end tests of the command line: the built program on a fresh simulated Mac, run as
// root and as an unprivileged user, checked by the bytes it writes, its exit code, the
// files it leaves and the trace of what it asked of the platform.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "support.h"

namespace {

const std::string usage =
    "usage: tamso-helper status | read KEY | powermode 0|1|2 | setlimit 20..100 | daemon\n";
const std::string not_root = "must run as root\n";
const std::string limit_prefix = "/Library/Application Support/Tamso/limit: ";

// What the folder holds after a store: the limit and the lock that serialises stores.
const std::vector<std::string> stored_entries = {"limit", "limit.lock"};

// A Mac on AC power at 64 %, charging allowed. No battery model, so nothing moves between
// runs and every report is the same.
const std::string mac_at_64 = "smc present\n"
                              "key CHTE 4 ui32 00000000\n"
                              "power ac\n"
                              "source InternalBattery-0 current=64 max=100\n"
                              "register ok\n";
const std::string status_at_64 = "battery=64\nac=1\nlimit=100\ninhibited=0\n";

// The same Mac with charging paused.
const std::string mac_at_64_paused = "smc present\n"
                                     "key CHTE 4 ui32 01000000\n"
                                     "power ac\n"
                                     "source InternalBattery-0 current=64 max=100\n"
                                     "register ok\n";

// Below every valid limit: the pass after a setlimit never switches, so it prints nothing.
const std::string mac_at_10 = "smc present\n"
                              "key CHTE 4 ui32 00000000\n"
                              "power ac\n"
                              "source InternalBattery-0 current=10 max=100\n"
                              "register ok\n";

// No AppleSMC at all: the daemon gives up at once.
const std::string mac_without_smc = "smc absent\n"
                                    "power ac\n"
                                    "source InternalBattery-0 current=64 max=100\n";

struct outcome {
	int code;
	std::string out;
	std::string err;
};

void expect_outcome(const support::run_result &got, const outcome &want)
{
	EXPECT_EQ(got.code, want.code);
	EXPECT_EQ(got.out, want.out);
	EXPECT_EQ(got.err, want.err);
}

bool running_as_root()
{
	return geteuid() == 0;
}

std::string tamso_dir(const std::string &root)
{
	return root + "/Library/Application Support/Tamso";
}

// A fresh root that the simulated Mac has seeded itself (machine file, Application
// Support, the recording pmset), then given `machine` and an empty trace.
std::string seeded_root(const std::string &machine)
{
	std::string root = support::make_root();
	support::run(root, {"status"}); // the first platform call seeds a new root
	support::write_file(root + "/machine", machine);
	support::remove_tree(root + "/history.csv");
	support::clear_trace(root);
	return root;
}

// Runs the program as an unprivileged user: `nobody` when the tests run as root (the root
// is handed over to that user first), else the calling user itself.
support::run_result run_unprivileged(const std::string &root, const std::vector<std::string> &args,
                                     support::run_options options = {})
{
	uid_t uid = support::unprivileged_uid();
	std::string program;
	if (uid != 0) {
		program = support::share_with(root, uid);
		options.program = program.c_str();
		options.uid = uid;
	}
	return support::run(root, args, options);
}

std::string describe(const std::vector<std::string> &args)
{
	std::string text = "tamso-helper";
	for (const std::string &arg : args)
		text += " \"" + arg + "\"";
	return text;
}

// One call of the dispatcher and what it must give as root and as another user.
struct step_row {
	std::vector<std::string> args;
	std::string machine;
	outcome as_root;
	outcome as_user;
};

const outcome refused_usage = {2, "", usage};
const outcome refused_root = {1, "", not_root};

// Each step of the dispatcher in order; the rows that reach step 5 tell root and other
// users apart.
const std::vector<step_row> dispatcher_steps = {
    // 1. No command word.
    {{}, mac_at_64, refused_usage, refused_usage},
    // 2. The status report.
    {{"status"}, mac_at_64, {0, status_at_64, ""}, {0, status_at_64, ""}},
    // 3. The key dump, only with exactly one four-byte key.
    {{"read", "CHTE"}, mac_at_64, {0, "CHTE: 00 00 00 00\n", ""}, {0, "CHTE: 00 00 00 00\n", ""}},
    {{"read", "ZZZZ"}, mac_at_64, {1, "ZZZZ: not found\n", ""}, {1, "ZZZZ: not found\n", ""}},
    {{"read", "CHT"}, mac_at_64, refused_usage, refused_root},
    {{"read", "CHTEX"}, mac_at_64, refused_usage, refused_root},
    {{"read"}, mac_at_64, refused_usage, refused_root},
    {{"read", "CHTE", "CHTE"}, mac_at_64, refused_usage, refused_root},
    // 4. The daemon, which needs no root rights.
    {{"daemon"}, mac_without_smc, {1, "", "cannot open AppleSMC\n"}, {1, "", "cannot open AppleSMC\n"}},
    // 5. and 8. Unknown words: the root check first, then usage.
    {{"Status"}, mac_at_64, refused_usage, refused_root},
    {{"statusx"}, mac_at_64, refused_usage, refused_root},
    {{"DAEMON"}, mac_at_64, refused_usage, refused_root},
    {{""}, mac_at_64, refused_usage, refused_root},
    {{"help", "setlimit", "80"}, mac_at_64, refused_usage, refused_root},
    // 6. powermode.
    {{"powermode", "1"}, mac_at_64, {0, "", ""}, refused_root},
    {{"powermode", "3"}, mac_at_64, refused_usage, refused_root},
    {{"powermode"}, mac_at_64, refused_usage, refused_root},
    {{"powermode", "1", "2"}, mac_at_64, refused_usage, refused_root},
    // 7. setlimit.
    {{"setlimit", "80"}, mac_at_64, {0, "", ""}, refused_root},
    {{"setlimit", "19"}, mac_at_64, refused_usage, refused_root},
    {{"setlimit", "abc"}, mac_at_64, refused_usage, refused_root},
    {{"setlimit"}, mac_at_64, refused_usage, refused_root},
    {{"setlimit", "80", "90"}, mac_at_64, refused_usage, refused_root},
};

bool is_refusal(const outcome &expected)
{
	return expected.err == usage || expected.err == not_root;
}

// A refused call changes nothing: no limit stored, pmset never started.
void expect_nothing_changed(const std::string &root)
{
	EXPECT_FALSE(support::exists(support::limit_path(root)));
	EXPECT_EQ(support::filter(support::trace_lines(root), {"pmset"}), std::vector<std::string>{});
}

} // namespace

TEST(Dispatcher, FollowsItsStepsInOrderAsRoot)
{
	if (!running_as_root())
		GTEST_SKIP() << "the tests do not run as root, so root's answers cannot be checked";
	for (const step_row &row : dispatcher_steps) {
		SCOPED_TRACE(describe(row.args));
		std::string root = seeded_root(row.machine);
		expect_outcome(support::run(root, row.args), row.as_root);
		if (is_refusal(row.as_root))
			expect_nothing_changed(root);
		support::remove_tree(root);
	}
}

TEST(Dispatcher, RefusesEveryOtherCallWithoutRoot)
{
	for (const step_row &row : dispatcher_steps) {
		SCOPED_TRACE(describe(row.args));
		std::string root = seeded_root(row.machine);
		expect_outcome(run_unprivileged(root, row.args), row.as_user);
		expect_nothing_changed(root);
		support::remove_tree(root);
	}
}

TEST(Dispatcher, IgnoresWordsAfterStatusAndDaemon)
{
	struct row {
		std::vector<std::string> plain;
		std::vector<std::string> extended;
		std::string machine;
		outcome expected;
	};
	const std::vector<row> rows = {
	    {{"status"}, {"status", "extra"}, mac_at_64, {0, status_at_64, ""}},
	    {{"status"}, {"status", "--help", "setlimit", "20"}, mac_at_64, {0, status_at_64, ""}},
	    {{"status"}, {"status", ""}, mac_without_smc, {0, "battery=64\nac=1\nlimit=100\ninhibited=-1\n", ""}},
	    {{"daemon"}, {"daemon", "now"}, mac_without_smc, {1, "", "cannot open AppleSMC\n"}},
	    {{"daemon"}, {"daemon", "setlimit", "80"}, mac_without_smc, {1, "", "cannot open AppleSMC\n"}},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(describe(r.extended));
		std::string root = seeded_root(r.machine);
		support::run_result plain = support::run(root, r.plain);
		support::run_result extended = support::run(root, r.extended);
		expect_outcome(plain, r.expected);
		expect_outcome(extended, r.expected);
		EXPECT_FALSE(support::exists(support::limit_path(root)));
		support::remove_tree(root);
	}
}

TEST(Dispatcher, NamesItselfTamsoHelperWhateverNameItWasStartedUnder)
{
	std::string root = seeded_root(mac_at_64);
	// bash's exec -a sets argument 0 to a name of our choosing.
	support::run_options options;
	options.program = "/bin/bash";
	support::run_result r = support::run(
	    root, {"-c", "exec -a /opt/bin/battery-tool \"$0\"", support::helper_path()}, options);
	expect_outcome(r, refused_usage);
	support::remove_tree(root);
}

TEST(Dispatcher, RefusesARealRootWhoseEffectiveUserIsAnother)
{
	if (!running_as_root())
		GTEST_SKIP() << "switching user ids needs root";
#ifdef __SANITIZE_ADDRESS__
	// With mixed user ids the sanitizer can neither read its options nor check leaks,
	// and its complaint would stand in the way of the bytes compared here.
	GTEST_SKIP() << "a sanitized program cannot run with mixed user ids";
#endif
	std::string root = seeded_root(mac_at_10);
	support::run_options options;
	options.program = "/usr/bin/setpriv";
	std::string euid = "--euid=" + std::to_string(support::unprivileged_uid());
	support::run_result r =
	    support::run(root, {euid, support::helper_path(), "setlimit", "80"}, options);
	expect_outcome(r, refused_root);
	EXPECT_FALSE(support::exists(support::limit_path(root)));
	support::remove_tree(root);
}

TEST(Dispatcher, AcceptsAnEffectiveRootWhoseRealUserIsAnother)
{
	if (!running_as_root())
		GTEST_SKIP() << "a set-user-id root program can only be made by root";
	std::string root = seeded_root(mac_at_10);
	struct statvfs fs;
	if (statvfs(root.c_str(), &fs) == 0 && (fs.f_flag & ST_NOSUID) != 0) {
		support::remove_tree(root);
		GTEST_SKIP() << "the temporary folder is mounted nosuid";
	}
	std::string program = root + "/.setuid-helper";
	std::filesystem::copy_file(support::helper_path(), program);
	chmod(program.c_str(), 04755);
	support::run_options options;
	options.program = program.c_str();
	options.uid = support::unprivileged_uid();
	support::run_result r = support::run(root, {"setlimit", "80"}, options);
	expect_outcome(r, {0, "", ""});
	EXPECT_EQ(support::read_file(support::limit_path(root)), "80\n");
	support::remove_tree(root);
}

namespace {

// A setlimit argument and the limit it stores, or 0 when it is refused with usage.
struct argument_row {
	std::vector<std::string> args; // the words after "setlimit"
	long stored;
};

const std::vector<argument_row> setlimit_arguments = {
    {{"80"}, 80},
    {{"20"}, 20},
    {{"100"}, 100},
    {{"19"}, 0},
    {{"101"}, 0},
    {{"0"}, 0},
    // Leading white space, one optional sign, leading zeros read as decimal.
    {{" 80"}, 80},
    {{"\t\n\v\f\r 80"}, 80},
    {{"+80"}, 80},
    {{" +080"}, 80},
    {{"080"}, 80},
    {{"0120"}, 0},   // 120, not the octal 80
    {{"0x50"}, 0},   // not hexadecimal
    {{"000000000000000000000000000080"}, 80},
    {{"-80"}, 0},
    {{"-0"}, 0},
    {{"+-80"}, 0},
    {{"++80"}, 0},
    {{"- 80"}, 0},
    {{"+ 80"}, 0},
    // Nothing at all after the digits.
    {{"80%"}, 0},
    {{"80 "}, 0},
    {{"80\t"}, 0},
    {{"80\n"}, 0},
    {{"8a0"}, 0},
    {{"80a"}, 0},
    {{"a80"}, 0},
    {{"80.0"}, 0},
    {{"8e1"}, 0},
    {{"80-"}, 0},
    // No number.
    {{""}, 0},
    {{" "}, 0},
    {{"+"}, 0},
    {{"-"}, 0},
    // Too large for a long, or wrapping round to 80 if cut to 32 or 64 bits.
    {{"99999999999999999999999"}, 0},
    {{"-99999999999999999999999"}, 0},
    {{"4294967376"}, 0},
    {{"18446744073709551696"}, 0},
    // Not exactly one argument.
    {{}, 0},
    {{"80", "90"}, 0},
    {{"80", ""}, 0},
};

std::vector<std::string> setlimit_call(const argument_row &row)
{
	std::vector<std::string> args = {"setlimit"};
	args.insert(args.end(), row.args.begin(), row.args.end());
	return args;
}

// A root with the limit 50 already stored.
std::string root_with_limit_50()
{
	std::string root = seeded_root(mac_at_10);
	std::filesystem::create_directories(tamso_dir(root));
	support::write_file(support::limit_path(root), "50\n");
	return root;
}

} // namespace

TEST(Setlimit, AcceptsOnlyADecimalLongIn20To100WithNothingAfterIt)
{
	if (!running_as_root())
		GTEST_SKIP() << "setlimit needs root";
	for (const argument_row &row : setlimit_arguments) {
		std::vector<std::string> args = setlimit_call(row);
		SCOPED_TRACE(describe(args));
		std::string root = root_with_limit_50();
		support::run_result r = support::run(root, args);
		if (row.stored != 0) {
			expect_outcome(r, {0, "", ""});
			EXPECT_EQ(support::read_file(support::limit_path(root)), std::to_string(row.stored) + "\n");
		} else {
			expect_outcome(r, refused_usage);
			EXPECT_EQ(support::read_file(support::limit_path(root)), "50\n");
		}
		EXPECT_EQ(support::dir_entries(tamso_dir(root)),
		          row.stored != 0 ? stored_entries : std::vector<std::string>{"limit"});
		support::remove_tree(root);
	}
}

TEST(Setlimit, RefusesEveryArgumentFromAnUnprivilegedUser)
{
	for (const argument_row &row : setlimit_arguments) {
		std::vector<std::string> args = setlimit_call(row);
		SCOPED_TRACE(describe(args));
		std::string root = root_with_limit_50();
		expect_outcome(run_unprivileged(root, args), refused_root);
		EXPECT_EQ(support::read_file(support::limit_path(root)), "50\n");
		EXPECT_EQ(support::trace_lines(root), std::vector<std::string>{});
		support::remove_tree(root);
	}
}

// A first store makes the folder 0755 and the file 0644 whatever the umask, so that every
// user's status shows the limit the daemon enforces; the lock stays root's alone.
TEST(Setlimit, StoresDigitsAndANewlineInFilesEveryoneCanReadWhateverTheUmask)
{
	if (!running_as_root())
		GTEST_SKIP() << "setlimit needs root";
	struct row {
		std::string value;
		mode_t mask;
		std::string bytes;
		mode_t dir_mode;
		mode_t file_mode;
	};
	const std::vector<row> rows = {
	    {"80", 022, "80\n", 0755, 0644},
	    {"20", 027, "20\n", 0755, 0644},
	    {"100", 077, "100\n", 0755, 0644},
	    {"+0055", 002, "55\n", 0755, 0644},
	    {"60", 0, "60\n", 0755, 0644},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.value);
		std::string root = seeded_root(mac_at_10);
		mode_t old_mask = umask(r.mask); // the program inherits it
		support::run_result result = support::run(root, {"setlimit", r.value});
		umask(old_mask);
		expect_outcome(result, {0, "", ""});
		EXPECT_EQ(support::read_file(support::limit_path(root)), r.bytes);
		struct stat dir, file;
		ASSERT_EQ(lstat(tamso_dir(root).c_str(), &dir), 0);
		ASSERT_EQ(lstat(support::limit_path(root).c_str(), &file), 0);
		EXPECT_TRUE(S_ISDIR(dir.st_mode));
		EXPECT_EQ(dir.st_mode & 07777, r.dir_mode);
		EXPECT_TRUE(S_ISREG(file.st_mode));
		EXPECT_EQ(file.st_mode & 07777, r.file_mode);
		// Only root may open the lock, whatever the umask lets others do with the limit.
		struct stat lock;
		ASSERT_EQ(lstat((tamso_dir(root) + "/limit.lock").c_str(), &lock), 0);
		EXPECT_TRUE(S_ISREG(lock.st_mode));
		EXPECT_EQ(lock.st_mode & 07777, 0600u);
		EXPECT_EQ(support::dir_entries(tamso_dir(root)), stored_entries);
		support::remove_tree(root);
	}
}

TEST(Setlimit, FailsWithoutARegulatorPassWhenTheLimitCannotBeStored)
{
	if (!running_as_root())
		GTEST_SKIP() << "setlimit needs root";
	struct row {
		const char *what;
		void (*plant)(const std::string &root);
		std::string error;
		void (*check)(const std::string &root);
	};
	const std::vector<row> rows = {
	    {"a plain file stands where the directory should be",
	     [](const std::string &root) { support::write_file(tamso_dir(root), "not a directory\n"); },
	     "Not a directory",
	     [](const std::string &root) {
		     EXPECT_EQ(support::read_file(tamso_dir(root)), "not a directory\n");
		     EXPECT_EQ(support::dir_entries(root + "/Library/Application Support"),
		               std::vector<std::string>{"Tamso"});
	     }},
	    {"a directory that is not empty stands at the limit path",
	     [](const std::string &root) {
		     std::filesystem::create_directories(support::limit_path(root));
		     support::write_file(support::limit_path(root) + "/kept", "kept\n");
	     },
	     "Is a directory",
	     [](const std::string &root) {
		     EXPECT_EQ(support::read_file(support::limit_path(root) + "/kept"), "kept\n");
		     EXPECT_EQ(support::dir_entries(tamso_dir(root)), stored_entries);
		     EXPECT_EQ(support::dir_entries(support::limit_path(root)),
		               std::vector<std::string>{"kept"});
	     }},
	    {"a symbolic link stands at the folder",
	     [](const std::string &root) {
		     std::filesystem::create_directories(root + "/elsewhere");
		     support::write_file(root + "/elsewhere/limit", "90\n");
		     symlink((root + "/elsewhere").c_str(), tamso_dir(root).c_str());
	     },
	     "Too many levels of symbolic links",
	     [](const std::string &root) {
		     EXPECT_TRUE(std::filesystem::is_symlink(tamso_dir(root)));
		     EXPECT_EQ(support::dir_entries(root + "/elsewhere"), std::vector<std::string>{"limit"});
		     EXPECT_EQ(support::read_file(root + "/elsewhere/limit"), "90\n");
	     }},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		// At 64 % a pass after storing 50 would pause charging.
		std::string root = seeded_root(mac_at_64);
		r.plant(root);
		expect_outcome(support::run(root, {"setlimit", "50"}), {1, "", limit_prefix + r.error + "\n"});
		std::vector<std::string> trace = support::trace_lines(root);
		EXPECT_EQ(support::filter(trace, {"write"}), std::vector<std::string>{});
		EXPECT_EQ(support::filter(trace, {"open"}), std::vector<std::string>{});
		r.check(root);
		support::remove_tree(root);
	}
}

TEST(Setlimit, FailsWithItsMessageWhenTheFileSizeLimitLeavesNoRoom)
{
	if (!running_as_root())
		GTEST_SKIP() << "setlimit needs root";
	std::string root = seeded_root(mac_at_10);
	ASSERT_EQ(support::run(root, {"setlimit", "60"}).code, 0);
	// With no room for a single byte, the store's first write fails (EFBIG, no SIGXFSZ):
	// it reports, removes its temporary file and keeps the old limit.
	support::run_options options;
	options.program = "/bin/sh";
	support::run_result refused = support::run(
	    root, {"-c", "ulimit -f 0; exec \"$0\" setlimit 80", support::helper_path()}, options);
	expect_outcome(refused, {1, "", limit_prefix + "File too large\n"});
	EXPECT_EQ(support::dir_entries(tamso_dir(root)), stored_entries);
	EXPECT_EQ(support::read_file(support::limit_path(root)), "60\n");

	expect_outcome(support::run(root, {"setlimit", "70"}), {0, "", ""});
	EXPECT_EQ(support::read_file(support::limit_path(root)), "70\n");
	support::remove_tree(root);
}

TEST(Setlimit, KeepsTheLimitReadableForUsersWhateverTheUmask)
{
	uid_t uid = support::unprivileged_uid();
	if (uid == 0)
		GTEST_SKIP() << "needs root, to store as root and read as another user";
	struct row {
		const char *what;
		std::vector<mode_t> masks; // root's umask at each store: 50, then 70
	};
	const std::vector<row> rows = {
	    // The first store makes the folder and the file under a umask that would keep
	    // them from every user.
	    {"first store under umask 077", {077}},
	    {"first store under umask 027", {027}},
	    // Root stores again with a umask that would make a new file private to root.
	    {"a store under umask 077 replaces one made under 022", {022, 077}},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		// The user's root and program; root's first run starts the model, rewriting the machine.
		std::string root = seeded_root(mac_at_10 + "battery charge=60 discharge=12 sleep=1\n");
		std::filesystem::remove(root + "/trace"); // made anew by root's first run
		std::string program = support::share_with(root, uid);
		mode_t old_mask = umask(022);
		for (size_t i = 0; i < r.masks.size(); i++) {
			umask(r.masks[i]);
			const char *value = i + 1 == r.masks.size() ? "70" : "50";
			expect_outcome(support::run(root, {"setlimit", value}), {0, "", ""});
		}
		umask(old_mask);
		struct stat st;
		ASSERT_EQ(lstat(support::limit_path(root).c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, 0644u);
		ASSERT_EQ(lstat(tamso_dir(root).c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, 0755u);
		// The simulated Mac's files stay the user's: the one it rewrote, the one it made.
		for (const char *own : {"/machine", "/trace"}) {
			ASSERT_EQ(lstat((root + own).c_str(), &st), 0);
			EXPECT_TRUE(st.st_uid == uid && (st.st_mode & 07777) == 0644) << own;
		}

		support::run_options options;
		options.program = program.c_str();
		options.uid = uid;
		expect_outcome(support::run(root, {"status"}, options),
		               {0, "battery=10\nac=1\nlimit=70\ninhibited=0\n", ""});
		support::remove_tree(root);
	}
}

// A folder that a store did not create keeps the mode its owner gave it.
TEST(Setlimit, LeavesTheModeOfAFolderThatWasThere)
{
	if (!running_as_root())
		GTEST_SKIP() << "setlimit needs root";
	for (mode_t mode : {0700u, 0750u, 0711u}) {
		SCOPED_TRACE(mode);
		std::string root = seeded_root(mac_at_10);
		ASSERT_EQ(mkdir(tamso_dir(root).c_str(), mode), 0);
		ASSERT_EQ(chmod(tamso_dir(root).c_str(), mode), 0);
		expect_outcome(support::run(root, {"setlimit", "60"}), {0, "", ""});
		struct stat st;
		ASSERT_EQ(lstat(tamso_dir(root).c_str(), &st), 0);
		EXPECT_EQ(st.st_mode & 07777, mode);
		EXPECT_EQ(support::read_file(support::limit_path(root)), "60\n");
		support::remove_tree(root);
	}
}

// A limit behind a symbolic link, at the file, at its folder or above, is no limit: status
// shows 100 and no pass pauses at 90 % for it, as no store could change it. The same
// limit in plain folders is read.
TEST(Status, ReadsNoLimitThroughASymbolicLink)
{
	const std::string mac_at_90 = "smc present\n"
	                              "key CHTE 4 ui32 00000000\n"
	                              "power ac\n"
	                              "source InternalBattery-0 current=90 max=100\n"
	                              "register ok\n";
	struct row {
		const char *what;
		void (*plant)(const std::string &root); // a limit of 20, one way or another
		const char *limit;
		bool paused;
	};
	const std::vector<row> rows = {
	    {"a plain folder",
	     [](const std::string &root) {
		     std::filesystem::create_directories(tamso_dir(root));
		     support::write_file(support::limit_path(root), "20\n");
	     },
	     "20", true},
	    {"a link at the folder",
	     [](const std::string &root) {
		     std::filesystem::create_directories(root + "/elsewhere");
		     support::write_file(root + "/elsewhere/limit", "20\n");
		     ASSERT_EQ(symlink((root + "/elsewhere").c_str(), tamso_dir(root).c_str()), 0);
	     },
	     "100", false},
	    {"a relative link at the folder",
	     [](const std::string &root) {
		     std::filesystem::create_directories(root + "/Library/Application Support/Other");
		     support::write_file(root + "/Library/Application Support/Other/limit", "20\n");
		     ASSERT_EQ(symlink("Other", tamso_dir(root).c_str()), 0);
	     },
	     "100", false},
	    {"a link at the file",
	     [](const std::string &root) {
		     std::filesystem::create_directories(tamso_dir(root));
		     support::write_file(tamso_dir(root) + "/twenty", "20\n");
		     ASSERT_EQ(symlink("twenty", support::limit_path(root).c_str()), 0);
	     },
	     "100", false},
	    {"a link above the folder",
	     [](const std::string &root) {
		     std::string support_dir = root + "/Library/Application Support";
		     std::filesystem::create_directories(root + "/moved/Tamso");
		     support::write_file(root + "/moved/Tamso/limit", "20\n");
		     support::remove_tree(support_dir);
		     ASSERT_EQ(symlink((root + "/moved").c_str(), support_dir.c_str()), 0);
	     },
	     "100", false},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		std::string root = seeded_root(mac_at_90 + "at 30 signal TERM\n");
		r.plant(root);
		expect_outcome(support::run(root, {"status"}),
		               {0, std::string("battery=90\nac=1\nlimit=") + r.limit + "\ninhibited=0\n", ""});
		support::run_result daemon = support::run(root, {"daemon"});
		EXPECT_EQ(daemon.code, 0);
		std::vector<std::string> writes = support::filter(support::trace_lines(root), {"write"});
		if (r.paused)
			EXPECT_EQ(writes, (std::vector<std::string>{"write CHTE ok 01000000",
			                                            "write CHTE ok 00000000"}));
		else
			EXPECT_EQ(writes, std::vector<std::string>{"write CHTE ok 00000000"})
			    << "only the stop's switch-on";
		support::remove_tree(root);
	}
}

TEST(Setlimit, RunsOneRegulatorPassAfterStoring)
{
	if (!running_as_root())
		GTEST_SKIP() << "setlimit needs root";
	struct row {
		std::string machine;
		std::string value;
		std::vector<std::string> writes;
		std::string log; // the message after the time stamp, "" for no line
	};
	const std::vector<row> rows = {
	    {mac_at_64, "50", {"write CHTE ok 01000000"}, "battery 64%, limit 50% -> charging paused"},
	    {mac_at_64, "64", {"write CHTE ok 01000000"}, "battery 64%, limit 64% -> charging paused"},
	    {mac_at_64, "80", {}, ""},
	    {mac_at_64_paused, "100", {"write CHTE ok 00000000"}, "battery 64%, limit 100% -> charging resumed"},
	    {mac_at_64_paused, "62", {}, ""}, // inside the band: stays paused
	};
	const std::regex stamp("^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} (.*)\n$");
	for (const row &r : rows) {
		SCOPED_TRACE("setlimit " + r.value + " on " + r.machine);
		std::string root = seeded_root(r.machine);
		support::run_result result = support::run(root, {"setlimit", r.value});
		EXPECT_EQ(result.code, 0);
		EXPECT_EQ(result.out, "");
		EXPECT_EQ(support::filter(support::trace_lines(root), {"write"}), r.writes);
		if (r.log.empty()) {
			EXPECT_EQ(result.err, "");
		} else {
			std::smatch match;
			ASSERT_TRUE(std::regex_match(result.err, match, stamp)) << result.err;
			EXPECT_EQ(match[1].str(), r.log);
		}
		support::remove_tree(root);
	}
}

TEST(Setlimit, SucceedsWhenTheRegulatorPassCannotReachTheSmc)
{
	if (!running_as_root())
		GTEST_SKIP() << "setlimit needs root";
	struct row {
		const char *what;
		std::string machine;
		std::string log; // the message after the time stamp, "" for no line
	};
	const std::string source = "power ac\nsource InternalBattery-0 current=64 max=100\n";
	const std::string no_ch0b = "cannot read the charging state (key CH0B): charging is not capped";
	const std::string no_smc = "cannot read the charging state (no AppleSMC): charging is not capped";
	const std::string no_chte = "cannot read the charging state (key CHTE): charging is not capped";
	const std::vector<row> rows = {
	    {"no AppleSMC", "smc absent\n" + source, no_smc},
	    {"AppleSMC refuses the connection", "smc refuse\nkey CHTE 4 ui32 00000000\n" + source, no_smc},
	    {"every SMC call fails", "smc present\nkey CHTE 4 ui32 00000000\nfail call\n" + source, no_ch0b},
	    {"keys without data",
	     "smc present\nkey CHTE 0 ui32 -\nkey CH0B 0 hex_ -\nkey CH0C 0 hex_ -\n" + source, no_chte},
	    {"neither CHTE nor CH0B", "smc present\nkey CH0C 1 ui8 00\n" + source, no_ch0b},
	    {"CHTE refuses reads", "smc present\nkey CHTE 4 ui32 00000000\ndeny CHTE read\n" + source,
	     no_chte},
	    {"the pause is written", "smc present\nkey CHTE 4 ui32 00000000\n" + source,
	     "battery 64%, limit 50% -> charging paused"},
	    {"the pause cannot be written",
	     "smc present\nkey CHTE 4 ui32 00000000\nfail CHTE write\n" + source,
	     "failed to set charging inhibit (pct 64, limit 50, want 1)"},
	};
	const std::regex stamp("^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} (.*)\n$");
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		std::string root = seeded_root(r.machine);
		support::run_result result = support::run(root, {"setlimit", "50"});
		EXPECT_EQ(result.code, 0);
		EXPECT_EQ(result.out, "");
		if (r.log.empty()) {
			EXPECT_EQ(result.err, "");
		} else {
			std::smatch match;
			ASSERT_TRUE(std::regex_match(result.err, match, stamp)) << result.err;
			EXPECT_EQ(match[1].str(), r.log);
		}
		EXPECT_EQ(support::read_file(support::limit_path(root)), "50\n");
		support::remove_tree(root);
	}
}

TEST(Setlimit, ReplacesASymbolicLinkAtTheLimitPathWithoutFollowingIt)
{
	if (!running_as_root())
		GTEST_SKIP() << "setlimit needs root";
	struct row {
		const char *what;
		void (*plant_target)(const std::string &target);
		void (*check_target)(const std::string &target);
	};
	const std::vector<row> rows = {
	    {"to a file",
	     [](const std::string &target) { support::write_file(target, "precious\n"); },
	     [](const std::string &target) {
		     EXPECT_EQ(support::read_file(target), "precious\n");
	     }},
	    {"to nothing",
	     [](const std::string &) {},
	     [](const std::string &target) { EXPECT_FALSE(support::exists(target)); }},
	    {"to a directory",
	     [](const std::string &target) { std::filesystem::create_directory(target); },
	     [](const std::string &target) {
		     EXPECT_TRUE(std::filesystem::is_directory(target));
		     EXPECT_EQ(support::dir_entries(target), std::vector<std::string>{});
	     }},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		std::string root = seeded_root(mac_at_10);
		std::filesystem::create_directories(tamso_dir(root));
		std::filesystem::create_directories(root + "/elsewhere");
		std::string target = root + "/elsewhere/target";
		r.plant_target(target);
		ASSERT_EQ(symlink(target.c_str(), support::limit_path(root).c_str()), 0);

		expect_outcome(support::run(root, {"setlimit", "80"}), {0, "", ""});

		struct stat st;
		ASSERT_EQ(lstat(support::limit_path(root).c_str(), &st), 0);
		EXPECT_TRUE(S_ISREG(st.st_mode));
		EXPECT_EQ(support::read_file(support::limit_path(root)), "80\n");
		r.check_target(target);
		EXPECT_EQ(support::dir_entries(tamso_dir(root)), stored_entries);
		support::remove_tree(root);
	}
}

TEST(Powermode, HandsTheModeToPmset)
{
	if (!running_as_root())
		GTEST_SKIP() << "powermode needs root";
	for (const char *mode : {"0", "1", "2"}) {
		SCOPED_TRACE(mode);
		std::string root = seeded_root(mac_at_64);
		expect_outcome(support::run(root, {"powermode", mode}), {0, "", ""});
		EXPECT_EQ(support::trace_lines(root),
		          std::vector<std::string>{std::string("pmset -a powermode ") + mode});
		support::remove_tree(root);
	}
}

TEST(Powermode, BecomesPmsetWithItsArgumentsEnvironmentAndExitStatus)
{
	if (!running_as_root())
		GTEST_SKIP() << "powermode needs root";
	std::string root = seeded_root(mac_at_64);
	// A pmset that shows each argument it got, one variable of its environment, and
	// ends with a status of its own: the program's exit status must be pmset's.
	std::string pmset = root + "/usr/bin/pmset";
	support::write_file(pmset, "#!/bin/sh\n"
	                           "printf '[%s]' \"$@\"\n"
	                           "printf ' %s\\n' \"$TAMSO_PROBE\"\n"
	                           "echo from-pmset >&2\n"
	                           "exit 7\n");
	chmod(pmset.c_str(), 0755);
	support::run_options options;
	options.env = {"TAMSO_PROBE=passed through"};
	expect_outcome(support::run(root, {"powermode", "2"}, options),
	               {7, "[-a][powermode][2] passed through\n", "from-pmset\n"});
	support::remove_tree(root);
}

TEST(Powermode, RefusesEveryArgumentButOneCharacterZeroToTwoAsRoot)
{
	if (!running_as_root())
		GTEST_SKIP() << "powermode needs root";
	for (const char *mode : {"3", "01", "", "-1", "a", " 1", "1 ", "10", "/", "\n"}) {
		SCOPED_TRACE(std::string("\"") + mode + "\"");
		std::string root = seeded_root(mac_at_64);
		expect_outcome(support::run(root, {"powermode", mode}), refused_usage);
		EXPECT_EQ(support::trace_lines(root), std::vector<std::string>{});
		support::remove_tree(root);
	}
}

TEST(Powermode, ReportsAPmsetThatCannotBeStarted)
{
	if (!running_as_root())
		GTEST_SKIP() << "powermode needs root";
	struct row {
		const char *what;
		void (*break_pmset)(const std::string &pmset);
		std::string err;
	};
	const std::vector<row> rows = {
	    {"missing", [](const std::string &pmset) { unlink(pmset.c_str()); },
	     "pmset: No such file or directory\n"},
	    {"not executable", [](const std::string &pmset) { chmod(pmset.c_str(), 0644); },
	     "pmset: Permission denied\n"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		std::string root = seeded_root(mac_at_64);
		r.break_pmset(root + "/usr/bin/pmset");
		expect_outcome(support::run(root, {"powermode", "1"}), {1, "", r.err});
		EXPECT_EQ(support::trace_lines(root), std::vector<std::string>{});
		support::remove_tree(root);
	}
}
