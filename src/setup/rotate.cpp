// The hourly rotation of the daemon's log, run by launchd without a shell. launchd opens
// a job's StandardErrorPath with O_APPEND, so every line the daemon writes lands at the
// file's end as it is at that moment: the log can be copied aside and emptied in place,
// and the daemon's next line lands at its start. No restart, no charging blip, no pause
// missed at sleep.
#include "setup/setup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "setup/names.h"

namespace {

// Copies `from` from `*offset` to its current end into `to`; 0, or -1 with errno set.
int copy_to_end(int from, int to, off_t *offset)
{
	char buffer[65536];
	for (;;) {
		ssize_t n = pread(from, buffer, sizeof buffer, *offset);
		if (n == -1 && errno == EINTR)
			continue;
		if (n <= 0)
			return static_cast<int>(n);
		for (ssize_t done = 0; done < n;) {
			ssize_t w = write(to, buffer + done, static_cast<size_t>(n - done));
			if (w == -1 && errno == EINTR)
				continue;
			if (w == -1)
				return -1;
			done += w;
		}
		*offset += n;
	}
}

// What a failure once the archives have moved down leaves, or one before they did: the
// log is as it was, and the next run tries again.
constexpr const char *shifted = "the archives moved down by one, the log is as it was";
constexpr const char *unshifted = "the archives and the log are as they were";

// Under the lock, with the log open and past its cap: the archives shift, the log is
// copied into a new .0, and emptied. 0, or -1 after saying why.
int rotate_log(const place &logs, const place &log)
{
	// The rename replaces the oldest archive; without a .0 the .1 stays.
	bool moved = renameat(logs.fd, names::log_archive_0, logs.fd, names::log_archive_1) == 0;
	if (!moved && errno != ENOENT)
		return failed(logs / names::log_archive_0, "cannot be renamed");
	const char *after = moved ? shifted : unshifted;
	place archive(openat(logs.fd, names::log_archive_0,
	                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600),
	              logs / names::log_archive_0);
	if (archive.fd == -1)
		return failed(archive.path, "cannot be made", after);
	// The copy is flushed before the log is emptied, so that a power cut loses no line
	// the file system has taken; what the daemon wrote meanwhile is copied after, and
	// the log emptied at once. A failure takes the new .0 back, so that no empty archive
	// pushes the previous one out at the next run.
	off_t copied = 0;
	if (fchown(archive.fd, 0, 0) == -1 || fchmod(archive.fd, 0644) == -1 ||
	    copy_to_end(log.fd, archive.fd, &copied) == -1 || fsync(archive.fd) == -1 ||
	    copy_to_end(log.fd, archive.fd, &copied) == -1 || ftruncate(log.fd, 0) == -1) {
		int saved = errno;
		(void)unlinkat(logs.fd, names::log_archive_0, 0); // the log keeps its lines
		errno = saved;
		return failed(log.path, "cannot be copied and emptied", after);
	}
	return say(log.path + ": " + std::to_string(copied) + " bytes moved to " + archive.path);
}

} // namespace

int setup_rotate()
{
	place logs, lock, log;
	struct stat st;
	int result = open_checked(names::log_dir, quiet_missing, &logs);
	if (result != 0)
		return result == 1 ? 0 : -1; // no logs' folder yet: the install makes it
	result = lock_file(logs, names::log_lock, false, &lock);
	if (result != 0)
		return result == 1 ? 0 : -1; // another run rotates now
	result = open_file(logs, names::log, O_RDWR, roots, &log);
	if (result != 0)
		return result == 1 ? 0 : -1; // no log yet
	if (fstat(log.fd, &st) == -1)
		return failed(log.path, "cannot be examined");
	if (st.st_size < names::rotate_at)
		return 0; // still below its cap
	return rotate_log(logs, log);
}
