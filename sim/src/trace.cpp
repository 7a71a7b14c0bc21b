// The simulated Mac's trace: one line for every exchange, appended to ROOT/trace (or kept
// in memory for in-process tests), and the count of broken platform rules.
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "state.h"

namespace sim {

namespace {

constexpr size_t trace_buffer_limit = 64 * 1024;

// Writes out the buffered trace lines. Lines are whole when they reach the file.
void write_trace_buffer()
{
	world_state &s = w();
	if (s.trace_buffer.empty())
		return;
	size_t done = 0;
	while (s.trace_fd != -1 && done < s.trace_buffer.size()) {
		ssize_t n = ::write(s.trace_fd, s.trace_buffer.data() + done, s.trace_buffer.size() - done);
		if (n <= 0 && errno != EINTR)
			break;
		if (n > 0)
			done += static_cast<size_t>(n);
	}
	s.trace_buffer.clear();
}

} // namespace

// A child of fork() leaves its parent's waiting lines to the parent.
void forget_parents_lines()
{
	w().trace_buffer.clear();
}

void trace(std::string_view line)
{
	start();
	world_state &s = w();
	if (s.memory) {
		s.memory_trace.emplace_back(line);
		return;
	}
	if (!s.root_error.empty())
		return;
	if (s.trace_fd == -1) {
		low_descriptors_taken low;
		s.trace_fd = open_own_file("trace", O_WRONLY | O_APPEND);
	}
	if (s.trace_fd == -1)
		return;
	s.trace_buffer.append(line);
	s.trace_buffer += '\n';
	// In real time other processes write beside this one, so each line goes out at once.
	if (!s.trace_buffered || s.trace_buffer.size() >= trace_buffer_limit)
		write_trace_buffer();
}

void flush_trace()
{
	write_trace_buffer();
}

void misuse(const std::string &what)
{
	w().misuses++;
	trace("misuse " + what);
	flush_trace(); // a broken rule may be followed by a crash
}

long misuse_count()
{
	return w().misuses;
}

std::vector<std::string> &memory_trace()
{
	return w().memory_trace;
}

std::vector<std::array<uint8_t, 80>> &memory_requests()
{
	return w().memory_requests;
}

} // namespace sim
