// The simulated Mac's state in this process, shared by the files that keep it: the world
// (the machine and its lock), the root, the trace, and the clock with the battery model.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "world.h"

namespace sim {

struct file_identity {
	dev_t dev = 0;
	ino_t ino = 0;
	long long mtime_ns = 0;
	off_t size = -1;
	bool operator==(const file_identity &) const = default;
};

struct world_state {
	bool started = false;
	bool memory = false;
	std::string root;
	machine m;
	bool loaded = false;
	file_identity seen;
	int trace_fd = -1;
	bool trace_buffered = false; // virtual time: lines wait in trace_buffer
	std::string trace_buffer;
	std::string root_error; // why the root cannot be used; "" when it can
	std::string setting_error; // why SIMMAC_CLOCK or SIMMAC_EPOCH cannot be used; "" when both can
	int lock_fd = -1; // machine.lock, open for the process's life
	std::vector<std::string> memory_trace;
	std::vector<std::array<uint8_t, 80>> memory_requests;
	bool virtual_clock = false;
	double clock = 0;
	bool asleep = false;
	bool loop_started = false;
	double loop_start = 0;
	std::string last_row;
	bool last_row_known = false;
	long misuses = 0;
	bool error_traced = false;
};

world_state &w();
// Reads the environment and makes the root ready, once per process.
void start();

// Descriptors 0, 1 and 2, taken for as long as one of these lives where the process has
// them closed, so that no file the stand-in opens for itself gets one: a program started
// with standard output closed must meet EBADF on its first write, as on a Mac, not write
// into the machine's lock or the trace (root.cpp).
struct low_descriptors_taken {
	int taken[3] = {-1, -1, -1};
	low_descriptors_taken();
	~low_descriptors_taken();
	low_descriptors_taken(const low_descriptors_taken &) = delete;
	low_descriptors_taken &operator=(const low_descriptors_taken &) = delete;
};

// The root (root.cpp).
std::string default_root();
void make_dirs(const std::string &path);
bool write_file(const std::string &path, const std::string &content, mode_t mode);
// Opens ROOT/name, one of the stand-in's own files that it appends to or locks (trace,
// history, lock), with `flags`, creating it when missing. A file it creates is 0644 whatever
// the umask and has the root folder's owner and group, so that a run as root on a user's
// root leaves the user files it can use; a file that exists keeps its own.
int open_own_file(const std::string &name, int flags);
bool read_file(const std::string &path, std::string *content);
bool seed(const std::string &root);
std::string prepare_root(const std::string &root);
void report_root(const std::string &root, const std::string &why);

// The trace (trace.cpp).
void forget_parents_lines();

// The clock and the battery model (clock.cpp).
double real_now();
// The CFAbsoluteTime at which a virtual clock starts when SIMMAC_EPOCH holds `text`
// (seconds since 1970-01-01 00:00:00 UTC: an optional '-' and decimal digits, at most
// 2^53 either way, so that the clock holds it exactly). "" on success; otherwise why
// not, and `clock` is untouched.
std::string read_epoch(const char *text, double *clock);
bool advance_battery(machine &m, double to);
void note_history(machine &m, double at);

} // namespace sim
