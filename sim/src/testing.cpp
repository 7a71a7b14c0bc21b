// The in-process face of the simulated Mac, for unit tests.
#include <simmac/simmac.h>

#include <cstdlib>

#include "objects.h"
#include "power.h"
#include "world.h"

namespace simmac {

void load(const std::string &directives)
{
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
