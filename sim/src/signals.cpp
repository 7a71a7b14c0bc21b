// The simulated Mac's signal sources on the main dispatch queue: a watched signal is
// blocked and read from a signalfd, so that it reaches its source's handler on the main
// thread, as a kqueue does on a Mac.
#include <dispatch/dispatch.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

#include "loop.h"
#include "state.h"
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

struct signal_state {
	std::vector<signal_source *> sources;
	int signal_fd = -1;
	sigset_t watched;
};

signal_state &signals()
{
	static auto *state = [] {
		auto *s = new signal_state;
		sigemptyset(&s->watched); // a sigset_t has no empty value of its own
		return s;
	}();
	return *state;
}

void activate(signal_source *source)
{
	signal_state &l = signals();
	source->active = true;
	source->handler_context = source->context;
	sigset_t one;
	sigemptyset(&one);
	sigaddset(&one, source->signo);
	sigaddset(&l.watched, source->signo);
	// Blocked signals are queued even while their disposition is to ignore them, so the
	// source sees them, as a kqueue does on a Mac.
	sigprocmask(SIG_BLOCK, &one, nullptr);
	sim::low_descriptors_taken low;
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

} // namespace

void deliver_signals()
{
	signal_state &l = signals();
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
	signal_state &l = signals();
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

} // namespace sim

using sim::misuse;

const struct dispatch_source_type_s _dispatch_source_type_signal = {0};
struct dispatch_queue_s _dispatch_main_q;

extern "C" {

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
	sim::signals().sources.push_back(source);
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
