// The simulated Mac's power sources: a snapshot of Core Foundation objects built from the
// machine's power line and sources, owned by the caller as on a Mac.
#include <IOKit/ps/IOPSKeys.h>
#include <IOKit/ps/IOPowerSources.h>
#include <IOKit/pwr_mgt/IOPMLib.h>

#include <vector>

#include "objects.h"
#include "world.h"

extern "C" {

struct sim_snapshot : sim::cf_object {
	std::vector<CFStringRef> names;
	std::vector<CFDictionaryRef> descriptions;
	CFStringRef providing = nullptr;
	sim_snapshot() : cf_object(sim::cf_kind::snapshot) {}
	~sim_snapshot() override
	{
		for (CFStringRef name : names)
			sim::unhold(name);
		for (CFDictionaryRef description : descriptions)
			sim::unhold(description);
	}
};

CFTypeRef IOPSCopyPowerSourcesInfo(void)
{
	if (sim::take_failure("IOPSCopyPowerSourcesInfo"))
		return nullptr;
	sim_snapshot *snapshot = nullptr;
	// Built from the machine as it is, without a copy of its sources: a daemon asks for a
	// snapshot every pass.
	bool usable = sim::with_machine([&](sim::machine &m) {
		if (m.power == sim::power_mode::unavailable)
			return false;
		snapshot = new sim_snapshot;
		sim::track_object(snapshot);
		bool on_ac = m.power == sim::power_mode::ac;
		if (m.power != sim::power_mode::none)
			snapshot->providing = on_ac ? CFSTR(kIOPMACPowerKey) : CFSTR(kIOPMBatteryPowerKey);
		for (const sim::sim_source &source : m.sources) {
			CFStringRef name = sim::make_string(source.name);
			CFMutableDictionaryRef description = sim::make_dictionary();
			description->entries.reserve(5);
			sim::dictionary_set(description, CFSTR(kIOPSNameKey), name);
			if (!source.type.empty()) {
				CFStringRef type = sim::make_string(source.type);
				sim::dictionary_set(description, CFSTR(kIOPSTypeKey), type);
				CFRelease(type);
			}
			sim::dictionary_set(description, CFSTR(kIOPSPowerSourceStateKey),
			                    on_ac ? CFSTR(kIOPSACPowerValue) : CFSTR(kIOPSBatteryPowerValue));
			auto put_number = [&](CFStringRef key, long long value) {
				CFNumberRef number = sim::make_number(value);
				sim::dictionary_set(description, key, number);
				CFRelease(number);
			};
			if (source.has_current)
				put_number(CFSTR(kIOPSCurrentCapacityKey), source.current);
			if (source.has_max)
				put_number(CFSTR(kIOPSMaxCapacityKey), source.max);
			sim::hold(name);
			sim::hold(description);
			snapshot->names.push_back(name);
			snapshot->descriptions.push_back(description);
			CFRelease(name);
			CFRelease(description);
		}
		return false;
	});
	return usable ? snapshot : nullptr;
}

CFArrayRef IOPSCopyPowerSourcesList(CFTypeRef blob)
{
	if (!sim::is_object(blob, sim::cf_kind::snapshot, "IOPSCopyPowerSourcesList"))
		return nullptr;
	if (sim::take_failure("IOPSCopyPowerSourcesList"))
		return nullptr;
	auto *snapshot = static_cast<const sim_snapshot *>(blob);
	auto *list = sim::make_array();
	for (CFStringRef name : snapshot->names) {
		sim::hold(name);
		list->items.push_back(name);
	}
	return list;
}

CFDictionaryRef IOPSGetPowerSourceDescription(CFTypeRef blob, CFTypeRef ps)
{
	if (!sim::is_object(blob, sim::cf_kind::snapshot, "IOPSGetPowerSourceDescription"))
		return nullptr;
	if (sim::take_failure("IOPSGetPowerSourceDescription"))
		return nullptr;
	auto *snapshot = static_cast<const sim_snapshot *>(blob);
	for (size_t i = 0; i < snapshot->names.size(); i++)
		if (snapshot->names[i] == ps)
			return snapshot->descriptions[i];
	return nullptr;
}

CFStringRef IOPSGetProvidingPowerSourceType(CFTypeRef snapshot)
{
	if (!sim::is_object(snapshot, sim::cf_kind::snapshot, "IOPSGetProvidingPowerSourceType"))
		return nullptr;
	return static_cast<const sim_snapshot *>(snapshot)->providing;
}

} // extern "C"
