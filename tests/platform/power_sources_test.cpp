// What the program assumes of the power-source snapshot (IOPowerSources), stated against
// the platform itself.
#include <gtest/gtest.h>

#include <string>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/ps/IOPSKeys.h>
#include <IOKit/ps/IOPowerSources.h>

namespace {

bool same(CFStringRef a, CFStringRef b)
{
	return a != nullptr && b != nullptr && CFStringCompare(a, b, 0) == kCFCompareEqualTo;
}

// A snapshot and its list, released once each when the test ends.
class PowerSources : public testing::Test {
protected:
	CFTypeRef blob = nullptr;
	CFArrayRef list = nullptr;

	void SetUp() override
	{
		blob = IOPSCopyPowerSourcesInfo();
		ASSERT_NE(blob, nullptr) << "no power-source snapshot";
		list = IOPSCopyPowerSourcesList(blob);
		ASSERT_NE(list, nullptr) << "no power-source list";
	}

	void TearDown() override
	{
		// Copy results belong to the caller: one release each, the list before the
		// snapshot whose descriptions it names.
		if (list != nullptr)
			CFRelease(list);
		if (blob != nullptr)
			CFRelease(blob);
	}

	// The internal battery's description (owned by the snapshot), or nullptr.
	CFDictionaryRef internal_battery()
	{
		for (CFIndex i = 0; i < CFArrayGetCount(list); i++) {
			CFDictionaryRef description =
			    IOPSGetPowerSourceDescription(blob, CFArrayGetValueAtIndex(list, i));
			if (description == nullptr)
				continue;
			auto type = static_cast<CFStringRef>(
			    CFDictionaryGetValue(description, CFSTR(kIOPSTypeKey)));
			if (same(type, CFSTR(kIOPSInternalBatteryType)))
				return description;
		}
		return nullptr;
	}

	// An integer entry of a description; false when it is missing or not a number.
	static bool number(CFDictionaryRef description, CFStringRef key, int *value)
	{
		CFTypeRef entry = CFDictionaryGetValue(description, key);
		if (entry == nullptr || CFGetTypeID(entry) != CFNumberGetTypeID())
			return false;
		return CFNumberGetValue(static_cast<CFNumberRef>(entry), kCFNumberIntType, value);
	}
};

TEST_F(PowerSources, SnapshotAndListBelongToTheCallerAndDescriptionsToTheSnapshot)
{
	CFIndex count = CFArrayGetCount(list);
	EXPECT_GE(count, 0);
	for (CFIndex i = 0; i < count; i++)
		EXPECT_NE(IOPSGetPowerSourceDescription(blob, CFArrayGetValueAtIndex(list, i)),
		          nullptr)
		    << "source " << i;
	// A second snapshot is a second object, released on its own.
	CFTypeRef again = IOPSCopyPowerSourcesInfo();
	ASSERT_NE(again, nullptr);
	CFArrayRef again_list = IOPSCopyPowerSourcesList(again);
	ASSERT_NE(again_list, nullptr);
	EXPECT_EQ(CFArrayGetCount(again_list), count);
	CFRelease(again_list);
	CFRelease(again);
}

TEST_F(PowerSources, ProvidingTypeIsAcOrBatteryPowerOrAbsent)
{
	CFStringRef type = IOPSGetProvidingPowerSourceType(blob);
	if (type == nullptr)
		return; // no providing source at all
	EXPECT_TRUE(same(type, CFSTR(kIOPMACPowerKey)) || same(type, CFSTR(kIOPMBatteryPowerKey)))
	    << "neither \"AC Power\" nor \"Battery Power\"";
}

TEST_F(PowerSources, SourceTypesAreStrings)
{
	// The gauge tells the Mac's own battery ("InternalBattery") from a UPS ("UPS") by
	// this entry, and counts a source without one as the battery.
	for (CFIndex i = 0; i < CFArrayGetCount(list); i++) {
		CFDictionaryRef description =
		    IOPSGetPowerSourceDescription(blob, CFArrayGetValueAtIndex(list, i));
		if (description == nullptr)
			continue;
		CFTypeRef type = CFDictionaryGetValue(description, CFSTR(kIOPSTypeKey));
		if (type == nullptr)
			continue;
		EXPECT_EQ(CFGetTypeID(type), CFStringGetTypeID()) << "source " << i;
	}
}

TEST_F(PowerSources, InternalBatteryGivesItsCapacityAsAPercentage)
{
	CFDictionaryRef battery = internal_battery();
	if (battery == nullptr)
		GTEST_SKIP() << "no power source of type InternalBattery (a Mac without a battery)";
	int current = -1, max = -1;
	ASSERT_TRUE(number(battery, CFSTR(kIOPSCurrentCapacityKey), &current))
	    << "\"Current Capacity\" missing or not an int";
	EXPECT_GE(current, 0);
	EXPECT_LE(current, 100);
	ASSERT_TRUE(number(battery, CFSTR(kIOPSMaxCapacityKey), &max))
	    << "\"Max Capacity\" missing or not an int";
	EXPECT_EQ(max, 100) << "Apple silicon reports the maximum as 100 percent";
}

TEST_F(PowerSources, InternalBatteryStateAgreesWithTheProvidingType)
{
	CFDictionaryRef battery = internal_battery();
	if (battery == nullptr)
		GTEST_SKIP() << "no power source of type InternalBattery (a Mac without a battery)";
	auto state = static_cast<CFStringRef>(
	    CFDictionaryGetValue(battery, CFSTR(kIOPSPowerSourceStateKey)));
	ASSERT_NE(state, nullptr) << "\"Power Source State\" missing";
	bool on_battery = same(state, CFSTR(kIOPSBatteryPowerValue));
	EXPECT_TRUE(on_battery || same(state, CFSTR(kIOPSACPowerValue)));
	CFStringRef providing = IOPSGetProvidingPowerSourceType(blob);
	ASSERT_NE(providing, nullptr);
	EXPECT_EQ(same(providing, CFSTR(kIOPMBatteryPowerKey)), on_battery);
}

} // namespace
