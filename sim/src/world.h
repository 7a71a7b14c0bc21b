// The simulated Mac in this process: the machine as of now, its clock, its trace and its
// files.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "machine.h"

namespace sim {

// Runs `change` on the machine, current as of now: in real-clock mode under the
// machine file's lock, reloaded if another process changed it, the battery brought up
// to date, and saved if `change` returns true. Returns false when there is no usable
// machine (malformed file), without calling `change`.
bool with_machine_do(bool (*change)(void *context, machine &m), void *context);
template <typename F> bool with_machine(F &&change)
{
	// No std::function: a daemon changes the machine a few times every pass, and a lambda
	// that captures more than two references would cost a heap allocation each time.
	using callable = std::remove_reference_t<F>;
	return with_machine_do([](void *context, machine &m) -> bool { return (*static_cast<callable *>(context))(m); },
	                       const_cast<void *>(static_cast<const void *>(&change)));
}

// Appends a line to the trace. In virtual time the lines collect in a buffer that
// flush_trace() writes out; in real time each is written at once.
void trace(std::string_view line);
void flush_trace();
void misuse(const std::string &what);

double now(); // CFAbsoluteTime of the simulated clock
bool virtual_clock();
void advance_clock(double to); // virtual clock only; moves the battery model along
bool asleep();
void set_asleep(bool value);
void set_loop_started();       // history's zero and the events' zero
double loop_start();

const std::string &root();
bool mac_only(const char *path);         // a path that exists only on a Mac
std::string map_path(const char *path); // Mac-only paths resolve inside the root
void write_limit_file(long value);       // as `setlimit` stores it

// Memory-only machine for in-process tests (no files, virtual clock).
void use_memory_machine(const std::string &text);
bool memory_mode();
std::vector<std::string> &memory_trace();
std::vector<std::array<uint8_t, 80>> &memory_requests();

// Counts for the strictness checks.
long live_cf_objects();
long live_io_objects();
long misuse_count();


// True (and one armed failure used up) when a test armed a failure of `call`.
bool take_failure(const char *call);

} // namespace sim
