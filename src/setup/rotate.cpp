// The hourly rotation of the daemon's log, run by launchd without a shell. launchd opens
// a job's StandardErrorPath with O_APPEND, so every line the daemon writes lands at the
// file's end as it is at that moment: the log can be copied aside and emptied in place,
// and the daemon's next line lands at its start. No restart, no charging blip, no pause
// missed at sleep.
#include "setup/setup.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "setup/names.h"

namespace
{

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

// An archive in the way of the shift must be a file or a link, which the shift drops or
// renames without opening; a folder would take the rename. 0, or -1 after a refusal.
int check_archive(const place &logs, const char *name)
{
	struct stat st;
	if (fstatat(logs.fd, name, &st, AT_SYMLINK_NOFOLLOW) == -1)
		return errno == ENOENT ? 0 : failed(logs / name, "cannot be examined");
	if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))
		return 0;
	return refuse({logs / name, "is not a plain file: remove it"});
}

// Under the lock, with the log open and past its cap: the archives shift, the log is
// copied into a new .0, and emptied. 0, or -1 after saying why.
int rotate_log(const place &logs, const place &log)
{
	place archive;
	if (check_archive(logs, names::log_archive_0) == -1 ||
	    check_archive(logs, names::log_archive_1) == -1)
		return -1;
	if (unlinkat(logs.fd, names::log_archive_1, 0) == -1 && errno != ENOENT)
		return failed(logs / names::log_archive_1, "cannot be removed");
	if (renameat(logs.fd, names::log_archive_0, logs.fd, names::log_archive_1) == -1 &&
	    errno != ENOENT)
		return failed(logs / names::log_archive_0, "cannot be renamed");
	if (make_file(logs, names::log_archive_0, 0644, &archive) == -1)
		return -1;
	// The copy is flushed before the log is emptied, so that a power cut loses no line;
	// what the daemon wrote meanwhile is copied after, and the log emptied at once.
	off_t copied = 0;
	if (copy_to_end(log.fd, archive.fd, &copied) == -1 || fsync(archive.fd) == -1 ||
	    copy_to_end(log.fd, archive.fd, &copied) == -1 || ftruncate(log.fd, 0) == -1)
		return failed(log.path, "cannot be copied and emptied");
	say(log.path + ": " + std::to_string(copied) + " bytes moved to " + archive.path);
	return 0;
}

} // namespace

int setup_rotate()
{
	place logs, lock, log;
	finding found;
	struct stat st;
	int result = open_chain(std::string(names::log_parent) + "/" + names::log_folder, false,
	                        &logs, &found);
	if (result != 0)
		return result == 1 ? 0
		                   : (refuse(found), 1); // no logs' folder yet: nothing to rotate
	result = lock_logs(logs, false, &lock);
	if (result != 0)
		return result == 1 ? 0 : 1; // another run rotates now
	result = open_file(logs, names::log, O_RDWR, true, &log, &found);
	if (result == -1)
		return refuse(found), 1;
	if (result == 1)
		return 0; // no log yet
	if (fstat(log.fd, &st) == -1)
		return failed(log.path, "cannot be examined"), 1;
	if (st.st_size < names::rotate_at)
		return 0; // still below its cap
	return rotate_log(logs, log) == -1 ? 1 : 0;
}
