// The rules read off a machine: its keys, the commands that fail or are denied on them,
// the firmware's reset and whether charging counts as inhibited.
#include <algorithm>

#include "machine.h"

namespace sim {

sim_key *find_key(machine &m, const std::string &name)
{
	for (sim_key &key : m.keys)
		if (key.name == name)
			return &key;
	return nullptr;
}

bool key_fails(const machine &m, const std::string &name, const char *command)
{
	for (const auto &fail : m.fails)
		if (fail.first == name && fail.second == command)
			return true;
	return false;
}

bool key_denied(const machine &m, const std::string &name, const char *command)
{
	for (const auto &deny : m.denies)
		if (deny.first == name && deny.second == command)
			return true;
	return false;
}

void reset_inhibit_keys(machine &m)
{
	for (sim_key &key : m.keys)
		if (key.name == "CHTE" || key.name == "CH0B" || key.name == "CH0C")
			std::fill(key.value.begin(), key.value.end(), 0);
}

bool charging_inhibited(const machine &m)
{
	auto nonzero = [&](const char *name) {
		for (const sim_key &key : m.keys)
			if (key.name == name)
				for (uint8_t byte : key.value)
					if (byte != 0)
						return true;
		return false;
	};
	for (const sim_key &key : m.keys)
		if (key.name == "CHTE")
			return nonzero("CHTE");
	return nonzero("CH0B") || nonzero("CH0C");
}

sim_source *battery_source(machine &m)
{
	for (sim_source &source : m.sources)
		if (source.type == "InternalBattery" && source.has_current)
			return &source;
	return nullptr;
}

} // namespace sim
