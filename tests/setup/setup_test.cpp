// The install tool, run as root on staged roots: what it refuses, and what it leaves.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using spoil = std::function<void(const std::string &)>;

struct outcome {
	int status;
	std::string out, err;
};

std::string slurp(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream text;
	text << in.rdbuf();
	return text.str();
}

void put(const std::string &path, const std::string &text, mode_t mode = 0644)
{
	std::ofstream(path, std::ios::binary) << text;
	chmod(path.c_str(), mode);
}

void shell(const std::string &command)
{
	ASSERT_EQ(system(command.c_str()), 0) << command;
}

// An ACL entry on a folder that lets nobody add and remove files, the platform's own way.
void allow_nobody(const std::string &path)
{
#ifdef __APPLE__
	shell("chmod +a 'nobody allow add_file,delete_child' '" + path + "'");
#else
	shell("setfacl -m u:nobody:rwx '" + path + "'");
#endif
}

// A process (of uid 65534 when `as_nobody`) that holds the lock on `path` if it can open
// it, until killed; its pid.
pid_t hold_lock(const std::string &path, bool as_nobody)
{
	int ready[2];
	if (pipe(ready) == -1)
		return -1;
	pid_t pid = fork();
	if (pid == 0) {
		if (as_nobody && (setgid(65534) == -1 || setuid(65534) == -1))
			_exit(1);
		int fd = open(path.c_str(), O_RDONLY);
		if (fd != -1)
			flock(fd, LOCK_EX);
		(void)!write(ready[1], "x", 1);
		pause();
		_exit(0);
	}
	char byte;
	(void)!read(ready[0], &byte, 1);
	close(ready[0]);
	close(ready[1]);
	return pid;
}

void end(pid_t pid)
{
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
}

class Setup : public testing::Test
{
protected:
	std::vector<std::string> roots;
	std::string root;

	void SetUp() override
	{
		if (geteuid() != 0)
			GTEST_SKIP() << "the install tool works as root: sudo ctest -L setup";
		setenv("TZ", "UTC", 1);
		setenv("TAMSO_PREFIX", "/usr/local", 1);
	}

	void TearDown() override
	{
		std::error_code ignored;
		for (const std::string &each : roots)
			for (const char *suffix : {"", ".out", ".err"})
				fs::remove_all(each + suffix, ignored);
	}

	// A fresh root laid out as a package leaves a Mac, all root:wheel.
	void stage()
	{
		char dir[] = "/tmp/tamso-setup.XXXXXX";
		ASSERT_NE(mkdtemp(dir), nullptr);
		root = fs::canonical(dir); // a Mac's /tmp is a link
		roots.push_back(root);
		setenv("TAMSO_ROOT", root.c_str(), 1);
		setenv("SIMMAC_ROOT", root.c_str(), 1);
		for (const char *folder :
		     {"usr/local/libexec/tamso-helper", "Library/LaunchDaemons",
		      "Library/Application Support", "private/var/log"})
			fs::create_directories(at(folder));
		for (const char *file : {"tamso-helper", "tamso-setup", "install.sh",
		                         "uninstall.sh", "launchd.sh", "tamso-helper.8"})
			put(at("usr/local/libexec/tamso-helper/") + file, "x");
		for (const char *file : {"org.tamso.helper.plist", "org.tamso.helper.rotate.plist"})
			put(at("Library/LaunchDaemons/") + file, "x");
		chmod(root.c_str(), 0755);
		for (const auto &entry : fs::recursive_directory_iterator(root))
			lchown(entry.path().c_str(), 0, 0);
		lchown(root.c_str(), 0, 0);
	}

	std::string at(const std::string &path) const
	{
		return path.empty() ? root : root + "/" + path;
	}

	outcome run(const std::string &arguments) const
	{
		int status = system((std::string(TAMSO_SETUP) + " " + arguments + " >" + root +
		                     ".out 2>" + root + ".err")
		                        .c_str());
		return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(root + ".out"),
		        slurp(root + ".err")};
	}
};

TEST_F(Setup, RefusesAChainFolderOrFileAnotherAccountCouldChange)
{
	struct row {
		const char *name, *path;
		spoil make;
		const char *found; // null: accepted
	} rows[] = {
	    {"link", "usr/local/libexec/tamso-helper",
	     [](auto &p) {
		     fs::rename(p, p + ".real"),
		         fs::create_directory_symlink("tamso-helper.real", p);
	     },
	     "is a symbolic link"},
	    {"renamed", "usr/local/libexec/tamso-helper",
	     [](auto &p) { fs::rename(p, p + ".old"); }, "is missing"},
	    {"other owner", "usr/local", [](auto &p) { chown(p.c_str(), 65534, 0); },
	     "is owned by uid 65534, not by root"},
	    {"group write", "usr", [](auto &p) { chown(p.c_str(), 0, 20), chmod(p.c_str(), 0775); },
	     "is writable by group 20"},
	    {"wheel's write", "usr", [](auto &p) { chmod(p.c_str(), 0775); }, nullptr},
	    {"world write", "Library/LaunchDaemons", [](auto &p) { chmod(p.c_str(), 0757); },
	     "is writable by others"},
	    {"the staged root", "", [](auto &p) { chmod(p.c_str(), 0777); },
	     "is writable by others"},
	    {"ACL", "Library", allow_nobody, "has an ACL entry that lets uid "},
	    // Given to root, another's file would give its other name, anywhere, too.
	    {"second hard link", "Library/LaunchDaemons/org.tamso.helper.plist",
	     [](auto &p) { chown(p.c_str(), 65534, 0), fs::create_hard_link(p, p + ".other"); },
	     "has 2 hard links"},
	    {"root's, a second name", "Library/LaunchDaemons/org.tamso.helper.plist",
	     [](auto &p) { fs::create_hard_link(p, p + ".other"); }, nullptr},
	    {"not a folder", "usr/local/libexec/tamso-helper",
	     [](auto &p) { fs::rename(p, p + ".old"), put(p, "x"); }, "is not a folder"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		stage();
		chmod(at("usr/local/libexec/tamso-helper/tamso-helper").c_str(), 0600);
		r.make(at(r.path));
		outcome done = run("own");
		if (r.found == nullptr) {
			EXPECT_EQ(done.status, 0) << done.err;
			continue;
		}
		EXPECT_EQ(done.status, 1);
		EXPECT_EQ(done.out, "");
		EXPECT_EQ(done.err.rfind("tamso-setup: " + at(r.path) + ": " + r.found, 0), 0u)
		    << done.err;
		EXPECT_TRUE(done.err.ends_with("; nothing changed\n")) << done.err;
		struct stat st;
		if (stat(at("usr/local/libexec/tamso-helper/tamso-helper").c_str(), &st) == 0) {
			EXPECT_EQ(st.st_mode & 0777, 0600u);
		}
	}
}

TEST_F(Setup, PutsAKeptLimitBackOnlyWhenItIsOneAndNoneWasStoredSince)
{
	enum { back, aside, refused };
	struct row {
		const char *name, *command;
		std::string kept;
		const char *limit; // null: none stored
		spoil make;
		int expected;
	} rows[] = {
	    {"valid, after a stopped uninstall", "limit-restore", "80\n", "100\n", nullptr, back},
	    {"valid, none stored", "limit", "80\n", nullptr, nullptr, back},
	    {"a NUL byte", "limit-restore", std::string("8\0000\n", 4), "100\n", nullptr, aside},
	    {"a limit set since", "limit", "80\n", "70\n", nullptr, aside},
	    {"a link", "limit-restore", "80\n", "100\n",
	     [](auto &p) { fs::rename(p, p + ".target"), fs::create_symlink(p + ".target", p); },
	     refused},
	    {"a second hard link", "limit-restore", "80\n", "100\n",
	     [](auto &p) { fs::create_hard_link(p, p + ".other"); }, refused},
	    {"another owner's", "limit", "80\n", "100\n",
	     [](auto &p) { chown(p.c_str(), 65534, 0); }, refused},
	    {"kept again over a hard link", "limit-keep", "80\n", "70\n",
	     [](auto &p) { fs::create_hard_link(p, p + ".other"); }, refused},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		stage();
		std::string folder = at("Library/Application Support/Tamso/");
		fs::create_directory(folder);
		put(folder + "limit.kept", r.kept);
		if (r.limit != nullptr)
			put(folder + "limit", r.limit);
		if (r.make)
			r.make(folder + "limit.kept");
		outcome done = run(r.command);
		EXPECT_EQ(done.status, r.expected == refused ? 1 : 0) << done.err;
		EXPECT_EQ(slurp(folder + "limit"), r.expected == back ? r.kept
		                                   : r.limit          ? r.limit
		                                                      : "");
		EXPECT_EQ(slurp(folder + "limit.kept.refused.1"),
		          r.expected == aside ? r.kept : "");
		EXPECT_EQ(fs::exists(fs::symlink_status(folder + "limit.kept")),
		          r.expected == refused);
		if (r.expected == refused) {
			EXPECT_TRUE(done.err.ends_with("; nothing changed\n")) << done.err;
		}
	}
}

TEST_F(Setup, TheKeptLimitWaitsForAStoreOfTheProgramAndYieldsToIt)
{
	stage();
	std::string folder = at("Library/Application Support/Tamso/");
	fs::create_directory(folder);
	put(folder + "limit", "100\n");
	put(folder + "limit.kept", "80\n");
	put(folder + "limit.lock", "");
	pid_t store = hold_lock(folder + "limit.lock", false);
	pid_t restore = fork();
	if (restore == 0) {
		execl(TAMSO_SETUP, TAMSO_SETUP, "limit-restore", static_cast<char *>(nullptr));
		_exit(127);
	}
	usleep(300000);
	EXPECT_EQ(slurp(folder + "limit"), "100\n"); // it waits for the store's lock
	put(folder + "limit", "70\n");               // what the store writes meanwhile
	end(store);
	int status = -1;
	waitpid(restore, &status, 0);
	EXPECT_EQ(status, 0);
	EXPECT_EQ(slurp(folder + "limit"), "70\n");
	EXPECT_EQ(slurp(folder + "limit.kept.refused.1"), "80\n");
}

TEST_F(Setup, RotatesUnlessAnotherRunOfRootsHoldsTheLockOrAStepFails)
{
	struct row {
		const char *name;
		bool lock_not_roots, second_names, held, holder_dies, as_nobody;
		const char *fault; // a call of the simulated Mac's that fails
		int status;
		bool rotated;
	} rows[] = {
	    {"lock file not root's", true, false, false, false, false, "", 1, false},
	    {"second names of the log and the lock", false, true, false, false, false, "", 0, true},
	    {"a run holds the lock", false, false, true, false, false, "", 0, false},
	    {"the holder was killed", false, false, true, true, false, "", 0, true},
	    {"another account tries to hold it", false, false, true, false, true, "", 0, true},
	    {"the truncation fails", false, false, false, false, false, "ftruncate", 1, false},
	    {"the new archive cannot be root's", false, false, false, false, false, "fchown", 1,
	     false},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
#ifdef __APPLE__
		if (*r.fault != '\0')
			continue;
#endif
		stage();
		ASSERT_EQ(run("logs").status, 0);
		std::string logs = at("private/var/log/tamso-helper/");
		std::string content(600000, 'x');
		put(logs + "tamso-helper.log", content);
		if (r.lock_not_roots)
			chown((logs + "tamso-helper.lock").c_str(), 65534, 0);
		for (const char *name : {"tamso-helper.log", "tamso-helper.lock"})
			if (r.second_names)
				fs::create_hard_link(logs + name, at(name));
		pid_t holder = r.held ? hold_lock(logs + "tamso-helper.lock", r.as_nobody) : -1;
		if (r.holder_dies)
			end(holder);
		setenv("SIMMAC_FAIL_NEXT", r.fault, 1);
		outcome done = run("rotate");
		unsetenv("SIMMAC_FAIL_NEXT");
		if (holder != -1 && !r.holder_dies)
			end(holder);
		EXPECT_EQ(done.status, r.status) << done.err;
		EXPECT_EQ(fs::file_size(logs + "tamso-helper.log"),
		          r.rotated ? 0u : content.size());
		EXPECT_EQ(slurp(logs + "tamso-helper.log.0"), r.rotated ? content : "");
		// An empty .0 left by a failure would push the previous archive out next time.
		EXPECT_EQ(fs::exists(logs + "tamso-helper.log.0"), r.rotated);
	}
}

TEST_F(Setup, RotationShiftsTheArchivesAndEmptiesTheLogInPlace)
{
	stage();
	ASSERT_EQ(run("logs").status, 0);
	std::string log = at("private/var/log/tamso-helper/tamso-helper.log");
	std::string content;
	for (int i = 0; content.size() < 512 * 1024; i++)
		content += "line " + std::to_string(i) + "\n";
	put(log, content);
	put(log + ".0", "previous\n");
	put(log + ".1", "oldest\n");
	struct stat before, after;
	stat(log.c_str(), &before);
	outcome done = run("rotate");
	EXPECT_EQ(done.status, 0) << done.err;
	stat(log.c_str(), &after);
	EXPECT_EQ(after.st_ino, before.st_ino);
	EXPECT_EQ(after.st_size, 0);
	EXPECT_EQ(slurp(log + ".0"), content);
	EXPECT_EQ(slurp(log + ".1"), "previous\n");
	done = run("rotate");
	EXPECT_EQ(done.status, 0);
	EXPECT_EQ(done.out + done.err, "");
}

TEST_F(Setup, TenRunsAtOnceMoveTheLogExactlyOnce)
{
	stage();
	ASSERT_EQ(run("logs").status, 0);
	std::string log = at("private/var/log/tamso-helper/tamso-helper.log");
	std::string content(700000, 'y');
	put(log, content);
	std::vector<pid_t> runs;
	for (int i = 0; i < 10; i++)
		if (pid_t pid = fork(); pid == 0)
			_exit(run("rotate").status);
		else
			runs.push_back(pid);
	for (pid_t pid : runs) {
		int status = -1;
		waitpid(pid, &status, 0);
		EXPECT_EQ(status, 0);
	}
	EXPECT_EQ(slurp(log) + slurp(log + ".0") + slurp(log + ".1"), content);
}

TEST_F(Setup, LinksTheCommandOnlyIntoAFolderRootsAlone)
{
	struct row {
		const char *name;
		uid_t bin_owner;     // 1: no bin yet
		const char *earlier; // a plain file there before, or null
		bool linked;
	} rows[] = {
	    {"bin made", 1, nullptr, true},
	    {"bin another account's", 65534, "old", false},
	    {"an earlier layout's copy", 0, "old", true},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		stage();
		std::string bin = at("usr/local/bin"), command = bin + "/tamso-helper";
		if (r.bin_owner != 1)
			fs::create_directory(bin), chown(bin.c_str(), r.bin_owner, 0);
		if (r.earlier != nullptr)
			put(command, r.earlier, 0755);
		outcome done = run("link");
		EXPECT_EQ(done.status, 0) << done.err;
		EXPECT_EQ(fs::is_symlink(command), r.linked);
		if (r.linked) {
			EXPECT_EQ(fs::read_symlink(command),
			          "../libexec/tamso-helper/tamso-helper");
			continue;
		}
		EXPECT_NE(done.out.find("the command was not linked: " + bin +
		                        " is owned by uid 65534, "
		                        "not by root; run " +
		                        at("usr/local/libexec/tamso-helper/tamso-helper")),
		          std::string::npos)
		    << done.out;
		if (r.earlier != nullptr && !r.linked) {
			EXPECT_EQ(slurp(command), r.earlier);
		}
	}
}

TEST_F(Setup, AnUninstallAfterAnInstallLeavesOnlyWhatIsNotOurs)
{
	stage();
	for (const char *step : {"preflight", "begin", "own", "logs", "limit", "link", "finish"})
		ASSERT_EQ(run(step).status, 0) << step;
	std::string manpage = at("usr/local/share/man/man8/tamso-helper.8");
	fs::remove(manpage);
	fs::create_symlink("elsewhere", manpage);
	for (const char *step : {"remove", "remove-limit", "remove-scripts"}) {
		outcome done = run(step);
		EXPECT_EQ(done.status, 0) << step << done.err;
		if (std::string(step) == "remove") {
			EXPECT_NE(done.out.find(manpage + ": left as it is (a link to elsewhere"),
			          std::string::npos)
			    << done.out;
		}
	}
	std::vector<std::string> left;
	for (const auto &entry : fs::recursive_directory_iterator(root))
		if (!fs::is_directory(fs::symlink_status(entry.path())))
			left.push_back(entry.path());
	EXPECT_EQ(left, std::vector<std::string>{manpage});
	for (const char *folder : {"usr/local/libexec/tamso-helper", "private/var/log/tamso-helper",
	                           "Library/Application Support/Tamso"})
		EXPECT_FALSE(fs::exists(at(folder))) << folder;
}

} // namespace
