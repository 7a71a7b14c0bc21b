#include "support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace support {

std::string make_temp_dir(const char *prefix)
{
	std::string pattern = std::string("/tmp/") + prefix + ".XXXXXX";
	std::vector<char> buffer(pattern.begin(), pattern.end());
	buffer.push_back('\0');
	if (mkdtemp(buffer.data()) == nullptr)
		abort();
	chmod(buffer.data(), 0755);
	return buffer.data();
}

void remove_tree(const std::string &path)
{
	std::error_code ignored;
	std::filesystem::remove_all(path, ignored);
}

std::string make_root(const std::string &machine)
{
	std::string root = make_temp_dir("simmac");
	if (!machine.empty()) {
		std::filesystem::create_directories(root + "/Library/Application Support");
		write_file(root + "/machine", machine);
	}
	setenv("SIMMAC_ROOT", root.c_str(), 1);
	return root;
}

std::string make_mac(const std::string &machine, const std::string &limit)
{
	std::string root = make_root(machine);
	if (!limit.empty()) {
		std::filesystem::create_directories(root + "/Library/Application Support/Tamso");
		write_file(limit_path(root), limit);
	}
	return root;
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream text;
	text << in.rdbuf();
	return text.str();
}

void write_file(const std::string &path, const std::string &content)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << content;
}

bool exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

std::string limit_path(const std::string &root)
{
	return root + "/Library/Application Support/Tamso/limit";
}

std::vector<std::string> dir_entries(const std::string &path)
{
	std::vector<std::string> names;
	std::error_code error;
	for (const auto &entry : std::filesystem::directory_iterator(path, error))
		names.push_back(entry.path().filename().string());
	std::sort(names.begin(), names.end());
	return names;
}

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	std::string line;
	while (std::getline(in, line))
		lines.push_back(line);
	return lines;
}

std::vector<std::string> trace_lines(const std::string &root)
{
	return lines_of(read_file(root + "/trace"));
}

void clear_trace(const std::string &root)
{
	truncate((root + "/trace").c_str(), 0);
}

std::vector<std::string> filter(const std::vector<std::string> &lines,
                                const std::vector<std::string> &prefixes)
{
	std::vector<std::string> kept;
	for (const std::string &line : lines)
		for (const std::string &prefix : prefixes)
			if (line.rfind(prefix, 0) == 0) {
				kept.push_back(line);
				break;
			}
	return kept;
}

const char *helper_path()
{
	return TAMSO_HELPER;
}

uid_t unprivileged_uid()
{
	if (geteuid() != 0)
		return 0;
	struct passwd *nobody = getpwnam("nobody");
	return nobody != nullptr ? nobody->pw_uid : 65534;
}

std::string share_with(const std::string &root, uid_t uid)
{
	std::string program = root + "/.tamso-helper";
	std::filesystem::copy_file(helper_path(), program,
	                           std::filesystem::copy_options::overwrite_existing);
	chmod(program.c_str(), 0755);
	for (const auto &entry : std::filesystem::recursive_directory_iterator(root))
		lchown(entry.path().c_str(), uid, static_cast<gid_t>(-1));
	chown(root.c_str(), uid, static_cast<gid_t>(-1));
	return program;
}

namespace {

void drain(int fd, std::string *into)
{
	char buffer[4096];
	ssize_t n;
	while ((n = read(fd, buffer, sizeof buffer)) > 0)
		into->append(buffer, static_cast<size_t>(n));
}

} // namespace

run_result run(const std::string &root, const std::vector<std::string> &args,
               const run_options &options)
{
	background process = spawn(root, args, options);
	return finish(process, options.timeout);
}

background spawn(const std::string &root, const std::vector<std::string> &args,
                 const run_options &options, size_t err_room)
{
	int out_pipe[2], err_pipe[2];
	if (pipe2(out_pipe, O_CLOEXEC) == -1 || pipe2(err_pipe, O_CLOEXEC) == -1)
		abort();
	background process;
	if (err_room > 0) {
		// The smallest pipe the kernel gives, filled so that only err_room bytes fit.
		int size = fcntl(err_pipe[1], F_SETPIPE_SZ, 4096);
		if (size == -1 || static_cast<size_t>(size) <= err_room)
			abort();
		process.err_filler = static_cast<size_t>(size) - err_room;
		std::string filler(process.err_filler, '.');
		if (write(err_pipe[1], filler.data(), filler.size()) != static_cast<ssize_t>(filler.size()))
			abort();
	}
	std::vector<std::string> env = {"SIMMAC_ROOT=" + root, "TZ=UTC", "SIMMAC_CLOCK=virtual",
	                                "PATH=/usr/bin:/bin", "HOME=" + root};
	for (const std::string &extra : options.env) {
		std::string name = extra.substr(0, extra.find('='));
		std::erase_if(env, [&](const std::string &e) { return e.rfind(name + "=", 0) == 0; });
		env.push_back(extra);
	}
	std::vector<char *> argv;
	argv.push_back(const_cast<char *>("tamso-helper"));
	for (const std::string &arg : args)
		argv.push_back(const_cast<char *>(arg.c_str()));
	argv.push_back(nullptr);
	std::vector<char *> envp;
	for (std::string &e : env)
		envp.push_back(e.data());
	envp.push_back(nullptr);
	const char *program = options.program != nullptr ? options.program : helper_path();
	pid_t pid = fork();
	if (pid == -1)
		abort();
	if (pid == 0) {
		int null = open("/dev/null", O_RDONLY);
		dup2(null, 0);
		dup2(out_pipe[1], 1);
		dup2(err_pipe[1], 2);
		signal(SIGTERM, SIG_DFL);
		signal(SIGINT, SIG_DFL);
		sigset_t none;
		sigemptyset(&none);
		sigprocmask(SIG_SETMASK, &none, nullptr);
		if (options.uid != 0) {
			if (setgroups(0, nullptr) == -1 || setgid(options.uid) == -1 || setuid(options.uid) == -1)
				_exit(126);
		}
		execve(program, argv.data(), envp.data());
		_exit(127);
	}
	close(out_pipe[1]);
	close(err_pipe[1]);
	fcntl(out_pipe[0], F_SETFL, O_NONBLOCK);
	fcntl(err_pipe[0], F_SETFL, O_NONBLOCK);
	process.pid = pid;
	process.out = out_pipe[0];
	process.err = err_pipe[0];
	return process;
}

run_result finish(background &process, double timeout)
{
	run_result result;
	auto deadline = std::chrono::steady_clock::now() +
	                std::chrono::milliseconds(static_cast<long>(timeout * 1000));
	struct pollfd fds[2] = {{process.out, POLLIN, 0}, {process.err, POLLIN, 0}};
	int open_pipes = 2;
	while (open_pipes > 0) {
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
		    deadline - std::chrono::steady_clock::now());
		if (left.count() <= 0) {
			kill(process.pid, SIGKILL);
			break;
		}
		if (poll(fds, 2, static_cast<int>(left.count())) <= 0)
			continue;
		for (int i = 0; i < 2; i++) {
			if (fds[i].fd == -1 || fds[i].revents == 0)
				continue;
			std::string *into = i == 0 ? &result.out : &result.err;
			char buffer[4096];
			ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
			if (n > 0) {
				into->append(buffer, static_cast<size_t>(n));
			} else if (n == 0 || errno != EAGAIN) {
				fds[i].fd = -1;
				open_pipes--;
			}
		}
	}
	drain(process.out, &result.out);
	drain(process.err, &result.err);
	close(process.out);
	close(process.err);
	int status = 0;
	waitpid(process.pid, &status, 0);
	result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
	result.err.erase(0, std::min(process.err_filler, result.err.size()));
	process = background{};
	return result;
}

bool wait_until(const std::function<bool()> &done, double timeout)
{
	auto deadline = std::chrono::steady_clock::now() +
	                std::chrono::milliseconds(static_cast<long>(timeout * 1000));
	while (!done()) {
		if (std::chrono::steady_clock::now() >= deadline)
			return false;
		usleep(5000);
	}
	return true;
}

bool in_syscall(pid_t pid, long number, long first)
{
	std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/syscall"));
	long current;
	std::string argument;
	if (!(in >> current >> argument) || current != number)
		return false;
	return first == -1 || std::stol(argument, nullptr, 16) == first;
}

} // namespace support
