// What the daemon assumes of the main run loop: power notifications, a repeating timer
// with a tolerance, and a signal source on the main queue, all served by CFRunLoopRun on
// the main thread. CFRunLoopRun does not return there, so each case runs in a child
// process that ends from inside a callout with an exit code and a line that says what it
// saw; a watchdog timer ends a child that waits in vain. Everything runs on the main
// thread, whose current run loop is the main run loop, as in the daemon.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <unistd.h>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOMessage.h>
#include <IOKit/pwr_mgt/IOPMLib.h>
#include <dispatch/dispatch.h>

namespace {

constexpr double watchdog_seconds = 10;

[[noreturn]] __attribute__((format(printf, 2, 3))) void finish(int code, const char *format, ...)
{
	va_list args;
	va_start(args, format);
	vfprintf(stderr, format, args);
	va_end(args);
	fputc('\n', stderr);
	exit(code);
}

void one_shot(double delay, CFRunLoopTimerCallBack callout, void *info = nullptr)
{
	CFRunLoopTimerContext context = {0, info, nullptr, nullptr, nullptr};
	CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
	    kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + delay, 0, 0, 0, callout, &context);
	if (timer == nullptr)
		finish(2, "CFRunLoopTimerCreate failed");
	CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
	CFRelease(timer); // the run loop keeps it
}

void watchdog(CFRunLoopTimerRef, void *)
{
	finish(3, "watchdog: nothing happened within %.0f seconds", watchdog_seconds);
}

// Runs the main run loop until a callout ends the process.
[[noreturn]] void run_main_loop()
{
	one_shot(watchdog_seconds, watchdog);
	CFRunLoopRun();
	finish(4, "CFRunLoopRun returned");
}

// Each child starts afresh (fork and exec), so no Core Foundation state is shared.
class MainRunLoop : public testing::Test {
protected:
	void SetUp() override
	{
		GTEST_FLAG_SET(death_test_style, "threadsafe");
	}
};

// --- power notifications ---

io_connect_t root_domain = IO_OBJECT_NULL;

void on_power(void *, io_service_t, uint32_t type, void *argument)
{
	// Should the Mac ask to sleep while the test runs, it is let go at once.
	if (type == kIOMessageCanSystemSleep || type == kIOMessageSystemWillSleep)
		IOAllowPowerChange(root_domain, reinterpret_cast<intptr_t>(argument));
}

void loop_turned(CFRunLoopTimerRef, void *)
{
	finish(0, "the main run loop runs with the power notification source");
}

[[noreturn]] void register_for_system_power()
{
	IONotificationPortRef port = nullptr;
	io_object_t notifier = IO_OBJECT_NULL;
	root_domain = IORegisterForSystemPower(nullptr, &port, on_power, &notifier);
	if (root_domain == IO_OBJECT_NULL)
		finish(1, "IORegisterForSystemPower gave no connection");
	if (port == nullptr || notifier == IO_OBJECT_NULL)
		finish(1, "IORegisterForSystemPower gave no notification port or notifier");
	CFRunLoopSourceRef source = IONotificationPortGetRunLoopSource(port);
	if (source == nullptr)
		finish(1, "the notification port has no run-loop source");
	CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
	one_shot(0.1, loop_turned);
	run_main_loop();
}

TEST_F(MainRunLoop, PowerNotificationSourceJoinsTheMainRunLoop)
{
	EXPECT_EXIT(register_for_system_power(), testing::ExitedWithCode(0),
	            "runs with the power notification source");
}

// --- timers ---

constexpr double interval = 0.3;
constexpr double tolerance = 0.03;
constexpr int firings = 4;
// How late a firing may be beyond its tolerance. A Mac that is a virtual machine on a
// shared host (a hosted CI runner) serves timers up to about a second late; the daemon's
// 20-second period does not mind, and a tighter bound would fail there for no fault.
constexpr double lateness = 1.0;
// Clock readings may round a firing a hair before its time.
constexpr double early = 0.002;

struct timer_run {
	CFAbsoluteTime start = 0;
	CFAbsoluteTime at[firings] = {};
	int count = 0;
};

void on_tick(CFRunLoopTimerRef, void *info)
{
	auto *run = static_cast<timer_run *>(info);
	run->at[run->count++] = CFAbsoluteTimeGetCurrent();
	if (run->count < firings)
		return;
	char offsets[128];
	int used = 0;
	bool ok = true;
	for (int i = 0; i < firings; i++) {
		double offset = run->at[i] - run->start;
		double due = i * interval;
		ok = ok && offset >= due - early && offset <= due + tolerance + lateness;
		used += snprintf(offsets + used, sizeof offsets - static_cast<size_t>(used),
		                 " %.3f", offset);
	}
	finish(ok ? 0 : 1, "%s: firings at%s seconds, due every %.1f from 0",
	       ok ? "on time" : "off time", offsets, interval);
}

[[noreturn]] void repeating_timer()
{
	static timer_run run;
	run.start = CFAbsoluteTimeGetCurrent();
	CFRunLoopTimerContext context = {0, &run, nullptr, nullptr, nullptr};
	CFRunLoopTimerRef timer =
	    CFRunLoopTimerCreate(kCFAllocatorDefault, run.start, interval, 0, 0, on_tick, &context);
	if (timer == nullptr)
		finish(2, "CFRunLoopTimerCreate failed");
	CFRunLoopTimerSetTolerance(timer, tolerance);
	if (CFRunLoopTimerGetTolerance(timer) != tolerance)
		finish(1, "tolerance %.3f read back as %.3f", tolerance,
		       CFRunLoopTimerGetTolerance(timer));
	CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
	run_main_loop();
}

TEST_F(MainRunLoop, RepeatingTimerFiresAtOnceThenAtItsInterval)
{
	EXPECT_EXIT(repeating_timer(), testing::ExitedWithCode(0), "on time: firings at");
}

// --- signals ---

struct signal_run {
	pthread_t main_thread;
	dispatch_source_t source;
};

void on_signal(void *context)
{
	auto *run = static_cast<signal_run *>(context);
	bool main_thread = pthread_equal(pthread_self(), run->main_thread) != 0;
	unsigned long count = dispatch_source_get_data(run->source);
	finish(main_thread && count >= 1 ? 0 : 1,
	       "SIGTERM reached its handler %s the main thread, count %lu",
	       main_thread ? "on" : "off", count);
}

void send_sigterm(CFRunLoopTimerRef, void *)
{
	kill(getpid(), SIGTERM);
}

[[noreturn]] void signal_source()
{
	static signal_run run;
	run.main_thread = pthread_self();
	// The source sees the signal; ignoring it keeps its default action from ending us.
	signal(SIGTERM, SIG_IGN);
	run.source = dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, SIGTERM, 0,
	                                    dispatch_get_main_queue());
	if (run.source == nullptr)
		finish(2, "dispatch_source_create failed");
	dispatch_set_context(run.source, &run);
	dispatch_source_set_event_handler_f(run.source, on_signal);
	dispatch_resume(run.source);
	one_shot(0.1, send_sigterm);
	run_main_loop();
}

TEST_F(MainRunLoop, IgnoredSignalReachesItsSourceOnTheMainQueue)
{
	EXPECT_EXIT(signal_source(), testing::ExitedWithCode(0),
	            "SIGTERM reached its handler on the main thread, count [1-9]");
}

} // namespace
