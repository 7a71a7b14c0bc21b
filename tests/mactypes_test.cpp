// The Mac types a program may name: code that compiles against the macOS SDK names them
// through the Core Foundation and IOKit headers, without including MacTypes.h itself.
#include <gtest/gtest.h>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/IOMessage.h>
#include <IOKit/ps/IOPSKeys.h>
#include <IOKit/ps/IOPowerSources.h>
#include <simmac/simmac.h>

#include <string>
#include <type_traits>

#include "support.h"

namespace {

template <typename T, unsigned bytes, bool is_signed> constexpr bool shaped()
{
	return sizeof(T) == bytes && std::is_integral_v<T> && std::is_signed_v<T> == is_signed;
}

static_assert(shaped<UInt8, 1, false>() && shaped<SInt8, 1, true>());
static_assert(shaped<UInt16, 2, false>() && shaped<SInt16, 2, true>());
static_assert(shaped<UInt32, 4, false>() && shaped<SInt32, 4, true>());
static_assert(shaped<UInt64, 8, false>() && shaped<SInt64, 8, true>());
static_assert(shaped<Boolean, 1, false>() && shaped<Byte, 1, false>());
static_assert(shaped<OSStatus, 4, true>() && shaped<OSErr, 2, true>());
static_assert(shaped<FourCharCode, 4, false>() && shaped<OptionBits, 4, false>());
static_assert(shaped<UniChar, 2, false>() && shaped<UTF32Char, 4, false>());
static_assert(shaped<ByteCount, 8, false>() && shaped<ItemCount, 8, false>() &&
              shaped<UniCharCount, 8, false>());
// On a 64-bit Mac UInt32 is an unsigned int, so it is the same type as the uint32_t of
// IOKit's prototypes and the message constants' type.
static_assert(std::is_same_v<UInt32, unsigned int> && std::is_same_v<SInt32, int>);
static_assert(std::is_same_v<UInt64, unsigned long long> && std::is_same_v<SInt64, long long>);
static_assert(std::is_same_v<decltype(kIOMessageSystemWillSleep), UInt32>);
static_assert(std::is_same_v<Float32, float> && std::is_same_v<Float64, double>);

// The widths hold where a program relies on them: a capacity read into an SInt64 and an
// SInt32 through the number types of the same names.
TEST(MacTypes, NumbersReadIntoTheNamedTypes)
{
	std::string root = support::make_root();
	simmac::load("power ac\nsource B current=5000000000 max=100\n");
	CFTypeRef snapshot = IOPSCopyPowerSourcesInfo();
	ASSERT_NE(snapshot, nullptr);
	CFArrayRef list = IOPSCopyPowerSourcesList(snapshot);
	ASSERT_EQ(CFArrayGetCount(list), 1);
	CFDictionaryRef description = IOPSGetPowerSourceDescription(snapshot, CFArrayGetValueAtIndex(list, 0));
	auto current = static_cast<CFNumberRef>(CFDictionaryGetValue(description, CFSTR(kIOPSCurrentCapacityKey)));
	auto max = static_cast<CFNumberRef>(CFDictionaryGetValue(description, CFSTR(kIOPSMaxCapacityKey)));
	SInt64 wide = 0;
	SInt32 narrow = 0;
	EXPECT_TRUE(CFNumberGetValue(current, kCFNumberSInt64Type, &wide));
	EXPECT_EQ(wide, 5000000000LL);
	EXPECT_FALSE(CFNumberGetValue(current, kCFNumberSInt32Type, &narrow)); // does not fit
	EXPECT_TRUE(CFNumberGetValue(max, kCFNumberSInt32Type, &narrow));
	EXPECT_EQ(narrow, 100);
	CFRelease(list);
	CFRelease(snapshot);
	support::remove_tree(root);
}

} // namespace
