// Helpers shared by the tests: fresh simulated-Mac roots, runs of the built program and
// reading back what it left behind.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace support {

// A fresh, empty temporary folder (removed by remove_tree).
std::string make_temp_dir(const char *prefix = "tamso");
void remove_tree(const std::string &path);

// A fresh simulated-Mac root; with `machine` non-empty, its machine file (and the
// Application Support folder a Mac always has). Also exported as SIMMAC_ROOT for
// in-process tests.
std::string make_root(const std::string &machine = "");

// make_root, with the limit file holding `limit` unless it is empty.
std::string make_mac(const std::string &machine, const std::string &limit = "");

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool exists(const std::string &path);

// The limit file inside a root.
std::string limit_path(const std::string &root);

// The names in a directory, sorted, without "." and ".."; empty when it cannot be read.
std::vector<std::string> dir_entries(const std::string &path);

// The trace file's lines, and emptying it between steps.
std::vector<std::string> trace_lines(const std::string &root);
void clear_trace(const std::string &root);

// Only the lines of the trace that start with one of the prefixes.
std::vector<std::string> filter(const std::vector<std::string> &lines,
                                const std::vector<std::string> &prefixes);

struct run_result {
	int code = -1;       // exit status, or 128 + signal when killed
	std::string out;
	std::string err;
};

struct run_options {
	std::vector<std::string> env; // extra NAME=VALUE entries
	uid_t uid = 0;                // run as this user (0: as the caller)
	const char *program = nullptr; // another binary than the built tamso-helper
	double timeout = 60;          // seconds before the run is killed
};

// Runs the program with `args` on the simulated Mac at `root`, with TZ=UTC and a
// virtual clock unless the options say otherwise; stdin is /dev/null.
run_result run(const std::string &root, const std::vector<std::string> &args,
               const run_options &options = {});

// The built program.
const char *helper_path();

// An unprivileged user to drop to, or 0 when the tests cannot switch users (not root).
uid_t unprivileged_uid();

// Makes a root usable by `uid`: a copy of the program beside it and ownership of the
// whole root. Returns the path of the copied program.
std::string share_with(const std::string &root, uid_t uid);

// Splits text into lines (without their newlines).
std::vector<std::string> lines_of(const std::string &text);

// A run of the program in the background, for tests that act on it while it runs.
struct background {
	pid_t pid = -1;
	int out = -1;          // read ends of its standard output and standard error
	int err = -1;
	size_t err_filler = 0; // bytes the test put into the error pipe ahead of the program
};

// Starts the program as run() does and returns at once. SIGTERM and SIGINT start with
// their default actions and no signal is blocked, whatever the test process inherited.
// With `err_room` nonzero, standard error is a one-page pipe that already holds all but
// `err_room` bytes: the program can write that much, and its next write to standard error
// blocks until finish() reads, so that a test can catch it inside the call that logs.
background spawn(const std::string &root, const std::vector<std::string> &args,
                 const run_options &options = {}, size_t err_room = 0);

// Reads the program's output until it ends and reaps it, killing it after `timeout`
// seconds. The result is as run() gives it, without the filler of spawn().
run_result finish(background &process, double timeout = 60);

// Polls `done` every 5 ms until it holds; false when `timeout` seconds pass first.
bool wait_until(const std::function<bool()> &done, double timeout = 10);

// True while the process is blocked in system call `number` (SYS_write, SYS_flock, ...)
// with first argument `first` (any, when -1), as /proc/PID/syscall shows it.
bool in_syscall(pid_t pid, long number, long first = -1);

} // namespace support
