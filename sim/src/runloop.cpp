// The simulated Mac's main run loop and the machine's scheduled events, on either clock.
// In real time it waits in the kernel (ppoll) until the next due item or a signal; in
// virtual time it jumps the clock to the next due item.
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "loop.h"
#include "objects.h"
#include "power.h"
#include "world.h"

namespace sim {

namespace {

struct loop_state {
	bool stop = false;
	bool ran = false;
	std::vector<sim_event> events;
	size_t next_event = 0;
	int jumps_unchecked = 0; // virtual-time jumps since the last look for signals
	bool signal_sent = false; // a signal event ran: look for it at once
};

loop_state &loop()
{
	static auto *state = new loop_state;
	return *state;
}

constexpr int jumps_per_look = 16;

void run_event(const sim_event &event)
{
	loop_state &l = loop();
	switch (event.kind) {
	case event_kind::sleep:
		begin_sleep(event.arg, event.forced);
		break;
	case event_kind::plug:
	case event_kind::unplug:
		with_machine([&](machine &m) {
			m.power = event.kind == event_kind::plug ? power_mode::ac : power_mode::battery;
			return true;
		});
		break;
	case event_kind::limit:
		write_limit_file(event.arg);
		break;
	case event_kind::reset:
		with_machine([](machine &m) {
			reset_inhibit_keys(m);
			trace("reset");
			return true;
		});
		break;
	case event_kind::signal:
		// A signal with its default action ends the process inside kill().
		flush_trace();
		l.signal_sent = true;
		kill(getpid(), static_cast<int>(event.arg));
		break;
	}
}

double event_time(const sim_event &event)
{
	return loop_start() + event.at;
}

// The next event that may run now: a sleep waits for the previous one to end.
const sim_event *pending_event()
{
	loop_state &l = loop();
	if (l.next_event >= l.events.size())
		return nullptr;
	const sim_event &event = l.events[l.next_event];
	if (event.kind == event_kind::sleep && !sleep_idle())
		return nullptr;
	return &event;
}

// Runs one due item; false when nothing is due.
bool step_due()
{
	loop_state &l = loop();
	if (step_sleep())
		return true;
	double t = now();
	const sim_event *event = pending_event();
	if (event != nullptr && event_time(*event) <= t) {
		l.next_event++;
		run_event(*event);
		return true;
	}
	if (asleep())
		return false; // no timer fires while the Mac sleeps
	return fire_due_timer(t);
}

// Whether a signal that ends a daemon is scheduled. Event times count from the run loop's
// start, so every event of the machine is still ahead when the loop starts.
bool stop_ahead(const std::vector<sim_event> &events)
{
	for (const sim_event &event : events)
		if (event.kind == event_kind::signal &&
		    (event.arg == SIGTERM || event.arg == SIGINT || event.arg == SIGHUP))
			return true;
	return false;
}

// A virtual clock with no stop ahead would jump from pass to pass for ever, filling the
// trace as fast as a core can: the run ends before it starts, saying what to add.
[[noreturn]] void refuse_endless_run()
{
	std::string line = "simmac: the virtual clock would run for ever: add a stop event such as "
	                   "'at 86400 signal TERM' to " + root() + "/machine\n";
	(void)!::write(2, line.data(), line.size());
	exit(1);
}

double next_due()
{
	double next = sleep_due();
	if (const sim_event *event = pending_event())
		next = std::min(next, event_time(*event));
	if (!asleep())
		next = std::min(next, next_timer()); // no timer fires while the Mac sleeps
	return next;
}

} // namespace

bool is_default_mode(CFRunLoopMode mode)
{
	std::string text = string_text(mode);
	return text == "kCFRunLoopDefaultMode" || text == "kCFRunLoopCommonModes";
}

bool loop_ran()
{
	return loop().ran;
}

} // namespace sim

using sim::misuse;

extern "C" {

const CFRunLoopMode kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");

const CFRunLoopMode kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");

const CFTimeInterval kCFAbsoluteTimeIntervalSince1970 = 978307200.0;

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void)
{
	return sim::now();
}

CFRunLoopRef CFRunLoopGetCurrent(void)
{
	static auto *main_loop = [] {
		auto *rl = new __CFRunLoop;
		rl->immortal = true;
		return rl;
	}();
	return main_loop;
}

CFRunLoopRef CFRunLoopGetMain(void)
{
	return CFRunLoopGetCurrent();
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode)
{
	if (rl != CFRunLoopGetCurrent() || source == nullptr || !sim::is_default_mode(mode)) {
		misuse("CFRunLoopAddSource with an unknown run loop, source or mode");
		return;
	}
	if (source->attached)
		return;
	sim::hold(source); // the run loop retains it
	source->attached = true;
}

void CFRunLoopStop(CFRunLoopRef rl)
{
	if (rl == CFRunLoopGetCurrent())
		sim::loop().stop = true;
}

void CFRunLoopRun(void)
{
	sim::loop_state &l = sim::loop();
	l.ran = true;
	l.stop = false;
	l.next_event = 0;
	l.jumps_unchecked = sim::jumps_per_look; // the first round looks
	sim::set_loop_started();
	sim::with_machine([&](sim::machine &m) {
		l.events = m.events;
		return false;
	});
	std::stable_sort(l.events.begin(), l.events.end(),
	                 [](const sim::sim_event &a, const sim::sim_event &b) { return a.at < b.at; });
	bool virtual_time = sim::virtual_clock();
	// An in-process test's machine has no run to end: its loop stops on the test's timer.
	if (virtual_time && !sim::memory_mode() && !sim::stop_ahead(l.events))
		sim::refuse_endless_run();
	while (!l.stop) {
		// In virtual time a look for signals (a system call) comes every few jumps, and at
		// once after a signal event; a signal from outside still gets its chance.
		bool look = !virtual_time || l.signal_sent || l.jumps_unchecked >= sim::jumps_per_look;
		if (look && !sim::asleep()) {
			l.signal_sent = false;
			l.jumps_unchecked = 0;
			sim::deliver_signals();
		}
		if (l.stop || sim::step_due())
			continue;
		double next = sim::next_due();
		if (virtual_time && next != sim::never) {
			sim::advance_clock(next);
			l.jumps_unchecked++;
			continue;
		}
		sim::wait_for_signal(next == sim::never ? sim::never : next - sim::now());
		l.jumps_unchecked = sim::jumps_per_look; // woken, perhaps by a signal
	}
}

} // extern "C"
