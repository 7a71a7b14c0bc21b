// The install tool's folder and file checks. A folder root works in must be root's alone,
// and so must every folder above it: whoever may write one of them could rename a folder
// below and put one of their own, or a link, in its place.
#include "setup/setup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
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
bool changed = false;

constexpr int folder_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// The rights an allow entry must not give another account: to add, remove or rewrite
// what lies in the folder, or to take the folder's ACL or owner.
constexpr acl_perm_t write_rights[] = {ACL_WRITE_DATA, ACL_APPEND_DATA,    ACL_DELETE_CHILD,
                                       ACL_DELETE,     ACL_WRITE_SECURITY, ACL_CHANGE_OWNER};

bool grants_write(acl_entry_t entry)
{
	acl_tag_t tag;
	acl_permset_t rights;
	if (acl_get_tag_type(entry, &tag) == -1 || acl_get_permset(entry, &rights) == -1)
		return true; // an entry that cannot be read is not trusted
	if (tag != ACL_EXTENDED_ALLOW)
		return false; // deny entries only take rights away
	for (acl_perm_t right : write_rights)
		if (acl_get_perm_np(rights, right) == 1)
			return true;
	return false;
}

// "" when no ACL entry lets an account other than root or the group wheel write, or
// what was found.
std::string acl_writers(int fd)
{
	acl_t acl = acl_get_fd_np(fd, ACL_TYPE_EXTENDED);
	if (acl == nullptr)
		return errno == ENOENT
		           ? ""
		           : std::string("has an ACL that cannot be read: ") + strerror(errno);
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
			        (type == ID_TYPE_UID ? "uid " : "gid ") + std::to_string(number) +
			        " write";
		if (who != nullptr)
			acl_free(who);
	}
	acl_free(acl);
	return found;
}

// "" when the open folder is one root alone can write, or when the open file (`rules`
// not -1) passes them; otherwise what was found.
std::string problem_of(int fd, int rules)
{
	struct stat st;
	bool folder = rules == -1;
	if (fstat(fd, &st) == -1)
		return std::string("cannot be examined: ") + strerror(errno);
	if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
		return folder ? "is not a folder" : "is not a plain file";
	if (!folder && st.st_nlink != 1 && (st.st_uid != 0 || (rules & one_link) != 0))
		return "has " + std::to_string(st.st_nlink) +
		       " hard links: another name of the same file could be anywhere";
	if ((folder || (rules & roots) != 0) && st.st_uid != 0)
		return "is owned by uid " + std::to_string(st.st_uid) + ", not by root";
	if (folder && (st.st_mode & S_IWGRP) != 0 && st.st_gid != 0)
		return "is writable by group " + std::to_string(st.st_gid);
	if (folder && (st.st_mode & S_IWOTH) != 0)
		return "is writable by others";
	return acl_writers(fd);
}

// What stands at `name` in `dir` when an open of it failed with `error`.
std::string open_problem(int dir, const char *name, int error)
{
	struct stat st;
	if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
		return "is a symbolic link";
	if (error == ENOTDIR)
		return "is not a folder";
	return std::string("cannot be opened: ") + strerror(error);
}

// Checks what `fd` (opened as `name` in `dir`, or -1 after `error`) is by `rules` (-1:
// a folder); 0 with *it.
int checked(int fd, int dir, const char *name, std::string path, int rules, place *it,
            finding *found)
{
	int error = errno;
	place opened(fd, std::move(path));
	std::string what = fd == -1 ? open_problem(dir, name, error) : problem_of(fd, rules);
	if (!what.empty()) {
		*found = {opened.path, what};
		return -1;
	}
	*it = std::move(opened);
	return 0;
}

// Opens the folder `name` inside `parent` as open_chain does each of its folders.
int open_folder(const place &parent, const char *name, bool make, place *dir, finding *found)
{
	int fd = openat(parent.fd, name, folder_flags);
	if (fd == -1 && errno == ENOENT && make) {
		// Made 0700, so that no one else reaches it before its owner and mode are set.
		fd = mkdirat(parent.fd, name, 0700) == 0 ? openat(parent.fd, name, folder_flags)
		                                         : -1;
		if (fd != -1 && (fchown(fd, 0, 0) == -1 || fchmod(fd, 0755) == -1)) {
			*found = {parent / name, std::string("cannot be given root:wheel 0755: ") +
			                             strerror(errno)};
			close(fd);
			return -1;
		}
		if (fd != -1)
			say(parent / name + ": made, root:wheel 0755");
	}
	if (fd == -1 && errno == ENOENT) {
		*found = {parent / name, "is missing"};
		return 1;
	}
	return checked(fd, parent.fd, name, parent / name, -1, dir, found);
}

} // namespace

std::string place::operator/(const char *name) const
{
	return path == "/" ? path + name : path + "/" + name;
}

void set_places(const char *root, const char *prefix)
{
	root_path = root != nullptr ? root : "";
	while (!root_path.empty() && root_path.back() == '/')
		root_path.pop_back();
	prefix_path = prefix != nullptr && prefix[0] != '\0' ? prefix : names::prefix;
}

std::string in_prefix(const char *path)
{
	return prefix_path + "/" + path;
}

std::string shown(const std::string &path)
{
	return root_path + path;
}

int say(const std::string &line)
{
	changed = true;
	return note(line);
}

int note(const std::string &line)
{
	printf("   %s\n", line.c_str());
	fflush(stdout);
	return 0;
}

int refuse(const finding &found, const char *after)
{
	if (after == nullptr)
		after = changed ? "what is said above was changed" : "nothing changed";
	fprintf(stderr, "tamso-setup: %s: %s; %s\n", found.path.c_str(), found.what.c_str(), after);
	return -1;
}

int failed(const std::string &path, const char *doing, const char *after)
{
	return refuse({path, std::string(doing) + ": " + strerror(errno)}, after);
}

int open_chain(const std::string &path, bool make, place *dir, finding *found, place *parent)
{
	// A staged root is the top of its chain: the folders above it are not the Mac's.
	std::string top = root_path.empty() ? "/" : root_path;
	place at, up;
	if (checked(open(top.c_str(), folder_flags), AT_FDCWD, top.c_str(), top, -1, &at, found) ==
	    -1)
		return -1;
	for (size_t start = 0, end; start < path.size(); start = end + 1) {
		end = std::min(path.find('/', start), path.size());
		std::string name = path.substr(start, end - start);
		if (name.empty() || name == ".")
			continue;
		if (name == "..") {
			*found = {shown(path), "names a folder above it (..)"};
			return -1;
		}
		place next;
		if (int result = open_folder(at, name.c_str(), make, &next, found); result != 0)
			return result;
		up = std::exchange(at, std::move(next));
	}
	if (parent != nullptr)
		*parent = std::move(up);
	*dir = std::move(at);
	return 0;
}

int open_checked(const std::string &path, if_missing missing, place *dir, place *parent)
{
	finding found;
	int result = open_chain(path, missing == make_missing, dir, &found, parent);
	if (result == 1 && missing == say_missing)
		note(shown(path) + ": not there");
	bool refused = result == -1 || (result == 1 && missing <= refuse_missing);
	return refused ? refuse(found) : result;
}

int open_file(const place &dir, const char *name, int flags, int rules, place *file)
{
	struct stat st;
	if (fstatat(dir.fd, name, &st, AT_SYMLINK_NOFOLLOW) == -1)
		return errno == ENOENT ? 1 : failed(dir / name, "cannot be examined");
	// Nothing but a plain file is opened at all: the open of a device could act.
	if (!S_ISREG(st.st_mode))
		return refuse({dir / name,
		               S_ISLNK(st.st_mode) ? "is a symbolic link" : "is not a plain file"});
	int fd = openat(dir.fd, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	finding found;
	return checked(fd, dir.fd, name, dir / name, rules, file, &found) == 0 ? 0 : refuse(found);
}

int open_or_make(const place &dir, const char *name, int flags, int rules, mode_t mode, place *file)
{
	int result = open_file(dir, name, flags, rules, file);
	return result == 1 && make_file(dir, name, mode, file) == -1 ? -1 : result;
}

int set_owner_mode(const place &it, mode_t mode, bool always)
{
	struct stat st;
	if (fstat(it.fd, &st) == -1)
		return failed(it.path, "cannot be examined");
	bool same = st.st_uid == 0 && st.st_gid == 0 && (st.st_mode & 07777) == mode;
	if (!same && (fchown(it.fd, 0, 0) == -1 || fchmod(it.fd, mode) == -1))
		return failed(it.path, "cannot be given to root:wheel");
	char octal[8];
	snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
	if (!same || always)
		say(it.path + ": root:wheel " + octal);
	return 0;
}

int make_file(const place &dir, const char *name, mode_t mode, place *file)
{
	// 0600 until its owner and mode are set, whatever the umask.
	place made(openat(dir.fd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600),
	           dir / name);
	if (made.fd == -1)
		return failed(made.path, "cannot be made");
	if (fchown(made.fd, 0, 0) == -1 || fchmod(made.fd, mode) == -1)
		return failed(made.path, "cannot be given to root:wheel");
	if (file != nullptr)
		*file = std::move(made);
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
	if (unlinkat(dir.fd, name, 0) == 0)
		say(dir / name + ": removed");
	else if (errno != ENOENT)
		return failed(dir / name, "cannot be removed");
	else if (!quiet)
		note(dir / name + ": not there");
	return 0;
}

int list_folder(const place &dir, std::vector<std::string> *entries)
{
	int fd = openat(dir.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	DIR *listing = fd != -1 ? fdopendir(fd) : nullptr;
	if (listing == nullptr) {
		if (fd != -1)
			close(fd);
		return failed(dir.path, "cannot be listed");
	}
	while (struct dirent *entry = readdir(listing))
		if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
			entries->emplace_back(entry->d_name);
	closedir(listing);
	return 0;
}

int lock_file(const place &dir, const char *name, bool wait, place *lock)
{
	if (open_or_make(dir, name, O_RDWR, roots, 0600, lock) == -1)
		return -1;
	// The lock goes with the descriptor: the kernel releases it when a run dies.
	while (flock(lock->fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) == -1)
		if (errno == EWOULDBLOCK && !wait)
			return 1;
		else if (errno != EINTR)
			return failed(lock->path, "cannot be locked");
	return 0;
}
