// The simulated Mac, driven from inside a test process: a machine built from directive
// text in memory (no files), its trace, its strictness counters and its clock.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace simmac {

// Replaces the process's machine with one built from machine-file directives. The clock
// becomes virtual; the trace starts empty. Paths under /Library still resolve inside
// $SIMMAC_ROOT.
void load(const std::string &directives);

// Every exchange since load() or clear_trace(), one line each, as in the trace file.
std::vector<std::string> trace();
void clear_trace();

// The 80-byte request records the SMC user client received since load(), in order.
std::vector<std::array<uint8_t, 80>> smc_requests();

// Live Core Foundation objects (timers and run-loop sources aside) and live IOKit
// service and notifier objects; misuse lines reported so far.
long live_objects();
long live_io_objects();
long misuses();

// The timers on the main run loop, as scheduled: their interval and tolerance in seconds.
struct timer_info {
	double interval;
	double tolerance;
};
std::vector<timer_info> timers();

// Moves the virtual clock on; the battery model follows.
void advance(double seconds);

// The machine as its file would show it now.
std::string machine_text();

// The error a machine file with this text has ("" when well formed), e.g. "line 3: ...".
std::string check(const std::string &directives);

// The default machine a new root is seeded with.
std::string default_machine();

// Makes the next `count` calls of the platform function named `call` fail the way that
// call fails on a Mac, for failures a machine file cannot describe:
// IOPSCopyPowerSourcesInfo, IOPSCopyPowerSourcesList, IOPSGetPowerSourceDescription,
// IOServiceMatching and CFRunLoopTimerCreate return NULL, IOServiceGetMatchingService and
// IORegisterForSystemPower return 0, dispatch_source_create returns NULL; renameat,
// unlinkat, mkdirat, symlinkat, fchown and ftruncate return -1 with errno EIO. False for
// a name it does not know. load() disarms every failure. A process started by a test is
// armed by SIMMAC_FAIL_NEXT, "CALL[:COUNT]" separated by commas, at its first such call.
bool fail_next(const std::string &call, int count = 1);

} // namespace simmac
