// The simulated Mac's clock, real or virtual, and the battery model that runs on it, with
// the history of its changes in ROOT/history.csv.
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "state.h"

namespace sim {

namespace {

constexpr double unix_offset = 978307200.0;

void append_history_row(const std::string &row)
{
	world_state &s = w();
	if (s.memory)
		return;
	int fd = open_own_file("history.csv", O_WRONLY | O_APPEND);
	if (fd == -1)
		return;
	struct stat st;
	std::string text;
	if (fstat(fd, &st) == 0 && st.st_size == 0)
		text = "t,percent,ac,inhibited,asleep\n";
	text += row + "\n";
	(void)!::write(fd, text.data(), text.size());
	::close(fd);
}

// The state columns of a history row, as last written (read back from the file once).
const std::string &last_row()
{
	world_state &s = w();
	if (!s.last_row_known && !s.memory) {
		s.last_row_known = true;
		std::string content;
		if (read_file(s.root + "/history.csv", &content)) {
			size_t end = content.find_last_not_of('\n');
			size_t begin = content.rfind('\n', end);
			std::string line = content.substr(begin == std::string::npos ? 0 : begin + 1,
			                                  end == std::string::npos ? 0 : end - begin);
			size_t comma = line.find(',');
			if (comma != std::string::npos && line.rfind("t,", 0) != 0)
				s.last_row = line.substr(comma + 1);
		}
	}
	return s.last_row;
}

// The whole percentage of a level, kept where a long long (and a difference of two)
// holds it however absurd the level.
long long whole_percent(double level)
{
	return static_cast<long long>(std::fmax(-1e15, std::fmin(1e15, std::floor(level))));
}

} // namespace

double real_now()
{
	struct timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	return static_cast<double>(ts.tv_sec) - unix_offset + ts.tv_nsec / 1e9;
}

std::string read_epoch(const char *text, double *clock)
{
	// Beyond 2^53 a double skips whole seconds, and the clock would not be the one asked.
	constexpr unsigned long long limit = 1ULL << 53;
	const char *p = text;
	bool negative = *p == '-';
	if (negative)
		p++;
	if (*p == '\0')
		return "not a number of seconds";
	unsigned long long value = 0;
	for (; *p != '\0'; p++) {
		if (*p < '0' || *p > '9')
			return "not a number of seconds";
		// Checked before each step, so the sum never wraps.
		if (value > (limit - static_cast<unsigned>(*p - '0')) / 10)
			return "out of range (at most 2^53 seconds either side of 1970)";
		value = value * 10 + static_cast<unsigned>(*p - '0');
	}
	double seconds = static_cast<double>(value);
	*clock = (negative ? -seconds : seconds) - unix_offset;
	return "";
}

// Appends a row when the percentage, power, inhibit or sleep state changed.
void note_history(machine &m, double at)
{
	sim_source *battery = battery_source(m);
	if (!m.has_battery || battery == nullptr)
		return;
	char state[64];
	snprintf(state, sizeof state, "%lld,%d,%d,%d", battery->current,
	         m.power == power_mode::ac ? 1 : 0, charging_inhibited(m) ? 1 : 0,
	         w().asleep ? 1 : 0);
	if (last_row() == state)
		return;
	w().last_row = state;
	char row[96];
	snprintf(row, sizeof row, "%.0f,%s", std::floor(at - m.start + 0.5), state);
	append_history_row(row);
}

// Brings the battery level from m.updated to `to`, writing a history row at the moment
// each whole percentage is crossed. True when the published percentage changed.
bool advance_battery(machine &m, double to)
{
	sim_source *battery = battery_source(m);
	if (!m.has_battery || battery == nullptr)
		return false;
	if (m.level < 0) {
		m.level = static_cast<double>(battery->current);
		m.updated = to;
		if (m.start == 0)
			m.start = to;
		return true;
	}
	if (to <= m.updated)
		return false;
	double top = battery->has_max && battery->max > 0 ? static_cast<double>(battery->max) : 100.0;
	double rate = 0; // points per second
	if (m.power == power_mode::ac)
		rate = charging_inhibited(m) ? 0 : m.charge / 3600.0;
	else
		rate = -(w().asleep ? m.sleep : m.discharge) / 3600.0;
	double from = m.level, t0 = m.updated;
	double target = from + rate * (to - t0);
	if (rate > 0 && target > top)
		target = std::max(top, from);
	if (rate < 0 && target < 0)
		target = std::min(0.0, from);
	bool changed = false;
	long long before = whole_percent(from);
	long long after = whole_percent(target);
	// A level far from any battery's (a hand-made machine) still moves at once, but only
	// its last crossings get a history row each, so that one step costs bounded time.
	constexpr long long max_rows = 1000;
	long long p = before;
	if (after - before > max_rows)
		p = after - max_rows;
	if (before - after > max_rows)
		p = after + max_rows;
	while (p != after) {
		p += after > before ? 1 : -1;
		// The moment the level crossed into p (rising) or below p + 1 (falling).
		double edge = after > before ? static_cast<double>(p) : static_cast<double>(p + 1);
		double at = rate != 0 ? t0 + (edge - from) / rate : to;
		battery->current = p;
		changed = true;
		note_history(m, at);
	}
	m.level = target;
	m.updated = to;
	battery->current = whole_percent(target);
	return changed;
}

double now()
{
	start();
	world_state &s = w();
	return s.virtual_clock ? s.clock : real_now();
}

bool virtual_clock()
{
	start();
	return w().virtual_clock;
}

void advance_clock(double to)
{
	world_state &s = w();
	if (!s.virtual_clock || to <= s.clock)
		return;
	s.clock = to;
	with_machine([](machine &) { return false; });
}

bool asleep()
{
	return w().asleep;
}

void set_asleep(bool value)
{
	w().asleep = value;
	with_machine([](machine &) { return true; });
}

void set_loop_started()
{
	world_state &s = w();
	s.loop_started = true;
	s.loop_start = now();
	with_machine([&](machine &m) {
		m.start = s.loop_start;
		return true;
	});
}

double loop_start()
{
	return w().loop_start;
}

} // namespace sim
