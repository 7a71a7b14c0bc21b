// The daemon. Set-up is a numbered sequence; once the run loop runs, nothing is fatal and
// every failure is retried at the next pass.
#include "control/daemon.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOMessage.h>
#include <IOKit/pwr_mgt/IOPMLib.h>
#include <dispatch/dispatch.h>

#include "control/regulator.h"
#include "power/limit.h"
#include "smc/charge.h"
#include "smc/smc.h"

io_connect_t root_port = 0;

namespace {

void timer_cb(CFRunLoopTimerRef, void *)
{
	evaluate();
}

// SIGTERM, SIGINT or SIGHUP: hand charging back and end. A switch-on that fails may leave
// the battery paused with nobody to resume it, so it is logged and the exit status is 1,
// which launchctl print and a shell show. SIGHUP is among them because a daemon run by
// hand gets it when its terminal closes.
void stop_cb(void *)
{
	if (set_charging_inhibited(false) == -1) {
		log_stamp();
		fputs("failed to switch charging on at stop\n", stderr);
		fflush(stderr); // written out before the process ends, whatever the buffering
		exit(1);
	}
	exit(0);
}

void register_power()
{
	IONotificationPortRef port = nullptr;
	io_object_t notifier = IO_OBJECT_NULL; // never used: the daemon never deregisters
	root_port = IORegisterForSystemPower(nullptr, &port, power_cb, &notifier);
	// Without the registration the daemon runs on timer and signals alone.
	if (root_port == IO_OBJECT_NULL)
		return;
	CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
	                   kCFRunLoopDefaultMode);
}

// Ignores the signal's default action and delivers it to stop_cb on the main queue.
int watch_signal(int signo)
{
	signal(signo, SIG_IGN);
	dispatch_source_t source = dispatch_source_create(
	    DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(signo), 0, dispatch_get_main_queue());
	if (source == nullptr) {
		// Without a source the signal could not stop the daemon cleanly.
		signal(signo, SIG_DFL);
		return -1;
	}
	dispatch_source_set_event_handler_f(source, stop_cb);
	dispatch_resume(source);
	return 0;
}

int start_timer()
{
	CFRunLoopTimerRef timer = CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent(),
	                                               daemon_interval, 0, 0, timer_cb, nullptr);
	if (timer == nullptr)
		return -1;
	CFRunLoopTimerSetTolerance(timer, daemon_tolerance);
	CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
	return 0;
}

} // namespace

void power_cb(void *, io_service_t, uint32_t type, void *argument)
{
	switch (type) {
	case kIOMessageSystemHasPoweredOn:
		evaluate();
		break;
	case kIOMessageSystemWillSleep:
		// Paused for the sleep whatever the percentage; the pass after wake decides afresh.
		if (read_limit() < limit_max)
			(void)set_charging_inhibited(true);
		IOAllowPowerChange(root_port, reinterpret_cast<intptr_t>(argument));
		break;
	case kIOMessageCanSystemSleep:
		// Sleep is never vetoed.
		IOAllowPowerChange(root_port, reinterpret_cast<intptr_t>(argument));
		break;
	default:
		break;
	}
}

int run_daemon()
{
	// 1. Each log line is written out as soon as it ends.
	setvbuf(stderr, nullptr, _IOLBF, 0);

	// 2. The SMC, eagerly, so that a Mac without it fails at once.
	if (smc_open() == -1) {
		fputs("cannot open AppleSMC\n", stderr);
		return 1;
	}

	// 3. Sleep and wake notifications.
	register_power();

	// 4. The stop signals. A log reader that has gone (standard error a pipe nobody
	// reads) must not end the daemon with charging as its last pass left it: with
	// SIGPIPE ignored, such a write just fails and the daemon runs on.
	if (watch_signal(SIGTERM) == -1 || watch_signal(SIGINT) == -1 ||
	    watch_signal(SIGHUP) == -1) {
		fputs("cannot watch stop signals\n", stderr);
		return 1;
	}
	signal(SIGPIPE, SIG_IGN);

	// 5. The pass timer: at once, then every 20 seconds.
	if (start_timer() == -1) {
		fputs("cannot create timer\n", stderr);
		return 1;
	}

	// 6. The start line, naming the key family.
	fprintf(stderr, "tamso-helper daemon started (key %s)\n",
	        smc_has_chte() ? "CHTE" : "CH0B/CH0C");

	// 7. The run loop; on the main thread it returns only when stopped.
	CFRunLoopRun();
	return 0;
}
