// The charge limit store, in process: what read_limit makes of the file's bytes, how
// write_limit fails without harm, and that readers never catch the file half replaced.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iostream>
#include <future>
#include <grp.h>
#include <optional>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "power/limit.h"
#include "support.h"

namespace {

std::string tamso_dir(const std::string &root)
{
	return root + "/Library/Application Support/Tamso";
}

// A fresh root that this process's simulated Mac has taken as its own. The simulated Mac
// settles on its root at the first platform call, which seeds a root without a machine
// file; a machine file in the fresh root proves that the call landed there.
std::string fresh_root()
{
	std::string root = support::make_root();
	(void)read_limit();
	EXPECT_TRUE(support::exists(root + "/machine"))
	    << "the simulated Mac had settled on another root; run each test in its own process";
	return root;
}

// What `body` writes to standard error. Through a pipe rather than a capture file, which
// would itself be subject to a file size limit that a test sets.
std::string stderr_of(const std::function<void()> &body)
{
	fflush(stderr);
	int fds[2];
	if (pipe(fds) == -1)
		abort();
	int saved = dup(2);
	dup2(fds[1], 2);
	close(fds[1]);
	body();
	fflush(stderr);
	dup2(saved, 2);
	close(saved);
	std::string text;
	char buffer[512];
	ssize_t n;
	while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
		text.append(buffer, static_cast<size_t>(n));
	close(fds[0]);
	return text;
}

const std::string limit_prefix = "/Library/Application Support/Tamso/limit: ";

// A Mac on which the pass after a store reads the state and has nothing to switch or say:
// the battery is below every limit.
const std::string quiet_mac = "smc present\nkey CHTE 4 ui32 00000000\npower ac\n"
                              "source InternalBattery-0 current=10 max=100\n";

// What the folder holds after a store: the limit and the lock that serialises stores.
const std::vector<std::string> stored_entries = {"limit", "limit.lock"};

// Replaces the lock file with what `plant` makes at its path (0 on success).
void plant_at_lock(const std::string &root, const std::function<int(const std::string &)> &plant)
{
	std::string lock = tamso_dir(root) + "/limit.lock";
	unlink(lock.c_str());
	EXPECT_EQ(plant(lock), 0) << lock;
}

} // namespace

TEST(LimitFile, ReadsTheLeadingNumberAndTakes100ForAnythingElse)
{
	struct row {
		std::optional<std::string> content; // none: no file at all
		int expected;
	};
	const std::vector<row> rows = {
	    {std::nullopt, 100},
	    {"85", 85},
	    {"85\n", 85},
	    {"85 text", 85},
	    {"85text\nmore lines\n", 85},
	    {"20.9", 20},
	    {"  \n\t85", 85},
	    {"\v\f\r\n 85\n", 85},
	    {"\n\n\n99\n", 99},
	    {"+85", 85},
	    {"050", 50}, // decimal, not the octal 40
	    {"0000000000000000080", 80},
	    {std::string(300, '0') + "80", 80},
	    // Out of range.
	    {"19", 100},
	    {"101", 100},
	    {"-5", 100},
	    {"-20", 100},
	    {"-0", 100},
	    {"0", 100},
	    {"20", 20},
	    {"100", 100},
	    // No number at the start.
	    {"limit=80", 100},
	    {"", 100},
	    {"   \n\t \n", 100},
	    {"+", 100},
	    {"-\n", 100},
	    {"+ 85", 100},
	    {"++85", 100},
	    {"x85", 100},
	    {std::string("\0" "85", 3), 100},
	    {"0x50", 100},
	    {"8 5", 100},
	    // Beyond the int range: 100, never a value wrapped into 20..100.
	    {"2147483647", 100},
	    {"2147483648", 100},
	    {"-2147483648", 100},
	    {"-2147483649", 100},
	    {"4294967376", 100},           // 2^32 + 80
	    {"18446744073709551696", 100}, // 2^64 + 80
	    {"99999999999999999999", 100},
	    {std::string(5000, '9'), 100},
	    // Long files: the number may lie past the first read or straddle two.
	    {std::string(255, ' ') + "85", 85},
	    {std::string(4090, ' ') + "0000000085", 85}, // the number straddles a read
	    {std::string(5000, '\n') + "42\n", 42},
	    {"85" + std::string(100000, 'x'), 85},
	};
	std::string root = fresh_root();
	std::filesystem::create_directories(tamso_dir(root));
	std::string path = support::limit_path(root);
	for (const row &r : rows) {
		std::string shown = r.content ? "\"" + r.content->substr(0, 40) + "\"" : "no file";
		SCOPED_TRACE(shown + " (" + std::to_string(r.content ? r.content->size() : 0) + " bytes)");
		unlink(path.c_str());
		if (r.content)
			support::write_file(path, *r.content);
		EXPECT_EQ(read_limit(), r.expected);
		if (r.content) {
			EXPECT_EQ(limit_from_text(r.content->data(), r.content->size()), r.expected);
		}
	}
	support::remove_tree(root);
}

TEST(LimitFile, ReadsOnlyTheGivenBytesOfAText)
{
	struct row {
		std::string text;
		size_t size;
		int expected;
	};
	const std::vector<row> rows = {
	    {"8500", 2, 85},
	    {"8500", 3, 100}, // 850
	    {"85", 0, 100},
	    {"  85", 3, 100}, // "  8"
	    {"+85", 1, 100},
	    {"100", 3, 100},
	    {"1000", 3, 100},
	    {"2147483648", 2, 21},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.text + " / " + std::to_string(r.size));
		EXPECT_EQ(limit_from_text(r.text.data(), r.size), r.expected);
	}
}

TEST(LimitFile, ReadsAnythingButARegularFileAs100WithoutBlocking)
{
	struct row {
		const char *what;
		int (*plant)(const std::string &path); // a descriptor to close afterwards, or -1
	};
	const std::vector<row> rows = {
	    {"a FIFO without a writer",
	     [](const std::string &path) {
		     EXPECT_EQ(mkfifo(path.c_str(), 0644), 0);
		     return -1;
	     }},
	    {"a FIFO holding a number, its writer still there",
	     [](const std::string &path) {
		     EXPECT_EQ(mkfifo(path.c_str(), 0644), 0);
		     int fd = open(path.c_str(), O_RDWR | O_NONBLOCK);
		     EXPECT_EQ(write(fd, "50\n", 3), 3);
		     return fd;
	     }},
	    {"a directory",
	     [](const std::string &path) {
		     std::filesystem::create_directory(path);
		     return -1;
	     }},
	    {"a directory holding a limit",
	     [](const std::string &path) {
		     std::filesystem::create_directory(path);
		     support::write_file(path + "/limit", "50\n");
		     return -1;
	     }},
	    {"a dangling symbolic link",
	     [](const std::string &path) {
		     EXPECT_EQ(symlink((path + ".gone").c_str(), path.c_str()), 0);
		     return -1;
	     }},
	    {"a symbolic link to a file holding a limit",
	     [](const std::string &path) {
		     support::write_file(path + ".target", "50\n");
		     EXPECT_EQ(symlink((path + ".target").c_str(), path.c_str()), 0);
		     return -1;
	     }},
	};
	std::string root = fresh_root();
	std::filesystem::create_directories(tamso_dir(root));
	std::string path = support::limit_path(root);
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		support::remove_tree(path);
		int held = r.plant(path);
		std::future<int> reading = std::async(std::launch::async, [] { return read_limit(); });
		if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
			// Release a reader stuck on the FIFO before failing.
			int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
			if (fd != -1)
				close(fd);
			ADD_FAILURE() << "read_limit blocked";
		}
		EXPECT_EQ(reading.get(), 100);
		if (held != -1)
			close(held);
	}
	support::remove_tree(root);
}

TEST(LimitFile, NeverWritesThroughALinkPlantedAtTheTemporaryName)
{
	// The temporary file's name is fixed, so whoever can write into the folder can plant
	// something there before a root process stores a limit.
	struct row {
		const char *what;
		void (*plant)(const std::string &temporary, const std::string &target);
		std::optional<std::string> target_after; // none: the target must not exist
	};
	const std::vector<row> rows = {
	    {"a link to a file",
	     [](const std::string &temporary, const std::string &target) {
		     support::write_file(target, "precious\n");
		     EXPECT_EQ(symlink(target.c_str(), temporary.c_str()), 0);
	     },
	     "precious\n"},
	    {"a link to nothing",
	     [](const std::string &temporary, const std::string &target) {
		     EXPECT_EQ(symlink(target.c_str(), temporary.c_str()), 0);
	     },
	     std::nullopt},
	};
	std::string root = fresh_root();
	std::string target = root + "/target";
	for (const char *name : {"limit.tmp", "limit.4242.tmp"}) {
		for (const row &r : rows) {
			SCOPED_TRACE(std::string(r.what) + " named " + name);
			support::remove_tree(tamso_dir(root));
			support::remove_tree(target);
			std::filesystem::create_directories(tamso_dir(root));
			r.plant(tamso_dir(root) + "/" + name, target);
			std::string err = stderr_of([] { EXPECT_EQ(write_limit(70), 0); });
			EXPECT_EQ(err, "");
			struct stat st;
			ASSERT_EQ(lstat(support::limit_path(root).c_str(), &st), 0);
			EXPECT_TRUE(S_ISREG(st.st_mode));
			EXPECT_EQ(support::read_file(support::limit_path(root)), "70\n");
			if (r.target_after) {
				EXPECT_EQ(support::read_file(target), *r.target_after);
			} else {
				EXPECT_FALSE(support::exists(target));
			}
			EXPECT_EQ(support::dir_entries(tamso_dir(root)), stored_entries);
		}
	}
	support::remove_tree(root);
}

TEST(LimitFile, RemovesTheTemporaryFilesOfStoresThatDied)
{
	// What a store killed before its rename leaves behind: this version's temporary, or
	// the pid-named ones of earlier versions. Everything else in the folder stays.
	std::string root = fresh_root();
	std::string dir = tamso_dir(root);
	std::filesystem::create_directories(dir);
	support::write_file(dir + "/limit", "60\n");
	support::write_file(dir + "/limit.tmp", "4");
	support::write_file(dir + "/limit.31337.tmp", "");
	support::write_file(dir + "/limit.1.tmp", "90\n");
	std::filesystem::create_directories(dir + "/limit.7.tmp"); // not a file: left alone
	for (const char *kept : {"limit.tmpx", "limits.tmp", "limit.tmp.old", "notes"})
		support::write_file(dir + "/" + kept, "kept\n");

	std::string err = stderr_of([] { EXPECT_EQ(write_limit(70), 0); });
	EXPECT_EQ(err, "");
	EXPECT_EQ(support::read_file(dir + "/limit"), "70\n");
	EXPECT_EQ(support::dir_entries(dir),
	          (std::vector<std::string>{"limit", "limit.7.tmp", "limit.lock", "limit.tmp.old",
	                                    "limit.tmpx", "limits.tmp", "notes"}));
	support::remove_tree(root);
}

// The store refuses a symbolic link at the folder, so a limit behind one could never be
// changed: readers take 100 for a link anywhere on the path, as for a file they cannot
// read. The same file in plain folders reads.
TEST(LimitFile, ReadsNoLimitThroughASymbolicLinkOnItsPath)
{
	struct row {
		const char *what;
		void (*plant)(const std::string &root); // a file holding 50, one way or another
		int limit;
	};
	const std::vector<row> rows = {
	    {"plain folders",
	     [](const std::string &root) {
		     std::filesystem::create_directories(tamso_dir(root));
		     support::write_file(support::limit_path(root), "50\n");
	     },
	     50},
	    {"a link at the folder",
	     [](const std::string &root) {
		     std::filesystem::create_directories(root + "/elsewhere");
		     support::write_file(root + "/elsewhere/limit", "50\n");
		     EXPECT_EQ(symlink((root + "/elsewhere").c_str(), tamso_dir(root).c_str()), 0);
	     },
	     100},
	    {"a link at the folder above",
	     [](const std::string &root) {
		     std::string above = root + "/Library/Application Support";
		     std::filesystem::create_directories(root + "/moved/Tamso");
		     support::write_file(root + "/moved/Tamso/limit", "50\n");
		     support::remove_tree(above);
		     EXPECT_EQ(symlink((root + "/moved").c_str(), above.c_str()), 0);
	     },
	     100},
	};
	std::string root = fresh_root();
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		support::remove_tree(root + "/Library");
		support::remove_tree(root + "/elsewhere");
		support::remove_tree(root + "/moved");
		std::filesystem::create_directories(root + "/Library/Application Support");
		r.plant(root);
		EXPECT_EQ(read_limit(), r.limit);
	}
	support::remove_tree(root);
}

TEST(LimitFile, KeepsTheModeAndOwnerOfTheFileItReplaces)
{
	struct row {
		const char *what;
		mode_t mask;                 // the umask of the store
		std::optional<mode_t> old;   // the old file's mode; none: no old file
		uid_t old_owner;             // chown'ed to this owner and group when nonzero
		mode_t mode;                 // the new file's mode
		bool needs_root;
	};
	const std::vector<row> rows = {
	    {"first store under umask 022", 022, std::nullopt, 0, 0644, false},
	    {"first store under umask 077", 077, std::nullopt, 0, 0644, false},
	    {"first store under umask 000", 000, std::nullopt, 0, 0644, false},
	    {"a 0644 file under umask 077", 077, 0644, 0, 0644, false},
	    {"a 0600 file under umask 022", 022, 0600, 0, 0600, false},
	    {"a 0444 file under umask 002", 002, 0444, 0, 0444, false},
	    {"a 0640 file of another owner and group", 077, 0640, 4321, 0640, true},
	    {"a 0604 file of another owner and group", 022, 0604, 4321, 0604, true},
	};
	std::string root = fresh_root();
	std::string path = support::limit_path(root);
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		if (r.needs_root && geteuid() != 0) {
			std::cout << "skipped without root: " << r.what << "\n";
			continue;
		}
		support::remove_tree(tamso_dir(root));
		std::filesystem::create_directories(tamso_dir(root));
		if (r.old) {
			support::write_file(path, "50\n");
			ASSERT_EQ(chmod(path.c_str(), *r.old), 0);
			if (r.old_owner != 0) {
				ASSERT_EQ(chown(path.c_str(), r.old_owner, r.old_owner), 0);
			}
		}
		mode_t saved_mask = umask(r.mask);
		std::string err = stderr_of([] { EXPECT_EQ(write_limit(70), 0); });
		umask(saved_mask);
		EXPECT_EQ(err, "");
		EXPECT_EQ(support::read_file(path), "70\n");
		struct stat st;
		ASSERT_EQ(lstat(path.c_str(), &st), 0);
		EXPECT_TRUE(S_ISREG(st.st_mode));
		EXPECT_EQ(st.st_mode & 07777, r.mode);
		uid_t owner = r.old_owner != 0 ? r.old_owner : geteuid();
		gid_t group = r.old_owner != 0 ? r.old_owner : getegid();
		EXPECT_EQ(st.st_uid, owner);
		EXPECT_EQ(st.st_gid, group);
	}
	support::remove_tree(root);
}

TEST(LimitFile, GivesALinkAtTheLimitPathAFreshModeNotItsTargets)
{
	std::string root = fresh_root();
	std::filesystem::create_directories(tamso_dir(root));
	std::string target = root + "/target";
	support::write_file(target, "precious\n");
	ASSERT_EQ(chmod(target.c_str(), 0600), 0);
	ASSERT_EQ(symlink(target.c_str(), support::limit_path(root).c_str()), 0);
	mode_t saved_mask = umask(022);
	EXPECT_EQ(write_limit(70), 0);
	umask(saved_mask);
	struct stat st;
	ASSERT_EQ(lstat(support::limit_path(root).c_str(), &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_mode & 07777, 0644u);
	ASSERT_EQ(stat(target.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	EXPECT_EQ(support::read_file(target), "precious\n");
	support::remove_tree(root);
}

TEST(LimitFile, StoresEveryValidLimitSoThatItReadsBack)
{
	std::string root = fresh_root();
	for (long value = limit_min; value <= limit_max; value++) {
		SCOPED_TRACE(value);
		std::string err = stderr_of([&] { EXPECT_EQ(write_limit(value), 0); });
		EXPECT_EQ(err, "");
		EXPECT_EQ(support::read_file(support::limit_path(root)), std::to_string(value) + "\n");
		EXPECT_EQ(read_limit(), value);
		EXPECT_EQ(support::dir_entries(tamso_dir(root)), stored_entries);
	}
	support::remove_tree(root);
}

TEST(LimitFile, AFailedWriteReportsItselfAndKeepsWhatWasThere)
{
	struct row {
		const char *what;
		std::function<void(const std::string &root)> plant; // also arranges the fault
		std::function<void()> undo;                         // lifts the fault
		std::string error;
		std::function<void(const std::string &root)> check; // the old content is intact
	};
	struct rlimit old_fsize;
	ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_fsize), 0);
	const std::vector<row> rows = {
	    {"the write fails (file size limit 0)",
	     [&](const std::string &) {
		     ASSERT_EQ(write_limit(60), 0);
		     struct rlimit none = old_fsize;
		     none.rlim_cur = 0;
		     signal(SIGXFSZ, SIG_IGN); // the write then fails with EFBIG instead of killing us
		     ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
	     },
	     [&] {
		     setrlimit(RLIMIT_FSIZE, &old_fsize);
		     signal(SIGXFSZ, SIG_DFL);
	     },
	     "File too large",
	     [](const std::string &root) {
		     EXPECT_EQ(support::read_file(support::limit_path(root)), "60\n");
		     EXPECT_EQ(read_limit(), 60);
		     EXPECT_EQ(support::dir_entries(tamso_dir(root)), stored_entries);
	     }},
	    {"the rename fails (a directory that is not empty stands at the limit path)",
	     [](const std::string &root) {
		     std::filesystem::create_directories(support::limit_path(root));
		     support::write_file(support::limit_path(root) + "/kept", "kept\n");
	     },
	     [] {}, "Is a directory",
	     [](const std::string &root) {
		     EXPECT_EQ(support::read_file(support::limit_path(root) + "/kept"), "kept\n");
		     EXPECT_EQ(support::dir_entries(tamso_dir(root)), stored_entries);
		     EXPECT_EQ(support::dir_entries(support::limit_path(root)),
		               std::vector<std::string>{"kept"});
	     }},
	    {"the open fails (a plain file stands where the directory should be)",
	     [](const std::string &root) { support::write_file(tamso_dir(root), "not a directory\n"); },
	     [] {}, "Not a directory",
	     [](const std::string &root) {
		     EXPECT_EQ(support::read_file(tamso_dir(root)), "not a directory\n");
		     EXPECT_EQ(support::dir_entries(root + "/Library/Application Support"),
		               std::vector<std::string>{"Tamso"});
	     }},
	    {"a FIFO stands where the folder should be",
	     [](const std::string &root) { ASSERT_EQ(mkfifo(tamso_dir(root).c_str(), 0644), 0); },
	     [] {}, "Not a directory",
	     [](const std::string &root) {
		     struct stat st;
		     ASSERT_EQ(lstat(tamso_dir(root).c_str(), &st), 0);
		     EXPECT_TRUE(S_ISFIFO(st.st_mode));
	     }},
	    {"a symbolic link to a file stands at the lock",
	     [](const std::string &root) {
		     ASSERT_EQ(write_limit(60), 0);
		     support::write_file(root + "/target", "precious\n");
		     ASSERT_EQ(chmod((root + "/target").c_str(), 0644), 0);
		     plant_at_lock(root, [&](const std::string &lock) {
			     return symlink((root + "/target").c_str(), lock.c_str());
		     });
	     },
	     [] {}, "Too many levels of symbolic links",
	     [](const std::string &root) {
		     EXPECT_EQ(support::read_file(support::limit_path(root)), "60\n");
		     EXPECT_TRUE(std::filesystem::is_symlink(tamso_dir(root) + "/limit.lock"));
		     EXPECT_EQ(support::read_file(root + "/target"), "precious\n");
		     struct stat st;
		     ASSERT_EQ(stat((root + "/target").c_str(), &st), 0);
		     EXPECT_EQ(st.st_mode & 07777, 0644u);
		     EXPECT_EQ(support::dir_entries(tamso_dir(root)), stored_entries);
	     }},
	    {"a symbolic link to nothing stands at the lock",
	     [](const std::string &root) {
		     ASSERT_EQ(write_limit(60), 0);
		     plant_at_lock(root, [&](const std::string &lock) {
			     return symlink((root + "/nowhere").c_str(), lock.c_str());
		     });
	     },
	     [] {}, "Too many levels of symbolic links",
	     [](const std::string &root) {
		     EXPECT_EQ(support::read_file(support::limit_path(root)), "60\n");
		     EXPECT_FALSE(support::exists(root + "/nowhere"));
		     EXPECT_EQ(support::dir_entries(tamso_dir(root)), stored_entries);
	     }},
	    {"a FIFO stands at the lock",
	     [](const std::string &root) {
		     ASSERT_EQ(write_limit(60), 0);
		     plant_at_lock(root, [](const std::string &lock) { return mkfifo(lock.c_str(), 0600); });
	     },
	     [] {}, "Invalid argument",
	     [](const std::string &root) {
		     EXPECT_EQ(support::read_file(support::limit_path(root)), "60\n");
		     struct stat st;
		     ASSERT_EQ(lstat((tamso_dir(root) + "/limit.lock").c_str(), &st), 0);
		     EXPECT_TRUE(S_ISFIFO(st.st_mode));
	     }},
	    {"a directory stands at the lock",
	     [](const std::string &root) {
		     ASSERT_EQ(write_limit(60), 0);
		     plant_at_lock(root, [](const std::string &lock) { return mkdir(lock.c_str(), 0700); });
	     },
	     [] {}, "Is a directory",
	     [](const std::string &root) {
		     EXPECT_EQ(support::read_file(support::limit_path(root)), "60\n");
		     EXPECT_TRUE(std::filesystem::is_directory(tamso_dir(root) + "/limit.lock"));
	     }},
	    {"the folder is a symbolic link to another folder",
	     [](const std::string &root) {
		     std::filesystem::create_directories(root + "/elsewhere");
		     support::write_file(root + "/elsewhere/limit", "60\n");
		     ASSERT_EQ(symlink((root + "/elsewhere").c_str(), tamso_dir(root).c_str()), 0);
	     },
	     [] {}, "Too many levels of symbolic links",
	     [](const std::string &root) {
		     EXPECT_TRUE(std::filesystem::is_symlink(tamso_dir(root)));
		     EXPECT_EQ(support::dir_entries(root + "/elsewhere"), std::vector<std::string>{"limit"});
		     EXPECT_EQ(support::read_file(root + "/elsewhere/limit"), "60\n");
	     }},
	    {"the folder is a symbolic link to nothing",
	     [](const std::string &root) {
		     ASSERT_EQ(symlink((root + "/nowhere").c_str(), tamso_dir(root).c_str()), 0);
	     },
	     [] {}, "Too many levels of symbolic links",
	     [](const std::string &root) {
		     EXPECT_TRUE(std::filesystem::is_symlink(tamso_dir(root)));
		     EXPECT_FALSE(support::exists(root + "/nowhere"));
	     }},
	    // Nothing is made where a link above the folder points, not even the folder.
	    {"the folder above is a symbolic link",
	     [](const std::string &root) {
		     std::string above = root + "/Library/Application Support";
		     ASSERT_EQ(rename(above.c_str(), (root + "/moved").c_str()), 0);
		     ASSERT_EQ(symlink((root + "/moved").c_str(), above.c_str()), 0);
	     },
	     [] {}, "Too many levels of symbolic links",
	     [](const std::string &root) {
		     std::string above = root + "/Library/Application Support";
		     EXPECT_EQ(support::dir_entries(root + "/moved"), std::vector<std::string>{});
		     ASSERT_EQ(unlink(above.c_str()), 0);
		     ASSERT_EQ(rename((root + "/moved").c_str(), above.c_str()), 0);
	     }},
	};
	std::string root = fresh_root();
	for (const row &r : rows) {
		SCOPED_TRACE(r.what);
		support::remove_tree(tamso_dir(root));
		r.plant(root);
		int result = 0;
		std::string err = stderr_of([&] { result = write_limit(80); });
		r.undo();
		EXPECT_EQ(result, -1);
		EXPECT_EQ(err, limit_prefix + r.error + "\n");
		r.check(root);
	}
	support::remove_tree(root);
}

TEST(LimitFile, ReadersSeeTheOldLimitOrTheNewOneWhileSetlimitRewritesIt)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "setlimit needs root";
	std::string root = fresh_root();
	// Without an SMC each setlimit is over soon after the store.
	support::write_file(root + "/machine",
	                    quiet_mac);
	ASSERT_EQ(support::run(root, {"setlimit", "30"}).code, 0);
	std::string path = support::limit_path(root);

	std::atomic<bool> stop = false;
	long reads = 0;
	std::vector<int> odd_limits;
	std::vector<std::string> odd_contents;
	std::thread reader([&] {
		while (!stop) {
			int limit = read_limit();
			if (limit != 30 && limit != 90 && odd_limits.size() < 10)
				odd_limits.push_back(limit);
			std::string content = support::read_file(path);
			if (content != "30\n" && content != "90\n" && odd_contents.size() < 10)
				odd_contents.push_back(content);
			reads++;
		}
	});
#ifdef __SANITIZE_ADDRESS__
	const int runs = 50; // each start of an instrumented program takes a good part of a second
#else
	const int runs = 200;
#endif
	int failed_runs = 0;
	for (int i = 0; i < runs; i++)
		if (support::run(root, {"setlimit", i % 2 == 0 ? "90" : "30"}).code != 0)
			failed_runs++;
	stop = true;
	reader.join();

	EXPECT_EQ(failed_runs, 0);
	EXPECT_EQ(odd_limits, std::vector<int>{});
	EXPECT_EQ(odd_contents, std::vector<std::string>{});
	// The reader must really have run alongside the writers.
	EXPECT_GT(reads, runs);
	EXPECT_EQ(support::read_file(path), "30\n");
	EXPECT_EQ(support::dir_entries(tamso_dir(root)), stored_entries);
	support::remove_tree(root);
}

TEST(LimitFile, ConcurrentStoresNeitherFailNorMixTheirFiles)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "setlimit needs root";
	std::string root = fresh_root();
	support::write_file(root + "/machine",
	                    quiet_mac);
	ASSERT_EQ(support::run(root, {"setlimit", "100"}).code, 0);
	std::string path = support::limit_path(root);
	// Each writer stores its own limit, 20, 30, ... 90, over and over.
	const int writers = 8;
#ifdef __SANITIZE_ADDRESS__
	const int stores = 8;
#else
	const int stores = 40;
#endif
	auto stored = [](const std::string &content) {
		for (int value = 20; value <= 100; value += 10)
			if (content == std::to_string(value) + "\n")
				return true;
		return false;
	};
	std::atomic<bool> stop = false;
	std::vector<std::string> odd_contents;
	std::thread reader([&] {
		while (!stop) {
			std::string content = support::read_file(path);
			if (!stored(content) && odd_contents.size() < 10)
				odd_contents.push_back(content);
		}
	});
	std::vector<std::vector<std::string>> failures(writers);
	std::vector<std::thread> threads;
	for (int w = 0; w < writers; w++)
		threads.emplace_back([&, w] {
			std::string value = std::to_string(20 + 10 * w);
			for (int i = 0; i < stores; i++) {
				support::run_result r = support::run(root, {"setlimit", value});
				if ((r.code != 0 || r.err != "") && failures[w].size() < 5)
					failures[w].push_back(std::to_string(r.code) + " " + r.err);
			}
		});
	for (std::thread &t : threads)
		t.join();
	stop = true;
	reader.join();

	for (int w = 0; w < writers; w++)
		EXPECT_EQ(failures[w], std::vector<std::string>{}) << "writer of " << 20 + 10 * w;
	EXPECT_EQ(odd_contents, std::vector<std::string>{});
	EXPECT_TRUE(stored(support::read_file(path))) << support::read_file(path);
	EXPECT_EQ(support::dir_entries(tamso_dir(root)), stored_entries);
	support::remove_tree(root);
}

TEST(LimitFile, AnUnprivilegedUserCannotHoldOffAStore)
{
	uid_t uid = support::unprivileged_uid();
	if (uid == 0)
		GTEST_SKIP() << "switching to an unprivileged user needs root";
	std::string root = fresh_root();
	support::write_file(root + "/machine",
	                    quiet_mac);
	// The first store creates the folder and the lock, both root's, as on a Mac.
	ASSERT_EQ(support::run(root, {"setlimit", "60"}).code, 0);
	std::string dir = tamso_dir(root);
	std::string lock = dir + "/limit.lock";

	// The user locks whatever it can open: the folder, which anyone may read, and the lock
	// file if it could. It reports by one byte each and then waits to be killed.
	int report[2];
	ASSERT_EQ(pipe(report), 0);
	pid_t holder = fork();
	ASSERT_NE(holder, -1);
	if (holder == 0) {
		close(report[0]);
		if (setgroups(0, nullptr) == -1 || setgid(uid) == -1 || setuid(uid) == -1)
			_exit(2);
		int folder = open(dir.c_str(), O_RDONLY);
		char folder_held = folder != -1 && flock(folder, LOCK_EX) == 0 ? 'F' : 'f';
		int file = open(lock.c_str(), O_RDONLY);
		char file_held = file != -1 && flock(file, LOCK_EX) == 0 ? 'L' : 'l';
		char bytes[2] = {folder_held, file_held};
		(void)!write(report[1], bytes, 2);
		for (;;)
			pause();
	}
	close(report[1]);
	char bytes[2] = {};
	ssize_t got = read(report[0], bytes, 2);
	close(report[0]);

	support::run_options options;
	options.timeout = 10;
	support::run_result r = support::run(root, {"setlimit", "70"}, options);
	kill(holder, SIGKILL);
	waitpid(holder, nullptr, 0);

	ASSERT_EQ(got, 2);
	EXPECT_EQ(bytes[0], 'F') << "the user could not lock the folder, so the test proves nothing";
	EXPECT_EQ(bytes[1], 'l') << "the user could open and lock the lock file";
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(support::read_file(support::limit_path(root)), "70\n");
	struct stat st;
	ASSERT_EQ(lstat(lock.c_str(), &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_uid, 0u);
	EXPECT_EQ(st.st_mode & 07777, 0600u);
	support::remove_tree(root);
}

TEST(LimitFile, AStoreWaitsForTheLockWhileReadersGoOn)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "setlimit needs root";
	std::string root = fresh_root();
	support::write_file(root + "/machine",
	                    quiet_mac);
	ASSERT_EQ(support::run(root, {"setlimit", "60"}).code, 0);
	// This process stands in for a store at work: it holds the lock.
	int lock = open((tamso_dir(root) + "/limit.lock").c_str(), O_RDWR | O_CLOEXEC);
	ASSERT_NE(lock, -1);
	ASSERT_EQ(flock(lock, LOCK_EX), 0);
	support::background store = support::spawn(root, {"setlimit", "70"});
	EXPECT_TRUE(support::wait_until([&] { return support::in_syscall(store.pid, SYS_flock); }))
	    << "the store did not wait for the lock";
	EXPECT_EQ(read_limit(), 60);
	EXPECT_EQ(support::read_file(support::limit_path(root)), "60\n");
	close(lock);
	support::run_result r = support::finish(store, 10);
	EXPECT_EQ(r.code, 0);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(read_limit(), 70);
	support::remove_tree(root);
}

TEST(LimitFile, FlushesTheNewFileAndThenTheFolderThatHoldsTheRename)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "setlimit needs root";
	std::string root = fresh_root();
	support::write_file(root + "/machine",
	                    quiet_mac);
	std::filesystem::create_directories(tamso_dir(root));
	std::string dir = std::filesystem::canonical(tamso_dir(root)).string();
	std::string log = root + "/sync.log";
	support::run_options options;
	// The sanitizer's runtime would otherwise insist on being loaded first.
	options.env = {std::string("LD_PRELOAD=") + TAMSO_SYNC_LOG, "TAMSO_SYNC_LOG=" + log,
	               "ASAN_OPTIONS=verify_asan_link_order=0"};
	for (const char *value : {"80", "70"}) {
		SCOPED_TRACE(value);
		unlink(log.c_str());
		support::run_result r = support::run(root, {"setlimit", value}, options);
		EXPECT_EQ(r.code, 0);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(support::read_file(support::limit_path(root)), std::string(value) + "\n");
		std::vector<std::string> store;
		for (const std::string &line : support::lines_of(support::read_file(log)))
			if (line.find(dir) != std::string::npos)
				store.push_back(line);
		EXPECT_EQ(store, (std::vector<std::string>{
		                     "fsync " + dir + "/limit.tmp",
		                     "renameat " + dir + "/limit.tmp " + dir + "/limit",
		                     "fsync " + dir,
		                 }));
	}
	support::remove_tree(root);
}
