// The simulated Mac's run-loop timers: created, scheduled on the main run loop, fired
// when due (a repeating one keeps its schedule) and invalidated.
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "loop.h"
#include "objects.h"
#include "power.h"
#include "world.h"

namespace sim {

namespace {

std::vector<__CFRunLoopTimer *> &timers()
{
	static auto *list = new std::vector<__CFRunLoopTimer *>;
	return *list;
}

} // namespace

bool fire_due_timer(double t)
{
	for (__CFRunLoopTimer *timer : timers()) {
		if (!timer->scheduled || timer->fire > t)
			continue;
		double fired = timer->fire;
		timer->callout(timer, timer->context.info);
		if (timer->interval > 0) {
			// Later firings keep the original schedule; missed ones are skipped.
			double next = fired + timer->interval;
			while (next <= now())
				next += timer->interval;
			timer->fire = next;
		} else {
			timer->scheduled = false;
		}
		return true;
	}
	return false;
}

double next_timer()
{
	double next = never;
	for (__CFRunLoopTimer *timer : timers())
		if (timer->scheduled)
			next = std::min(next, timer->fire);
	return next;
}

std::vector<std::pair<double, double>> scheduled_timers()
{
	std::vector<std::pair<double, double>> scheduled;
	for (const __CFRunLoopTimer *timer : timers())
		if (timer->scheduled)
			scheduled.emplace_back(timer->interval, timer->tolerance);
	return scheduled;
}

} // namespace sim

using sim::misuse;

extern "C" {

void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode)
{
	if (rl != CFRunLoopGetCurrent() || !sim::is_object(timer, sim::cf_kind::timer, "CFRunLoopAddTimer") ||
	    !sim::is_default_mode(mode)) {
		misuse("CFRunLoopAddTimer with an unknown run loop, timer or mode");
		return;
	}
	auto &timers = sim::timers();
	if (std::find(timers.begin(), timers.end(), timer) != timers.end())
		return;
	sim::hold(timer);
	timer->scheduled = true;
	timers.push_back(timer);
}

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef allocator, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags flags, CFIndex order,
                                       CFRunLoopTimerCallBack callout, CFRunLoopTimerContext *context)
{
	(void)flags;
	(void)order;
	if (allocator != kCFAllocatorDefault || callout == nullptr)
		misuse("CFRunLoopTimerCreate with an allocator or callout the simulated Mac does not offer");
	if (sim::take_failure("CFRunLoopTimerCreate"))
		return nullptr;
	auto *timer = new __CFRunLoopTimer;
	sim::track_object(timer);
	timer->fire = fireDate;
	timer->interval = interval;
	timer->callout = callout;
	if (context != nullptr) {
		timer->context = *context;
		if (context->retain != nullptr)
			context->retain(context->info);
	}
	return timer;
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer)
{
	if (!sim::is_object(timer, sim::cf_kind::timer, "CFRunLoopTimerInvalidate"))
		return;
	auto &timers = sim::timers();
	auto found = std::find(timers.begin(), timers.end(), timer);
	timer->scheduled = false;
	if (found != timers.end()) {
		timers.erase(found);
		sim::unhold(timer);
	}
}

CFTimeInterval CFRunLoopTimerGetTolerance(CFRunLoopTimerRef timer)
{
	return sim::is_object(timer, sim::cf_kind::timer, "CFRunLoopTimerGetTolerance") ? timer->tolerance : 0;
}

void CFRunLoopTimerSetTolerance(CFRunLoopTimerRef timer, CFTimeInterval tolerance)
{
	if (!sim::is_object(timer, sim::cf_kind::timer, "CFRunLoopTimerSetTolerance"))
		return;
	if (timer->interval > 0)
		tolerance = std::min(tolerance, timer->interval / 2);
	timer->tolerance = std::max(0.0, tolerance);
}

} // extern "C"
