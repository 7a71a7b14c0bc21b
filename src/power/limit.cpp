// The charge limit store. Readers open the file anew each time; the writer replaces it
// with a rename so that a running daemon never sees it empty or half written, and keeps
// the replaced file's owner and mode so that every reader still can read it. Nobody reads
// or stores through a symbolic link anywhere on the path: a limit that a link could put in
// place is no limit.
#include "power/limit.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "power/pathnames.h"

namespace {

// The modes of what a store creates, set explicitly so that the umask takes nothing away.
constexpr mode_t first_folder_mode = 0755;
constexpr mode_t first_file_mode = 0644;

// The state of a "%d"-style scan of the file's first number, fed in chunks so that a
// file of any length is read in constant memory. The magnitude saturates, so no value,
// however long, overflows.
struct limit_scan {
	enum { skipping, after_sign, digits, done } stage = skipping;
	bool negative = false;
	bool any_digit = false;
	long magnitude = 0;
};

bool is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c)
{
	return c >= '0' && c <= '9';
}

// Consumes `size` bytes; true once the number (or its absence) is settled.
bool scan_feed(limit_scan &scan, const char *text, size_t size)
{
	for (size_t i = 0; i < size && scan.stage != limit_scan::done; i++) {
		char c = text[i];
		switch (scan.stage) {
		case limit_scan::skipping:
			if (is_blank(c))
				break;
			if (c == '+' || c == '-') {
				scan.negative = c == '-';
				scan.stage = limit_scan::after_sign;
				break;
			}
			scan.stage = limit_scan::digits;
			[[fallthrough]];
		case limit_scan::after_sign:
		case limit_scan::digits:
			if (!is_digit(c)) {
				scan.stage = limit_scan::done;
				break;
			}
			scan.stage = limit_scan::digits;
			scan.any_digit = true;
			// Anything above 1000 is as invalid as any larger number.
			if (scan.magnitude < 1000)
				scan.magnitude = scan.magnitude * 10 + (c - '0');
			break;
		case limit_scan::done:
			break;
		}
	}
	return scan.stage == limit_scan::done;
}

int scan_result(const limit_scan &scan)
{
	if (!scan.any_digit || scan.negative)
		return limit_max;
	if (scan.magnitude < limit_min || scan.magnitude > limit_max)
		return limit_max;
	return static_cast<int>(scan.magnitude);
}

// Writes all of `size` bytes, retrying short writes; -1 with errno set on failure.
int write_all(int fd, const char *data, size_t size)
{
	while (size > 0) {
		ssize_t n = write(fd, data, size);
		if (n == -1 && errno == EINTR)
			continue;
		if (n == -1)
			return -1;
		data += n;
		size -= static_cast<size_t>(n);
	}
	return 0;
}

// Reports a failed store with the limit file's path; errno says why.
int store_failed()
{
	perror(paths::limit_file);
	return -1;
}

// The folder, created if missing and opened without following a symbolic link at it or
// anywhere on its path (the readers refuse the same links, so a store never lands where
// they do not look); every later step names its files relative to it, so that nothing can
// redirect the store elsewhere. Its parent is opened first, and the folder is made and
// opened relative to it, so that a link above it leaves nothing behind where it points.
// A folder made here is 0755 at once, whatever the umask, so that no moment leaves one
// that users cannot read (a store killed just after the mkdir included); one that was
// there keeps the mode its owner gave it. A link gives ELOOP on every system (O_DIRECTORY
// would make it ENOTDIR on some), anything else that is not a directory ENOTDIR;
// non-blocking, so that a FIFO there cannot stall the store. The descriptor, or -1 with
// errno set.
int open_folder()
{
	int parent = open(paths::limit_parent.data(),
	                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW_ANY | O_NONBLOCK | O_CLOEXEC);
	if (parent == -1)
		return -1;
	// An existing folder is the normal case; any other failure shows at the open. The
	// program runs one thread, so the umask is nobody else's for this moment.
	mode_t mask = umask(0);
	(void)mkdirat(parent, paths::limit_folder_name, first_folder_mode);
	umask(mask);
	int dir = openat(parent, paths::limit_folder_name,
	                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
	int error = dir == -1 ? errno : 0;
	close(parent);
	struct stat st;
	if (error == 0)
		error = fstat(dir, &st) == -1 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
	if (error != 0) {
		if (dir != -1)
			close(dir);
		errno = error;
		return -1;
	}
	return dir;
}

// Waits for any other store into the same folder to finish, by an exclusive lock on the
// lock file. Not on the folder itself: anyone may open the folder to read it and could
// then hold its lock for ever. The lock file is created mode 0600 in a folder only root
// can write, so only root can open it. It is opened without following a symbolic link and
// without blocking (a FIFO there cannot stall the store), and only a regular file is
// locked; anything else there is refused rather than replaced, since a store still at
// work may hold the lock on what stands there. The lock goes with the descriptor and so
// with the process: a store that is killed releases it. The descriptor, or -1 with errno
// set.
int lock_stores(int dir)
{
	const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
	int lock = openat(dir, paths::limit_lock, flags, 0600);
	if (lock == -1)
		return -1;
	struct stat st;
	int error = fstat(lock, &st) == -1 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
	while (error == 0 && flock(lock, LOCK_EX) == -1)
		if (errno != EINTR)
			error = errno;
	if (error != 0) {
		close(lock);
		errno = error;
		return -1;
	}
	return lock;
}

// "limit.tmp", and the "limit.PID.tmp" that earlier versions wrote.
bool is_temporary(std::string_view name)
{
	std::string_view stem = paths::limit_name;
	return name.starts_with(stem) && name.substr(stem.size()).starts_with('.') &&
	       name.ends_with(".tmp");
}

// Removes what stores that died before their rename left behind (never the lock file,
// which stays for good). Only called under the lock, so no temporary found here belongs
// to a store still at work.
void remove_leftovers(int dir)
{
	int listing_fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (listing_fd == -1)
		return;
	DIR *listing = fdopendir(listing_fd);
	if (listing == nullptr) {
		close(listing_fd);
		return;
	}
	while (struct dirent *entry = readdir(listing))
		if (is_temporary(entry->d_name))
			(void)unlinkat(dir, entry->d_name, 0); // a directory by that name stays
	closedir(listing);
}

// Creates the temporary file, exclusively and never through a link, root's alone until
// it gets its final mode: nobody can open it for writing before the rename. One that the
// listing above missed is removed and the open retried.
int open_temporary(int dir)
{
	const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
	int fd = openat(dir, paths::limit_temporary, flags, 0600);
	if (fd == -1 && errno == EEXIST && unlinkat(dir, paths::limit_temporary, 0) == 0)
		fd = openat(dir, paths::limit_temporary, flags, 0600);
	return fd;
}

// The limit file that the store replaces, when a regular file stands there: its owner,
// group and permission bits pass to the new file. A link or anything else at the path is
// replaced without being followed, and the new file is a first one.
// 0 with *found set or cleared; -1 when the path cannot be examined.
int examine_old_file(int dir, struct stat *old, bool *found)
{
	*found = false;
	if (fstatat(dir, paths::limit_name, old, AT_SYMLINK_NOFOLLOW) == -1)
		return errno == ENOENT ? 0 : -1;
	*found = S_ISREG(old->st_mode);
	return 0;
}

// Gives the new file the old one's owner and group (only root can) and permission bits,
// so that a store never locks out readers that could read the limit before. A first file
// is readable by everyone, whatever the umask: the daemon and `status` must see one limit.
int set_attributes(int fd, const struct stat *old)
{
	if (old == nullptr)
		return fchmod(fd, first_file_mode);
	if (geteuid() == 0 && fchown(fd, old->st_uid, old->st_gid) == -1)
		return -1;
	return fchmod(fd, old->st_mode & 0777);
}

// Writes the temporary file in full and flushes it to the disk; -1 with errno set, and
// nothing left behind, on failure.
int write_temporary(int dir, long value, const struct stat *old)
{
	int fd = open_temporary(dir);
	if (fd == -1)
		return -1;
	char content[32];
	int length = snprintf(content, sizeof content, "%ld\n", value);
	bool failed = write_all(fd, content, static_cast<size_t>(length)) == -1 ||
	              set_attributes(fd, old) == -1 || fsync(fd) == -1;
	int saved = errno;
	if (close(fd) == -1 && !failed) {
		failed = true;
		saved = errno;
	}
	if (failed) {
		(void)unlinkat(dir, paths::limit_temporary, 0);
		errno = saved;
		return -1;
	}
	return 0;
}

// The store proper, under the lock; -1 with errno set on failure.
int store_in_folder(int dir, long value)
{
	remove_leftovers(dir);
	struct stat old;
	bool found;
	if (examine_old_file(dir, &old, &found) == -1)
		return -1;
	if (write_temporary(dir, value, found ? &old : nullptr) == -1)
		return -1;
	// The rename replaces whatever stands at the limit path, a symbolic link included,
	// without following it; readers see the old file or the new one, never a part.
	if (renameat(dir, paths::limit_temporary, dir, paths::limit_name) == -1) {
		int saved = errno;
		(void)unlinkat(dir, paths::limit_temporary, 0);
		errno = saved;
		return -1;
	}
	// The rename lives in the folder: only once the folder is flushed does the new limit
	// survive a power cut.
	return fsync(dir);
}

} // namespace

int limit_from_text(const char *text, size_t size)
{
	limit_scan scan;
	scan_feed(scan, text, size);
	return scan_result(scan);
}

int read_limit()
{
	// Non-blocking, so that a FIFO planted at the path cannot stall a reader; only a
	// regular file is read at all, and never through a symbolic link at the file, at its
	// folder or above: the store refuses such a folder, so a limit behind one is no
	// limit that setlimit could change.
	int fd = open(paths::limit_file, O_RDONLY | O_NONBLOCK | O_NOFOLLOW_ANY | O_CLOEXEC);
	if (fd == -1)
		return limit_max;
	struct stat st;
	if (fstat(fd, &st) == -1 || !S_ISREG(st.st_mode)) {
		close(fd);
		return limit_max;
	}
	limit_scan scan;
	char chunk[4096];
	for (;;) {
		ssize_t n = read(fd, chunk, sizeof chunk);
		if (n == -1 && errno == EINTR)
			continue;
		if (n <= 0 || scan_feed(scan, chunk, static_cast<size_t>(n)))
			break;
	}
	close(fd);
	return scan_result(scan);
}

int write_limit(long value)
{
	int dir = open_folder();
	if (dir == -1)
		return store_failed();
	int lock = lock_stores(dir);
	int result = lock == -1 ? -1 : store_in_folder(dir, value);
	int saved = errno;
	if (lock != -1)
		close(lock); // releases the lock
	close(dir);
	if (result == -1) {
		errno = saved;
		return store_failed();
	}
	return 0;
}
