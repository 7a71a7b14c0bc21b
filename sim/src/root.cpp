// The simulated Mac's root: the folder that holds one Mac, seeded with the default
// machine when new, and the Mac-only paths that resolve inside it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "state.h"

namespace sim {

namespace {

bool any_low_descriptor_closed()
{
	int saved = errno;
	bool closed = false;
	for (int fd = 0; fd < 3; fd++)
		closed = closed || fcntl(fd, F_GETFD) == -1;
	errno = saved;
	return closed;
}

// Read before main: a process started with 0, 1 and 2 open has none of them free later,
// as the program never closes a standard descriptor it did not open itself. That spares
// the stand-in three system calls a step in the common case.
const bool started_with_one_closed = any_low_descriptor_closed();

} // namespace

low_descriptors_taken::low_descriptors_taken()
{
	if (!started_with_one_closed)
		return;
	int saved = errno;
	for (int fd = 0; fd < 3; fd++)
		if (fcntl(fd, F_GETFD) == -1) // closed: the next open would get it
			taken[fd] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
	errno = saved;
}

low_descriptors_taken::~low_descriptors_taken()
{
	int saved = errno;
	for (int fd : taken)
		if (fd != -1)
			::close(fd);
	errno = saved;
}

std::string default_root()
{
	const char *state = getenv("XDG_STATE_HOME");
	if (state != nullptr && state[0] != '\0')
		return std::string(state) + "/simmac";
	const char *home = getenv("HOME");
	return std::string(home != nullptr ? home : ".") + "/.local/state/simmac";
}

void make_dirs(const std::string &path)
{
	int saved = errno;
	for (size_t i = 1; i <= path.size(); i++)
		if (i == path.size() || path[i] == '/')
			(void)mkdir(path.substr(0, i).c_str(), 0755);
	errno = saved;
}

// Replaces the file at `path` by a whole new one. The replacement keeps the old file's
// owner, group and mode, so that a run as root on a user's root leaves the user a file it
// can still change; a first file gets `mode` whatever the umask.
bool write_file(const std::string &path, const std::string &content, mode_t mode)
{
	std::string temporary = path + ".simmac." + std::to_string(getpid());
	struct stat old;
	bool replacing = stat(path.c_str(), &old) == 0;
	int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (fd == -1)
		return false;
	bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
	// Only root can give a file away: another user's replacement may stay that user's.
	if (replacing)
		(void)!fchown(fd, old.st_uid, old.st_gid);
	ok = ok && fchmod(fd, replacing ? old.st_mode & 07777 : mode) == 0;
	ok = ::close(fd) == 0 && ok;
	if (ok)
		ok = ::rename(temporary.c_str(), path.c_str()) == 0;
	if (!ok) {
		int saved = errno;
		::unlink(temporary.c_str());
		errno = saved;
	}
	return ok;
}

int open_own_file(const std::string &name, int flags)
{
	std::string path = w().root + "/" + name;
	int fd = ::open(path.c_str(), flags | O_CLOEXEC);
	if (fd != -1 || errno != ENOENT)
		return fd;
	fd = ::open(path.c_str(), flags | O_CLOEXEC | O_CREAT | O_EXCL, 0600);
	if (fd == -1)
		return errno == EEXIST ? ::open(path.c_str(), flags | O_CLOEXEC) : -1; // made meanwhile
	struct stat folder;
	if (geteuid() == 0 && stat(w().root.c_str(), &folder) == 0)
		(void)!fchown(fd, folder.st_uid, folder.st_gid); // at worst the file stays root's
	(void)!fchmod(fd, 0644);
	return fd;
}

bool read_file(const std::string &path, std::string *content)
{
	FILE *file = fopen(path.c_str(), "r");
	if (file == nullptr)
		return false;
	char buffer[4096];
	size_t n;
	content->clear();
	while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
		content->append(buffer, n);
	fclose(file);
	return true;
}

const char pmset_script[] = "#!/bin/sh\n"
                            "# The simulated Mac's pmset: records its arguments in the trace.\n"
                            "root=$(cd \"$(dirname \"$0\")/../..\" && pwd)\n"
                            "echo \"pmset $*\" >> \"$root/trace\"\n";

// A new root: the default machine, an empty Application Support folder and pmset.
// False (errno says why) when the machine file cannot be written.
bool seed(const std::string &root)
{
	make_dirs(root + "/Library/Application Support");
	make_dirs(root + "/usr/bin");
	struct stat st;
	if (stat((root + "/usr/bin/pmset").c_str(), &st) == -1)
		write_file(root + "/usr/bin/pmset", pmset_script, 0755);
	return write_file(root + "/machine", default_machine_text, 0644);
}

// Makes the root ready: created and seeded when new. Returns why it cannot be used (it
// cannot be created, is no folder, cannot be read or written), or "" when it can. Access is
// checked for the effective user, as a set-user-id program opens files with it.
std::string prepare_root(const std::string &root)
{
	make_dirs(root);
	struct stat st;
	if (stat(root.c_str(), &st) == -1)
		return strerror(errno);
	if (!S_ISDIR(st.st_mode))
		return strerror(ENOTDIR);
	if (faccessat(AT_FDCWD, root.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == -1)
		return strerror(errno);
	std::string machine = root + "/machine";
	if (stat(machine.c_str(), &st) == -1) {
		if (!seed(root))
			return strerror(errno);
	} else {
		make_dirs(root + "/Library/Application Support"); // always there on a Mac
	}
	if (faccessat(AT_FDCWD, machine.c_str(), R_OK, AT_EACCESS) == -1)
		return strerror(errno);
	return "";
}

// The one report of an unusable root, on standard error: there is no trace to say it.
void report_root(const std::string &root, const std::string &why)
{
	std::string line = "simmac: cannot use root " + root + ": " + why + "\n";
	(void)!::write(2, line.data(), line.size());
}

const std::string &root()
{
	start();
	return w().root;
}

bool mac_only(const char *path)
{
	return path != nullptr && (strncmp(path, "/Library/", 9) == 0 || strcmp(path, "/Library") == 0 ||
	                           strcmp(path, "/usr/bin/pmset") == 0);
}

std::string map_path(const char *path)
{
	if (path == nullptr)
		return "";
	if (!mac_only(path))
		return path;
	start();
	return w().root + path;
}

void write_limit_file(long value)
{
	low_descriptors_taken low;
	std::string dir = map_path("/Library/Application Support/Tamso");
	make_dirs(dir);
	write_file(dir + "/limit", std::to_string(value) + "\n", 0644);
}

} // namespace sim
