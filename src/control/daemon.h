// The daemon: the regulator on a 20-second timer, around sleep and wake, until a stop
// signal (SIGTERM, SIGINT, SIGHUP) switches charging back on.
#pragma once

#include <IOKit/IOKitLib.h>

// The power-management connection from the registration for system power
// notifications; 0 when the registration failed. Used to acknowledge sleep.
extern io_connect_t root_port;

inline constexpr double daemon_interval = 20.0;  // seconds between passes
inline constexpr double daemon_tolerance = 2.0;  // a tenth of it, so wake-ups can coalesce

// Sets up the timer, the power notifications and the stop signals, prints the start line
// and runs the main run loop. From the stop signals' set-up on, SIGPIPE is ignored, so a
// log line written to a pipe without a reader fails instead of ending the process.
// Returns 1 when the SMC cannot be opened (or the daemon cannot be set up); a stop signal
// ends the process from its handler: with 0 once charging is switched back on, with 1
// after the time-stamped line "failed to switch charging on at stop" when that switch
// fails. The first pass also says once when the charging state cannot be read.
int run_daemon();

// The system power callback: a pass after wake; before sleep, a pause of charging when
// a limit below 100 is in force, then the acknowledgement.
void power_cb(void *refcon, io_service_t service, uint32_t type, void *argument);
