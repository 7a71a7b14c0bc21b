// The battery gauge, read from the platform's power-source snapshot on every call.
#include "power/battery.h"

#include <climits>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/ps/IOPSKeys.h>
#include <IOKit/ps/IOPowerSources.h>

namespace {

// The int held by a dictionary entry, or false when the entry is absent or is not a
// number (which the platform's own readers would crash on).
bool entry_int(CFDictionaryRef description, CFStringRef key, int initial, int *value)
{
	CFTypeRef entry = CFDictionaryGetValue(description, key);
	if (entry == nullptr || CFGetTypeID(entry) != CFNumberGetTypeID())
		return false;
	*value = initial;
	// The conversion's result is ignored: a saturated value is still a value.
	(void)CFNumberGetValue(static_cast<CFNumberRef>(entry), kCFNumberIntType, value);
	return true;
}

// False for a source whose "Type" names another kind than the Mac's own battery: macOS
// lists an uninterruptible power supply on USB among the power sources too, and its charge
// says nothing about the battery's. A source without a "Type", or with one that is not a
// string, counts as the battery.
bool is_internal_battery(CFDictionaryRef description)
{
	CFTypeRef type = CFDictionaryGetValue(description, CFSTR(kIOPSTypeKey));
	if (type == nullptr || CFGetTypeID(type) != CFStringGetTypeID())
		return true;
	return CFStringCompare(static_cast<CFStringRef>(type), CFSTR(kIOPSInternalBatteryType), 0) ==
	       kCFCompareEqualTo;
}

// current * 100 / max in 64 bits; -1 when the result does not fit an int.
int percent_of(int current, bool has_max, int max)
{
	long long pct = current;
	if (!has_max)
		pct = static_cast<long long>(current) * 100 / 100;
	else if (max > 0)
		pct = static_cast<long long>(current) * 100 / max;
	if (pct < INT_MIN || pct > INT_MAX)
		return -1;
	return static_cast<int>(pct);
}

} // namespace

int battery_percent(int *ac)
{
	*ac = 0;
	CFTypeRef snapshot = IOPSCopyPowerSourcesInfo();
	if (snapshot == nullptr)
		return -1;
	CFStringRef providing = IOPSGetProvidingPowerSourceType(snapshot);
	if (providing != nullptr &&
	    CFStringCompare(providing, CFSTR(kIOPMACPowerKey), 0) == kCFCompareEqualTo)
		*ac = 1;
	CFArrayRef sources = IOPSCopyPowerSourcesList(snapshot);
	if (sources == nullptr) {
		CFRelease(snapshot);
		return -1;
	}
	int pct = -1;
	for (CFIndex i = 0; i < CFArrayGetCount(sources); i++) {
		CFDictionaryRef description =
		    IOPSGetPowerSourceDescription(snapshot, CFArrayGetValueAtIndex(sources, i));
		if (description == nullptr || !is_internal_battery(description))
			continue;
		int current = 0;
		int max = 100;
		if (!entry_int(description, CFSTR(kIOPSCurrentCapacityKey), 0, &current))
			continue;
		bool has_max = entry_int(description, CFSTR(kIOPSMaxCapacityKey), 100, &max);
		pct = percent_of(current, has_max, max);
		break;
	}
	CFRelease(sources);
	CFRelease(snapshot);
	return pct;
}
