// The in-process face of the simulated Mac, for unit tests.
#include <simmac/simmac.h>

#include <cstdlib>
#include <algorithm>
#include <string>
#include <string_view>

#include "objects.h"
#include "power.h"
#include "world.h"

namespace sim {

namespace {

// The calls a test can make fail, and how many of their next calls still fail.
struct armed_failure {
	const char *call;
	int count;
};

armed_failure armed[] = {
    {"IOPSCopyPowerSourcesInfo", 0},     {"IOPSCopyPowerSourcesList", 0},
    {"IOPSGetPowerSourceDescription", 0}, {"IOServiceMatching", 0},
    {"IOServiceGetMatchingService", 0},   {"IORegisterForSystemPower", 0},
    {"CFRunLoopTimerCreate", 0},          {"dispatch_source_create", 0},
    // The install tool's file calls, which fail with EIO.
    {"renameat", 0},  {"unlinkat", 0}, {"mkdirat", 0},
    {"symlinkat", 0}, {"fchown", 0},   {"ftruncate", 0},
};

int armed_total = 0; // so that the common case costs one comparison

// Arms what SIMMAC_FAIL_NEXT names, for a process a test starts: "CALL[:COUNT],...".
bool arm_from_environment()
{
	const char *text = getenv("SIMMAC_FAIL_NEXT");
	for (std::string_view rest = text != nullptr ? text : ""; !rest.empty();) {
		std::string_view item = rest.substr(0, rest.find(','));
		rest.remove_prefix(std::min(rest.size(), item.size() + 1));
		std::string_view call = item.substr(0, item.find(':'));
		std::string count(item.substr(std::min(item.size(), call.size() + 1)));
		simmac::fail_next(std::string(call), count.empty() ? 1 : atoi(count.c_str()));
	}
	return true;
}

} // namespace

bool take_failure(const char *call)
{
	static const bool armed_once = arm_from_environment();
	(void)armed_once;
	if (armed_total == 0)
		return false;
	for (armed_failure &a : armed)
		if (a.count > 0 && std::string_view(a.call) == call) {
			a.count--;
			armed_total--;
			return true;
		}
	return false;
}

} // namespace sim

namespace simmac {

bool fail_next(const std::string &call, int count)
{
	for (sim::armed_failure &a : sim::armed)
		if (call == a.call) {
			sim::armed_total += count;
			a.count += count;
			return true;
		}
	return false;
}

void load(const std::string &directives)
{
	for (sim::armed_failure &a : sim::armed)
		a.count = 0;
	sim::armed_total = 0;
	sim::use_memory_machine(directives);
}

std::vector<std::string> trace()
{
	return sim::memory_trace();
}

void clear_trace()
{
	sim::memory_trace().clear();
}

std::vector<std::array<uint8_t, 80>> smc_requests()
{
	return sim::memory_requests();
}

long live_objects()
{
	return sim::live_cf_objects();
}

long live_io_objects()
{
	return sim::live_io_objects();
}

long misuses()
{
	return sim::misuse_count();
}

std::vector<timer_info> timers()
{
	std::vector<timer_info> result;
	for (const auto &timer : sim::scheduled_timers())
		result.push_back({timer.first, timer.second});
	return result;
}

void advance(double seconds)
{
	sim::advance_clock(sim::now() + seconds);
}

std::string machine_text()
{
	std::string text;
	sim::with_machine([&](sim::machine &m) {
		text = sim::format_machine(m);
		return false;
	});
	return text;
}

std::string check(const std::string &directives)
{
	return sim::parse_machine(directives).error;
}

std::string default_machine()
{
	return sim::default_machine_text;
}

} // namespace simmac
