// A month in the life of a MacBook under the daemon, in virtual time: workdays with a
// lunch break off the charger and a nap in a meeting, weekends on battery, nights asleep
// (some of them unplugged), and the limit changed now and then. The checks read the
// battery's history as the simulated Mac recorded it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <sys/resource.h>
#include <string>
#include <vector>

#include "support.h"

namespace {

constexpr long hour = 3600;
constexpr long day = 24 * hour;
constexpr int days = 30; // and the morning of the 31st, when the daemon is stopped

// CPU seconds the whole run may take: the month is a test that runs in seconds.
#ifdef __SANITIZE_ADDRESS__
constexpr double cpu_budget = 60; // the sanitizers slow the simulated Mac down several times
#else
constexpr double cpu_budget = 10;
#endif

// Seconds after a limit change within which a battery that was already above the new
// limit may still tick up: until the next pass, one interval (20 s) and its tolerance.
constexpr long next_pass = 22;

struct limit_change {
	long at;
	int limit;
};

// Lowered while on battery and on the charger, raised on both, and lifted altogether.
const limit_change limits[] = {
    {0, 80},
    {8 * day + 12 * hour, 60},  // off the charger at lunch
    {15 * day + 15 * hour, 90}, // off the charger in the afternoon
    {21 * day + 19 * hour, 100},
    {25 * day + 9 * hour, 70},  // off the charger in the morning
    {28 * day + 18 * hour, 50}, // on the charger in the evening
};

int limit_at(long t)
{
	int limit = 100; // no limit file before the first change
	for (const limit_change &c : limits)
		if (c.at <= t)
			limit = c.limit;
	return limit;
}

long last_change_before(long t)
{
	long last = -1;
	for (const limit_change &c : limits)
		if (c.at <= t)
			last = c.at;
	return last;
}

std::string month_machine()
{
	std::ostringstream m;
	m << "smc present\n"
	  << "key CHTE 4 ui32 00000000\n"
	  << "power ac\n"
	  << "source InternalBattery-0 current=45 max=100\n"
	  << "battery charge=40 discharge=9 sleep=0.5\n";
	for (const limit_change &c : limits)
		m << "at " << c.at << " limit " << c.limit << "\n";
	for (int d = 0; d < days; d++) {
		long b = d * day;
		auto at = [&](double h, const std::string &what) {
			m << "at " << b + static_cast<long>(h * hour) << " " << what << "\n";
		};
		if (d % 7 < 5) {
			at(8.5, "unplug");
			at(12.25, "plug");
			at(13.5, "unplug");
			at(14, "sleep 1800");
			at(17.5, "plug");
		} else {
			at(10, "unplug");
			at(21.5, "plug");
		}
		if (d % 7 == 2) {
			// A night off the charger, plugged in again in the morning.
			at(22.75, "unplug");
			at(24 + 7.25, "plug");
		}
		at(23, "sleep 28800");
	}
	m << "at " << days * day + 9 * hour << " signal TERM\n";
	return m.str();
}

struct history_row {
	long t;
	int pct, ac, inhibited, asleep;
};

// User and system time of the children reaped so far.
double children_cpu_seconds()
{
	struct rusage usage;
	getrusage(RUSAGE_CHILDREN, &usage);
	auto seconds = [](const timeval &tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
	return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::vector<history_row> read_history(const std::string &root)
{
	std::vector<history_row> rows;
	std::vector<std::string> text = support::lines_of(support::read_file(root + "/history.csv"));
	EXPECT_FALSE(text.empty());
	if (text.empty())
		return rows;
	EXPECT_EQ(text[0], "t,percent,ac,inhibited,asleep");
	for (size_t i = 1; i < text.size(); i++) {
		history_row r;
		if (sscanf(text[i].c_str(), "%ld,%d,%d,%d,%d", &r.t, &r.pct, &r.ac, &r.inhibited,
		           &r.asleep) != 5)
			ADD_FAILURE() << "history line " << i << ": " << text[i];
		else
			rows.push_back(r);
	}
	return rows;
}

TEST(DaemonMonth, HoldsTheBatteryAtTheLimitThroughAMonthOfUse)
{
	std::string root = support::make_root(month_machine());
	support::run_options options;
	options.timeout = 100;
	double cpu_before = children_cpu_seconds();
	auto begun = std::chrono::steady_clock::now();
	support::run_result result = support::run(root, {"daemon"}, options);
	double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
	double cpu = children_cpu_seconds() - cpu_before;
	RecordProperty("seconds", std::to_string(seconds));
	printf("%d simulated days in %.2f s (%.2f s of CPU)\n", days, seconds, cpu);
	ASSERT_EQ(result.code, 0) << result.err;
	EXPECT_LE(cpu, cpu_budget);

	std::vector<history_row> rows = read_history(root);
	ASSERT_GT(rows.size(), 100u);
	EXPECT_GE(rows.back().t, 30 * day);

	// Never more than one point above the limit in force: a rise is allowed past it only
	// in the moment before the next pass after the limit was lowered.
	for (size_t i = 1; i < rows.size(); i++) {
		const history_row &r = rows[i];
		int limit = limit_at(r.t);
		if (limit == 100 || r.pct <= rows[i - 1].pct || r.t - last_change_before(r.t) <= next_pass)
			continue;
		EXPECT_LE(r.pct, limit + 1) << "at t=" << r.t << " with limit " << limit;
	}

	// Each limit was reached and held: paused there at some moment. Without a limit the
	// battery charged past all the others.
	for (size_t c = 0; c < std::size(limits); c++) {
		long from = limits[c].at;
		long to = c + 1 < std::size(limits) ? limits[c + 1].at : rows.back().t + 1;
		bool held = false;
		int top = 0;
		for (const history_row &r : rows)
			if (r.t >= from && r.t < to) {
				held = held || (r.pct == limits[c].limit && r.inhibited == 1);
				top = std::max(top, r.pct);
			}
		if (limits[c].limit < 100)
			EXPECT_TRUE(held) << "limit " << limits[c].limit << " from t=" << from;
		else
			EXPECT_GE(top, 99);
	}

	// Charging is on after the stop.
	EXPECT_EQ(rows.back().inhibited, 0);
	std::string machine = support::read_file(root + "/machine");
	EXPECT_NE(machine.find("key CHTE 4 ui32 00000000\n"), std::string::npos);

	// The band keeps switches rare: at most a pause and a resume for each time on the
	// charger, each sleep and each limit change, and the switch-on at the stop, out of
	// tens of thousands of passes.
	std::vector<std::string> trace = support::trace_lines(root);
	std::vector<std::string> events = support::lines_of(month_machine());
	auto count = [&](const std::string &what) {
		return std::count_if(events.begin(), events.end(), [&](const std::string &line) {
			return line.starts_with("at ") && line.find(what) != std::string::npos;
		});
	};
	size_t occasions = static_cast<size_t>(count(" plug") + count(" sleep ") + count(" limit "));
	size_t switches = support::filter(trace, {"write "}).size();
	size_t passes = support::filter(trace, {"read CHTE"}).size();
	printf("%zu passes, %zu switches, %zu occasions\n", passes, switches, occasions);
	EXPECT_GT(passes, static_cast<size_t>(days * day / 20 / 2));
	EXPECT_LE(switches, 2 * occasions + 1);
	EXPECT_EQ(support::filter(trace, {"misuse", "ack missing", "write CHTE fail"}),
	          std::vector<std::string>{});
	support::remove_tree(root);
}

} // namespace
