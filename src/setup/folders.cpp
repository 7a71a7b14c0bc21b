// The install tool's folder and file checks. A folder root works in must be root's alone,
// and so must every folder above it: whoever may write one of them could rename a folder
// below and put one of their own, or a link, in its place.
#include "setup/setup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <membership.h>
#include <sys/acl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "setup/names.h"

namespace {

std::string root_path;
std::string prefix_path;
int changes = 0;

constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// The rights an allow entry must not give another account: to add, remove or rewrite
// what lies in the folder, or to take the folder's ACL or owner.
constexpr acl_perm_t write_rights[] = {ACL_WRITE_DATA,   ACL_APPEND_DATA,    ACL_DELETE_CHILD,
                                       ACL_DELETE,       ACL_WRITE_SECURITY, ACL_CHANGE_OWNER};

bool grants_write(acl_entry_t entry)
{
	acl_tag_t tag;
	acl_permset_t permissions;
	if (acl_get_tag_type(entry, &tag) == -1 || acl_get_permset(entry, &permissions) == -1)
		return true; // an entry that cannot be read is not trusted
	if (tag != ACL_EXTENDED_ALLOW)
		return false; // deny entries only take rights away
	for (acl_perm_t right : write_rights)
		if (acl_get_perm_np(permissions, right) == 1)
			return true;
	return false;
}

// "" when no ACL entry lets an account other than root or the group wheel write, or
// what was found.
std::string acl_writers(int fd)
{
	acl_t acl = acl_get_fd_np(fd, ACL_TYPE_EXTENDED);
	if (acl == nullptr)
		return errno == ENOENT ? "" : std::string("its ACL cannot be read: ") + strerror(errno);
	std::string found;
	acl_entry_t entry;
	for (int id = ACL_FIRST_ENTRY; found.empty() && acl_get_entry(acl, id, &entry) == 0;
	     id = ACL_NEXT_ENTRY) {
		if (!grants_write(entry))
			continue;
		void *who = acl_get_qualifier(entry);
		id_t number = 0;
		int type = -1;
		if (who == nullptr ||
		    mbr_uuid_to_id(static_cast<const unsigned char *>(who), &number, &type) != 0)
			found = "has an ACL entry that lets an unknown account write";
		else if (number != 0)
			found = std::string("has an ACL entry that lets ") +
			        (type == ID_TYPE_UID ? "uid " : "gid ") + std::to_string(number) + " write";
		if (who != nullptr)
			acl_free(who);
	}
	acl_free(acl);
	return found;
}

// "" when the open folder is one root alone can write, or what was found.
std::string folder_problem(int fd)
{
	struct stat st;
	if (fstat(fd, &st) == -1)
		return std::string("cannot be examined: ") + strerror(errno);
	if (!S_ISDIR(st.st_mode))
		return "is not a folder";
	if (st.st_uid != 0)
		return "is owned by uid " + std::to_string(st.st_uid) + ", not by root";
	if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != 0)
		return "is writable by group " + std::to_string(st.st_gid);
	if ((st.st_mode & S_IWOTH) != 0)
		return "is writable by others";
	return acl_writers(fd);
}

// What stands at `name` in `dir` when an open by that name failed with `error`.
std::string open_problem(int dir, const char *name, int error)
{
	struct stat st;
	if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
		return "is a symbolic link";
	if (error == ENOTDIR)
		return "is not a folder";
	return std::string("cannot be opened: ") + strerror(error);
}

std::string joined(const std::string &dir, const char *name)
{
	return dir == "/" ? dir + name : dir + "/" + name;
}

} // namespace

void set_places(const char *root, const char *prefix)
{
	root_path = root != nullptr ? root : "";
	while (!root_path.empty() && root_path.back() == '/')
		root_path.pop_back();
	prefix_path = prefix != nullptr && prefix[0] != '\0' ? prefix : names::prefix;
}

const std::string &install_prefix()
{
	return prefix_path;
}

std::string shown(const std::string &path)
{
	return root_path + path;
}

void say(const std::string &line)
{
	printf("   %s\n", line.c_str());
	fflush(stdout);
	changes++;
}

void note(const std::string &line)
{
	printf("   %s\n", line.c_str());
	fflush(stdout);
}

int changes_made()
{
	return changes;
}

int refuse(const finding &found)
{
	fprintf(stderr, "tamso-setup: %s: %s; %s\n", found.path.c_str(), found.what.c_str(),
	        changes == 0 ? "nothing changed" : "what is said above was changed");
	return -1;
}

int failed(const std::string &path, const char *doing)
{
	return refuse({path, std::string(doing) + ": " + strerror(errno)});
}

void close_place(place *dir)
{
	if (dir->fd != -1)
		close(dir->fd);
	dir->fd = -1;
}

int open_folder(const place &parent, const char *name, bool make, place *dir, finding *found)
{
	std::string path = joined(parent.path, name);
	int fd = openat(parent.fd, name, folder_flags);
	if (fd == -1 && errno == ENOENT && make) {
		if (mkdirat(parent.fd, name, 0700) == -1 && errno != EEXIST) {
			*found = {path, std::string("cannot be made: ") + strerror(errno)};
			return -1;
		}
		fd = openat(parent.fd, name, folder_flags);
		// Made 0700, root's: no one else could reach it before its mode is set.
		if (fd != -1 && (fchown(fd, 0, 0) == -1 || fchmod(fd, 0755) == -1)) {
			*found = {path, std::string("cannot be given root:wheel 0755: ") + strerror(errno)};
			close(fd);
			return -1;
		}
		if (fd != -1)
			say(path + ": made, root:wheel 0755");
	}
	if (fd == -1 && errno == ENOENT) {
		*found = {path, "is missing"};
		return 1;
	}
	std::string problem = fd == -1 ? open_problem(parent.fd, name, errno) : folder_problem(fd);
	if (!problem.empty()) {
		if (fd != -1)
			close(fd);
		*found = {path, problem};
		return -1;
	}
	*dir = {fd, path};
	return 0;
}

int open_chain(const std::string &path, bool make, place *dir, finding *found)
{
	std::string top = root_path.empty() ? "/" : root_path;
	place at{open(top.c_str(), folder_flags), top};
	std::string problem = at.fd == -1 ? open_problem(AT_FDCWD, top.c_str(), errno) : folder_problem(at.fd);
	if (!problem.empty()) {
		close_place(&at);
		*found = {top, problem};
		return -1;
	}
	size_t start = 0;
	while (start < path.size()) {
		size_t end = path.find('/', start);
		if (end == std::string::npos)
			end = path.size();
		std::string name = path.substr(start, end - start);
		start = end + 1;
		if (name.empty() || name == ".")
			continue;
		if (name == "..") {
			close_place(&at);
			*found = {shown(path), "names a folder above it (..)"};
			return -1;
		}
		place next;
		int result = open_folder(at, name.c_str(), make, &next, found);
		close_place(&at);
		if (result != 0)
			return result;
		at = next;
	}
	*dir = at;
	return 0;
}

int open_file(const place &dir, const char *name, int flags, bool root_only, int *fd,
              finding *found)
{
	std::string path = joined(dir.path, name);
	struct stat before, st;
	if (fstatat(dir.fd, name, &before, AT_SYMLINK_NOFOLLOW) == -1) {
		if (errno == ENOENT)
			return 1;
		*found = {path, std::string("cannot be examined: ") + strerror(errno)};
		return -1;
	}
	// Nothing but a plain file is opened at all: a device's open could act.
	if (S_ISLNK(before.st_mode) || !S_ISREG(before.st_mode)) {
		*found = {path, S_ISLNK(before.st_mode) ? "is a symbolic link" : "is not a plain file"};
		return -1;
	}
	int file = openat(dir.fd, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
	std::string problem;
	if (file == -1)
		problem = open_problem(dir.fd, name, errno);
	else if (fstat(file, &st) == -1)
		problem = std::string("cannot be examined: ") + strerror(errno);
	else if (!S_ISREG(st.st_mode))
		problem = "is not a plain file";
	else if (st.st_nlink != 1)
		problem = "has " + std::to_string(st.st_nlink) +
		          " hard links: another name of the same file could be anywhere";
	else if (root_only && st.st_uid != 0)
		problem = "is owned by uid " + std::to_string(st.st_uid) + ", not by root";
	else
		problem = acl_writers(file);
	if (!problem.empty()) {
		if (file != -1)
			close(file);
		*found = {path, problem};
		return -1;
	}
	*fd = file;
	return 0;
}

int set_owner_mode(int fd, const std::string &path, mode_t mode, bool always)
{
	struct stat st;
	if (fstat(fd, &st) == -1)
		return failed(path, "cannot be examined");
	bool same = st.st_uid == 0 && st.st_gid == 0 && (st.st_mode & 07777) == mode;
	if (!same && (fchown(fd, 0, 0) == -1 || fchmod(fd, mode) == -1))
		return failed(path, "cannot be given to root:wheel");
	if (!same || always) {
		char octal[8];
		snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
		say(path + ": root:wheel " + octal);
	}
	return 0;
}

int make_file(const place &dir, const char *name, mode_t mode, int *fd)
{
	std::string path = joined(dir.path, name);
	// 0600 until its owner and mode are set, whatever the umask.
	int file = openat(dir.fd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
	if (file == -1)
		return failed(path, "cannot be made");
	if (fchown(file, 0, 0) == -1 || fchmod(file, mode) == -1) {
		int saved = errno;
		close(file);
		errno = saved;
		return failed(path, "cannot be given to root:wheel");
	}
	if (fd != nullptr)
		*fd = file;
	else
		close(file);
	return 0;
}

int present(const place &dir, const char *name)
{
	struct stat st;
	if (fstatat(dir.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
		return 1;
	return errno == ENOENT ? 0 : -1;
}

int remove_name(const place &dir, const char *name, bool quiet)
{
	std::string path = joined(dir.path, name);
	if (unlinkat(dir.fd, name, 0) == 0)
		say(path + ": removed");
	else if (errno != ENOENT)
		return failed(path, "cannot be removed");
	else if (!quiet)
		note(path + ": not there");
	return 0;
}

int lock_logs(const place &logs, bool wait, int *fd)
{
	finding found;
	int lock = -1;
	int result = open_file(logs, names::log_lock, O_RDWR, true, &lock, &found);
	if (result == 1)
		result = make_file(logs, names::log_lock, 0600, &lock);
	else if (result == -1)
		return refuse(found);
	if (result == -1)
		return -1;
	// The lock goes with the descriptor: a run that dies releases it.
	while (flock(lock, wait ? LOCK_EX : LOCK_EX | LOCK_NB) == -1) {
		if (errno == EINTR)
			continue;
		int saved = errno;
		close(lock);
		if (saved == EWOULDBLOCK)
			return 1;
		errno = saved;
		return failed(joined(logs.path, names::log_lock), "cannot be locked");
	}
	*fd = lock;
	return 0;
}
