// The simulated Mac's run loop in parts: the loop itself with the machine's events
// (runloop.cpp), its signal sources (signals.cpp), its timers (timers.cpp) and the sleep
// sequence of the system power messages (system_power.cpp).
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cmath>

namespace sim {

constexpr double never = INFINITY;

bool is_default_mode(CFRunLoopMode mode);

// Hands every queued signal to its source's handler, on this (the main) thread.
void deliver_signals();
// Waits in the kernel until a watched signal comes or `timeout` seconds pass.
void wait_for_signal(double timeout);

// Fires one timer due at `t`; false when none is.
bool fire_due_timer(double t);
// When the next scheduled timer is due; never when none is.
double next_timer();

// Starts a sleep of `seconds`: an idle sleep asks can-sleep first, a forced one does not.
void begin_sleep(long seconds, bool forced);
// Moves the sleep sequence on when its acknowledgement came or its time ran out.
bool step_sleep();
// True when no sleep is under way.
bool sleep_idle();
// When the sleep sequence next needs the loop; never when it waits for nothing.
double sleep_due();

} // namespace sim
