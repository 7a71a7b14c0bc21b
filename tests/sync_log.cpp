// Preloaded into the program by a test: appends a line for each fsync and renameat the
// program makes to the file named by TAMSO_SYNC_LOG, so that the test can see what is
// flushed to the disk and in which order.
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

template <typename F> F real(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

std::string fd_path(int fd)
{
	std::string link = "/proc/self/fd/" + std::to_string(fd);
	char path[4096];
	ssize_t n = readlink(link.c_str(), path, sizeof path);
	return n > 0 ? std::string(path, static_cast<size_t>(n)) : "?";
}

std::string at_path(int dir, const char *name)
{
	if (name[0] == '/')
		return name;
	return (dir == AT_FDCWD ? std::string(".") : fd_path(dir)) + "/" + name;
}

// Straight to the kernel, past the simulated Mac's own open().
void log_line(const std::string &line)
{
	const char *log = getenv("TAMSO_SYNC_LOG");
	if (log == nullptr)
		return;
	int fd = static_cast<int>(
	    syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
	if (fd == -1)
		return;
	std::string text = line + "\n";
	(void)!write(fd, text.data(), text.size());
	close(fd);
}

} // namespace

extern "C" int fsync(int fd)
{
	static auto next = real<int (*)(int)>("fsync");
	int result = next(fd);
	log_line("fsync " + fd_path(fd));
	return result;
}

extern "C" int renameat(int from_dir, const char *from, int to_dir, const char *to)
{
	static auto next = real<int (*)(int, const char *, int, const char *)>("renameat");
	std::string line = "renameat " + at_path(from_dir, from) + " " + at_path(to_dir, to);
	int result = next(from_dir, from, to_dir, to);
	log_line(line);
	return result;
}
