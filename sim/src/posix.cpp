// The simulated Mac's file system and clock for the calls the program makes: paths that
// exist only on a Mac resolve inside the simulated Mac's root, and time() answers the
// simulated clock. These definitions stand in front of the C library's.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "state.h"

namespace {

template <typename F> F next_definition(F, const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using open_fn = int (*)(const char *, int, ...);

// The root's folder, opened once (O_PATH) for the opens that refuse links below it: an
// open and a close of it at every such open doubled the cost of a daemon's pass. Opened
// again when the root is another (an in-process test loaded a machine with another
// SIMMAC_ROOT). -1 with errno set when it cannot be opened.
int root_folder(open_fn real)
{
	static int fd = -1;
	static auto *path = new std::string; // lives past exit handlers
	const std::string &root = sim::root();
	if (fd != -1 && *path == root)
		return fd;
	if (fd != -1)
		close(fd);
	sim::low_descriptors_taken low; // kept for the process's life: never 0, 1 or 2
	fd = real(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
	*path = fd != -1 ? root : "";
	return fd;
}

// An open with O_NOFOLLOW_ANY, given the meaning it has on a Mac: ELOOP when any component
// of the path as the program named it is a symbolic link. Linux has no such flag, so the
// bit is taken out and the open goes through openat2 with RESOLVE_NO_SYMLINKS. A Mac path
// is resolved from the root's folder, so that the root's own location may be a link (a
// temporary folder often is) while nothing under it may.
int open_without_links(open_fn real, const char *path, int flags, mode_t mode)
{
	struct open_how how = {};
	how.flags = static_cast<unsigned>(flags & ~O_NOFOLLOW_ANY);
	how.mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? mode : 0;
	how.resolve = RESOLVE_NO_SYMLINKS;
	int fd;
	if (!sim::mac_only(path)) {
		fd = static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
	} else {
		int base = root_folder(real);
		if (base == -1)
			return -1;
		fd = static_cast<int>(syscall(SYS_openat2, base, path + 1, &how, sizeof how));
	}
	// Before Linux 5.6, or in a sandbox that refuses the call, every such open would fail
	// and every limit read as 100 without a word: say why, once.
	static bool said = false;
	if (fd == -1 && (errno == ENOSYS || errno == EPERM) && !said) {
		int saved = errno;
		said = true;
		fprintf(stderr, "simmac: openat2, which the simulated O_NOFOLLOW_ANY needs, failed: %s\n",
		        strerror(saved));
		errno = saved;
	}
	return fd;
}

int open_mapped(const char *name, const char *path, int flags, mode_t mode)
{
	static open_fn real = next_definition(static_cast<open_fn>(nullptr), name);
	if ((flags & O_NOFOLLOW_ANY) != 0 && path != nullptr)
		return open_without_links(real, path, flags, mode);
	std::string mapped = sim::map_path(path);
	return real(mapped.c_str(), flags, mode);
}

mode_t mode_argument(int flags, va_list args)
{
	return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...)
{
	va_list args;
	va_start(args, flags);
	mode_t mode = mode_argument(flags, args);
	va_end(args);
	return open_mapped("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	va_list args;
	va_start(args, flags);
	mode_t mode = mode_argument(flags, args);
	va_end(args);
	return open_mapped("open64", path, flags, mode);
}

int __open_2(const char *path, int flags)
{
	return open_mapped("open", path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
	return open_mapped("open64", path, flags, 0);
}

int mkdir(const char *path, mode_t mode)
{
	using mkdir_fn = int (*)(const char *, mode_t);
	static mkdir_fn real = next_definition(static_cast<mkdir_fn>(nullptr), "mkdir");
	return real(sim::map_path(path).c_str(), mode);
}

int rename(const char *from, const char *to)
{
	using rename_fn = int (*)(const char *, const char *);
	static rename_fn real = next_definition(static_cast<rename_fn>(nullptr), "rename");
	return real(sim::map_path(from).c_str(), sim::map_path(to).c_str());
}

int unlink(const char *path)
{
	using unlink_fn = int (*)(const char *);
	static unlink_fn real = next_definition(static_cast<unlink_fn>(nullptr), "unlink");
	return real(sim::map_path(path).c_str());
}

int execl(const char *path, const char *arg, ...)
{
	std::vector<char *> argv;
	argv.push_back(const_cast<char *>(arg));
	va_list args;
	va_start(args, arg);
	while (char *next = va_arg(args, char *))
		argv.push_back(next);
	va_end(args);
	argv.push_back(nullptr);
	std::string mapped = sim::map_path(path);
	sim::flush_trace(); // the new program's lines come after this one's
	return execv(mapped.c_str(), argv.data());
}

// The install tool's file calls, each of which a test can make fail (simmac::fail_next).
#define SIMMAC_FAULTABLE(name, signature, arguments)                                       \
	int name signature                                                                 \
	{                                                                                  \
		using real_fn = int(*) signature;                                          \
		static real_fn real = next_definition(static_cast<real_fn>(nullptr), #name); \
		if (sim::take_failure(#name)) {                                            \
			errno = EIO;                                                       \
			return -1;                                                         \
		}                                                                          \
		return real arguments;                                                     \
	}
SIMMAC_FAULTABLE(renameat, (int from_dir, const char *from, int to_dir, const char *to),
                 (from_dir, from, to_dir, to))
SIMMAC_FAULTABLE(unlinkat, (int dir, const char *path, int flags), (dir, path, flags))
SIMMAC_FAULTABLE(mkdirat, (int dir, const char *path, mode_t mode), (dir, path, mode))
SIMMAC_FAULTABLE(symlinkat, (const char *target, int dir, const char *path), (target, dir, path))
SIMMAC_FAULTABLE(fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group))
SIMMAC_FAULTABLE(ftruncate, (int fd, off_t length), (fd, length))
#undef SIMMAC_FAULTABLE

time_t time(time_t *result)
{
	time_t now = static_cast<time_t>(std::floor(sim::now() + 978307200.0));
	if (result != nullptr)
		*result = now;
	return now;
}

} // extern "C"
