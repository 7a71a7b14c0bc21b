// The simulated Mac's main run loop: timers, the power notification port, signal sources
// on the main dispatch queue, and the machine's scheduled events, on either clock.
// In real time it waits in the kernel (ppoll) until the next due item or a signal.
#include <IOKit/IOMessage.h>
#include <IOKit/pwr_mgt/IOPMLib.h>
#include <dispatch/dispatch.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "objects.h"
#include "power.h"
#include "world.h"

struct dispatch_source_type_s {
	int unused;
};

namespace sim {

namespace {

struct signal_source : dispatch_source_s {
	int signo = 0;
	dispatch_function_t handler = nullptr;
	void *context = nullptr;
	void *handler_context = nullptr;
	long suspended = 1; // sources start inactive
	bool active = false;
	uintptr_t data = 0;
};

struct message {
	long id;
	uint32_t type;
	bool needs_ack;
	bool acked;
	bool expired;
};

enum class stage { idle, can_sleep, will_sleep, sleeping };

struct loop_state {
	std::vector<__CFRunLoopTimer *> timers;
	std::vector<signal_source *> sources;
	int signal_fd = -1;
	sigset_t watched;
	bool stop = false;
	bool ran = false;
	std::vector<sim_event> events;
	size_t next_event = 0;
	std::vector<message> messages;
	long next_id = 1;
	stage seq = stage::idle;
	long seq_id = 0;
	double deadline = 0;
	long sleep_length = 0;
	double wake_at = 0;
	int jumps_unchecked = 0; // virtual-time jumps since the last look for signals
	bool signal_sent = false; // a signal event ran: look for it at once
};

loop_state &loop()
{
	static auto *state = [] {
		auto *l = new loop_state;
		sigemptyset(&l->watched); // a sigset_t has no empty value of its own
		return l;
	}();
	return *state;
}

constexpr double ack_timeout = 30.0;
constexpr int jumps_per_look = 16;
constexpr double never = INFINITY;

const char *message_word(uint32_t type)
{
	switch (type) {
	case kIOMessageCanSystemSleep:
		return "can-sleep";
	case kIOMessageSystemWillSleep:
		return "will-sleep";
	case kIOMessageSystemWillPowerOn:
		return "will-power-on";
	case kIOMessageSystemHasPoweredOn:
		return "has-powered-on";
	}
	return "other";
}

bool is_default_mode(CFRunLoopMode mode)
{
	std::string text = string_text(mode);
	return text == "kCFRunLoopDefaultMode" || text == "kCFRunLoopCommonModes";
}

void activate(signal_source *source)
{
	loop_state &l = loop();
	source->active = true;
	source->handler_context = source->context;
	sigset_t one;
	sigemptyset(&one);
	sigaddset(&one, source->signo);
	sigaddset(&l.watched, source->signo);
	// Blocked signals are queued even while their disposition is to ignore them, so the
	// source sees them, as a kqueue does on a Mac.
	sigprocmask(SIG_BLOCK, &one, nullptr);
	l.signal_fd = signalfd(l.signal_fd, &l.watched, SFD_NONBLOCK | SFD_CLOEXEC);
}

const char *signal_word(int signo)
{
	switch (signo) {
	case SIGTERM:
		return "TERM";
	case SIGINT:
		return "INT";
	case SIGHUP:
		return "HUP";
	case SIGPIPE:
		return "PIPE";
	}
	return "OTHER";
}

// Hands every queued signal to its source's handler, on this (the main) thread.
void deliver_signals()
{
	loop_state &l = loop();
	if (l.signal_fd == -1)
		return;
	struct signalfd_siginfo info;
	while (read(l.signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
		int signo = static_cast<int>(info.ssi_signo);
		trace(std::string("signal ") + signal_word(signo));
		struct sigaction current;
		sigaction(signo, nullptr, &current);
		if (current.sa_handler == SIG_DFL) {
			// A source does not stop the default action: the process ends.
			sigset_t one;
			sigemptyset(&one);
			sigaddset(&one, signo);
			flush_trace();
			sigprocmask(SIG_UNBLOCK, &one, nullptr);
			raise(signo);
		}
		for (signal_source *source : l.sources)
			if (source->active && source->signo == signo && source->handler != nullptr) {
				source->data = 1;
				source->handler(source->handler_context);
			}
	}
}

void wait_for_signal(double timeout)
{
	loop_state &l = loop();
	struct pollfd fd = {l.signal_fd, POLLIN, 0};
	struct timespec ts;
	struct timespec *limit = nullptr;
	if (timeout != never) {
		timeout = std::max(0.0, timeout);
		ts.tv_sec = static_cast<time_t>(timeout);
		ts.tv_nsec = static_cast<long>((timeout - static_cast<double>(ts.tv_sec)) * 1e9);
		limit = &ts;
	}
	flush_trace();
	int n = ppoll(l.signal_fd == -1 ? nullptr : &fd, l.signal_fd == -1 ? 0 : 1, limit, nullptr);
	(void)n; // woken by a signal, the time, or an interruption: the loop looks again
}

void go_to_sleep()
{
	loop_state &l = loop();
	set_asleep(true);
	l.seq = stage::sleeping;
	l.wake_at = now() + static_cast<double>(l.sleep_length);
}

void ask(uint32_t type, stage next)
{
	loop_state &l = loop();
	l.seq = next;
	l.seq_id = send_power_message(type);
	l.deadline = now() + ack_timeout;
}

// Moves the sleep sequence on when its acknowledgement came or its time ran out.
bool step_sleep()
{
	loop_state &l = loop();
	if (l.seq == stage::can_sleep || l.seq == stage::will_sleep) {
		bool acked = acknowledged(l.seq_id);
		if (!acked && now() < l.deadline)
			return false;
		if (!acked) {
			trace("ack missing");
			for (message &m : l.messages)
				if (m.id == l.seq_id)
					m.expired = true;
		}
		if (l.seq == stage::can_sleep && client_listening())
			ask(kIOMessageSystemWillSleep, stage::will_sleep);
		else
			go_to_sleep();
		return true;
	}
	if (l.seq == stage::sleeping && now() >= l.wake_at) {
		l.seq = stage::idle;
		set_asleep(false);
		if (client_listening()) {
			send_power_message(kIOMessageSystemWillPowerOn);
			send_power_message(kIOMessageSystemHasPoweredOn);
		}
		return true;
	}
	return false;
}

void run_event(const sim_event &event)
{
	loop_state &l = loop();
	switch (event.kind) {
	case event_kind::sleep:
		l.sleep_length = event.arg;
		// Only an idle sleep is asked about; a forced one starts with will-sleep.
		if (!client_listening())
			go_to_sleep();
		else if (event.forced)
			ask(kIOMessageSystemWillSleep, stage::will_sleep);
		else
			ask(kIOMessageCanSystemSleep, stage::can_sleep);
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
	if (event.kind == event_kind::sleep && l.seq != stage::idle)
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
	for (__CFRunLoopTimer *timer : l.timers) {
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

double next_due()
{
	loop_state &l = loop();
	double next = never;
	if ((l.seq == stage::can_sleep || l.seq == stage::will_sleep) && !acknowledged(l.seq_id))
		next = std::min(next, l.deadline);
	if (l.seq == stage::sleeping)
		next = std::min(next, l.wake_at);
	if (const sim_event *event = pending_event())
		next = std::min(next, event_time(*event));
	if (!asleep())
		for (__CFRunLoopTimer *timer : l.timers)
			if (timer->scheduled)
				next = std::min(next, timer->fire);
	return next;
}

} // namespace

bool acknowledged(long id)
{
	for (const message &m : loop().messages)
		if (m.id == id)
			return m.acked;
	return false;
}

long send_power_message(uint32_t type)
{
	loop_state &l = loop();
	power_client &c = client();
	long id = l.next_id++;
	bool needs_ack = type == kIOMessageCanSystemSleep || type == kIOMessageSystemWillSleep;
	l.messages.push_back({id, type, needs_ack, false, false});
	trace(std::string("message ") + message_word(type));
	c.callback(c.refcon, c.service, type, reinterpret_cast<void *>(static_cast<intptr_t>(id)));
	return id;
}

bool acknowledge(long id)
{
	for (message &m : loop().messages) {
		if (m.id != id)
			continue;
		if (!m.needs_ack) {
			misuse(std::string("IOAllowPowerChange for ") + message_word(m.type) +
			       ", which takes no acknowledgement");
			return false;
		}
		if (m.acked) {
			misuse(std::string("IOAllowPowerChange twice for ") + message_word(m.type));
			return false;
		}
		m.acked = true;
		if (!m.expired)
			trace(std::string("ack ") + message_word(m.type));
		return true;
	}
	misuse("IOAllowPowerChange for a message never sent");
	return false;
}

std::vector<std::pair<double, double>> scheduled_timers()
{
	std::vector<std::pair<double, double>> timers;
	for (const __CFRunLoopTimer *timer : loop().timers)
		if (timer->scheduled)
			timers.emplace_back(timer->interval, timer->tolerance);
	return timers;
}

bool loop_ran()
{
	return loop().ran;
}

} // namespace sim

using sim::misuse;

const struct dispatch_source_type_s _dispatch_source_type_signal = {0};
struct dispatch_queue_s _dispatch_main_q;

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

void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode)
{
	if (rl != CFRunLoopGetCurrent() || !sim::is_object(timer, sim::cf_kind::timer, "CFRunLoopAddTimer") ||
	    !sim::is_default_mode(mode)) {
		misuse("CFRunLoopAddTimer with an unknown run loop, timer or mode");
		return;
	}
	auto &timers = sim::loop().timers;
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
	auto &timers = sim::loop().timers;
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

// --- libdispatch ---

dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         uintptr_t mask, dispatch_queue_t queue) noexcept
{
	(void)mask;
	if (type != DISPATCH_SOURCE_TYPE_SIGNAL || handle == 0 || handle >= static_cast<uintptr_t>(NSIG))
		return nullptr;
	if (queue != dispatch_get_main_queue())
		misuse("dispatch_source_create on a queue other than the main queue");
	if (sim::take_failure("dispatch_source_create"))
		return nullptr;
	auto *source = new sim::signal_source;
	source->signo = static_cast<int>(handle);
	sim::loop().sources.push_back(source);
	return source;
}

void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t handler) noexcept
{
	auto *s = static_cast<sim::signal_source *>(source);
	s->handler = handler;
	s->handler_context = s->context; // the context current when the handler is set
}

void dispatch_set_context(dispatch_object_t object, void *context) noexcept
{
	if (object == dispatch_get_main_queue())
		return;
	static_cast<sim::signal_source *>(object)->context = context;
}

void *dispatch_get_context(dispatch_object_t object) noexcept
{
	if (object == dispatch_get_main_queue())
		return nullptr;
	return static_cast<sim::signal_source *>(object)->context;
}

void dispatch_resume(dispatch_object_t object) noexcept
{
	if (object == dispatch_get_main_queue())
		return;
	auto *source = static_cast<sim::signal_source *>(object);
	if (source->suspended == 0) {
		misuse("dispatch_resume of a source that is not suspended (over-resume)");
		sim::flush_trace();
		abort(); // libdispatch crashes here
	}
	if (--source->suspended == 0 && !source->active)
		sim::activate(source);
}

uintptr_t dispatch_source_get_data(dispatch_source_t source) noexcept
{
	return static_cast<sim::signal_source *>(source)->data;
}

} // extern "C"
