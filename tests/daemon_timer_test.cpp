// The daemon's pass timer, seen from inside the process: it repeats every 20 seconds and
// allows the platform 2 seconds of slack, so that its wake-ups can coalesce with others.
#include <gtest/gtest.h>
#include <simmac/simmac.h>

#include <cstdio>
#include <cstdlib>

#include "control/daemon.h"
#include "memory_mac.h"

namespace {

// Runs as the process ends, after the stop signal has ended the daemon.
void print_timers()
{
	for (const simmac::timer_info &timer : simmac::timers())
		fprintf(stderr, "timer interval %g tolerance %g\n", timer.interval, timer.tolerance);
}

class DaemonTimer : public memory_mac_test {};

TEST_F(DaemonTimer, RepeatsEveryTwentySecondsWithATwoSecondTolerance)
{
	EXPECT_EXIT(
	    {
		    load("smc present\nkey CHTE 4 ui32 00000000\npower ac\n"
		         "source B current=50 max=100\nregister ok\nat 30 signal TERM\n");
		    atexit(print_timers);
		    run_daemon();
	    },
	    testing::ExitedWithCode(0), "started \\(key CHTE\\)\ntimer interval 20 tolerance 2\n$");
}

} // namespace
