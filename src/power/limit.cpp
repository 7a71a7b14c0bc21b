// The charge limit store. Readers open the file anew each time; the writer replaces it
// with a rename so that a running daemon never sees it empty or half written.
#include "power/limit.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "power/pathnames.h"

namespace {

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

// Creates the temporary file beside the limit, exclusively and never through a link.
// A leftover of an earlier process that had the same pid is removed and the open retried.
int open_temporary(const char *path)
{
	const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
	int fd = open(path, flags, 0666);
	if (fd == -1 && errno == EEXIST && unlink(path) == 0)
		fd = open(path, flags, 0666);
	return fd;
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
	// regular file is read at all.
	int fd = open(paths::limit_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
	// An existing directory is the normal case; any other failure shows at the open.
	(void)mkdir(paths::limit_dir, 0755);

	char temporary[128];
	snprintf(temporary, sizeof temporary, "%s.%ld.tmp", paths::limit_file,
	         static_cast<long>(getpid()));
	int fd = open_temporary(temporary);
	if (fd == -1) {
		perror(paths::limit_file);
		return -1;
	}

	char content[32];
	int length = snprintf(content, sizeof content, "%ld\n", value);
	int failed = write_all(fd, content, static_cast<size_t>(length)) == -1 || fsync(fd) == -1;
	int saved = errno;
	if (close(fd) == -1 && !failed) {
		failed = 1;
		saved = errno;
	}
	// rename replaces whatever stands at the limit path, a symbolic link included,
	// without following it.
	if (!failed && rename(temporary, paths::limit_file) == -1) {
		failed = 1;
		saved = errno;
	}
	if (failed) {
		errno = saved;
		perror(paths::limit_file);
		(void)unlink(temporary);
		return -1;
	}
	return 0;
}
