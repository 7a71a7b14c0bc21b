// The simulated Mac itself: its machine-file parser, the file it writes back, its battery
// model, and its strictness about the platform's ownership and calling rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/ps/IOPSKeys.h>
#include <IOKit/ps/IOPowerSources.h>
#include <simmac/simmac.h>

#include "power/battery.h"
#include "smc/charge.h"
#include "smc/smc.h"
#include "memory_mac.h"
#include "support.h"

namespace {

using lines = std::vector<std::string>;

class SimulatedMac : public memory_mac_test {};

bool has_line_starting(const lines &trace, const std::string &prefix)
{
	return std::any_of(trace.begin(), trace.end(),
	                   [&](const std::string &line) { return line.rfind(prefix, 0) == 0; });
}

TEST(MachineFile, WellFormedDirectivesParse)
{
	const std::string big(66, 'a');
	const std::string good[] = {
	    "",
	    "# only a comment\n\n   \n\t\n",
	    simmac::default_machine(),
	    "smc present\nsmc absent\nsmc refuse\n",
	    "key CHTE 4 ui32 00000000\n",
	    "key CH0B 1 ui8 0A\n",
	    "key ZERO 0 ui8 -\n",
	    "key BIGK 33 ch8* " + big + "\n",
	    "key CHTE 4 ui32 00000000 # the switch\n",
	    "\tkey   CHTE\t4 ui32   00000000\n",
	    "fail call\nfail CHTE keyinfo\nfail CHTE read\nfail CHTE write\n",
	    "power ac\npower battery\npower none\npower unavailable\n",
	    "source InternalBattery-0\nsource X current=5\nsource X max=100 current=5\n",
	    "source X current=-5 max=0\nsource Y current=5000000000\n",
	    "source U current=100 type=UPS\nsource B type=InternalBattery max=100\nsource N type=-\n",
	    "register ok\nregister fail\n",
	    "battery charge=60 discharge=12 sleep=1\n",
	    "battery sleep=1 charge=0.5 discharge=12 level=50.5 updated=100 start=10\n",
	    "at 0 plug\nat 10 unplug\nat 60 sleep 3600\nat 1.5 limit 80\n",
	    "at 5 signal TERM\nat 6 signal INT\nat 7 signal HUP\nat 8 signal PIPE\n",
	    "at 5 sleep 60 forced\nat 5 reset\n",
	    "deny CHTE keyinfo\ndeny CHTE read\ndeny CHIE write\n",
	    "key CHTE 0 ui32 -\nkey CH0B 0 hex_ -\nkey CHIE 1 hex_ 00\n",
	    "smc present # a comment after a directive\n",
	    "smc present", // no final newline
	};
	for (const std::string &text : good)
		EXPECT_EQ(simmac::check(text), "") << text;
}

TEST(MachineFile, MalformedLineIsReportedWithItsNumber)
{
	struct row {
		std::string text;
		int line;
	} rows[] = {
	    {"smc maybe\n", 1},
	    {"smc\n", 1},
	    {"smc present extra\n", 1},
	    {"SMC present\n", 1},
	    {"what is this\n", 1},
	    {"# comment\n\nsmc present\nwhat is this\n", 4},
	    {"smc present\npower dc\nsmc maybe\n", 2},
	    {"smc present\nkey CHTE 4 ui32 00000000\n\n# note\npower dc\n", 5},
	    {"key CHTE 4 ui32\n", 1},
	    {"key CHTE 4 ui32 00000000 extra\n", 1},
	    {"key CHT 4 ui32 00000000\n", 1},
	    {"key CHTEX 4 ui32 00000000\n", 1},
	    {"key CHTE four ui32 00000000\n", 1},
	    {"key CHTE -1 ui32 -\n", 1},
	    {"key CHTE 4 ui32x 00000000\n", 1},
	    {"key CHTE 4 ui32 000000\n", 1},
	    {"key CHTE 4 ui32 0000000000\n", 1},
	    {"key CHTE 4 ui32 0000000g\n", 1},
	    {"key CHTE 0 ui32 00\n", 1},
	    {"key CHTE 1 ui8 -\n", 1},
	    {"key CHTE 4 ui32 00000000\nkey CHTE 4 ui32 01000000\n", 2},
	    {"smc present\nfail\n", 2},
	    {"fail CHTE\n", 1},
	    {"fail CHTE erase\n", 1},
	    {"fail CHT read\n", 1},
	    {"fail call now\n", 1},
	    {"power dc\n", 1},
	    {"power\n", 1},
	    {"source\n", 1},
	    {"source X current=\n", 1},
	    {"source X current=ten\n", 1},
	    {"source X charge=5\n", 1},
	    {"source X current=5 max=1.5\n", 1},
	    {"source X current=5 type=\n", 1},
	    {"source X current=5 type\n", 1},
	    {"register maybe\n", 1},
	    {"register\n", 1},
	    {"battery charge=60\n", 1},
	    {"battery charge=60 discharge=12 sleep=x\n", 1},
	    {"battery charge=-1 discharge=12 sleep=1\n", 1},
	    {"battery charge=60 discharge=12 sleep=1 colour=red\n", 1},
	    {"battery charge60 discharge=12 sleep=1\n", 1},
	    {"at\n", 1},
	    {"at x plug\n", 1},
	    {"at -1 plug\n", 1},
	    {"at 5 explode\n", 1},
	    {"at 5 sleep\n", 1},
	    {"at 5 signal KILL\n", 1},
	    {"at 5 signal\n", 1},
	    {"at 5 sleep 60 gently\n", 1},
	    {"at 5 sleep forced\n", 1},
	    {"at 5 sleep 60 forced now\n", 1},
	    {"at 5 reset CHTE\n", 1},
	    {"smc present\ndeny CHTE\n", 2},
	    {"deny CHTE erase\n", 1},
	    {"deny CHT read\n", 1},
	    {"deny call\n", 1},
	    {"at 5 plug now\n", 1},
	    {"at 5 limit eighty\n", 1},
	    {"smc present\nregister ok\npower ac\nsource B current=1\nbattery charge=1\n", 5},
	};
	for (const row &r : rows) {
		std::string error = simmac::check(r.text);
		std::string prefix = "line " + std::to_string(r.line) + ": ";
		EXPECT_EQ(error.rfind(prefix, 0), 0u) << r.text << " gave \"" << error << "\"";
		EXPECT_GT(error.size(), prefix.size()) << r.text;
	}
}

TEST_F(SimulatedMac, MachineTextKeepsCommentsAndOrderAndShowsSmcWrites)
{
	const std::string before = "# A pair machine on battery\n"
	                           "smc present\n"
	                           "\n"
	                           "key CH0B 1 ui8 00 # first of the pair\n"
	                           "   # an indented comment\n"
	                           "power battery\n"
	                           "key CH0C 1 ui8 00\n"
	                           "fail CHTE keyinfo\n"
	                           "source InternalBattery-0 current=64 max=100\n"
	                           "source Other max=100\n"
	                           "register fail\n"
	                           "at 60 plug\n";
	load(before);
	EXPECT_EQ(simmac::machine_text(), before);
	ASSERT_EQ(set_charging_inhibited(1), 0);
	std::string after = before;
	after.replace(after.find("key CH0B 1 ui8 00"), 17, "key CH0B 1 ui8 02");
	after.replace(after.find("key CH0C 1 ui8 00"), 17, "key CH0C 1 ui8 02");
	EXPECT_EQ(simmac::machine_text(), after);
	EXPECT_EQ(simmac::check(after), "");
}

TEST_F(SimulatedMac, RewrittenBatteryLineParsesAgain)
{
	load("smc present\nkey CHTE 4 ui32 00000000\npower ac\nsource B current=20 max=100\n"
	     "battery charge=60 discharge=12 sleep=1\n");
	simmac::advance(1830);
	std::string text = simmac::machine_text();
	EXPECT_NE(text.find("source B current=50 max=100\n"), std::string::npos) << text;
	EXPECT_NE(text.find("battery charge=60 discharge=12 sleep=1"), std::string::npos) << text;
	EXPECT_EQ(simmac::check(text), "") << text;
}

TEST_F(SimulatedMac, BatteryModelFollowsPowerAndTheInhibitKeys)
{
	struct row {
		const char *name;
		std::string machine;
		double seconds;
		int pct;
	} rows[] = {
	    {"charging on AC", "key CHTE 4 ui32 00000000\npower ac\nsource B current=20 max=100\n",
	     1830, 50},
	    {"held while CHTE inhibits",
	     "key CHTE 4 ui32 01000000\npower ac\nsource B current=20 max=100\n", 1830, 20},
	    {"held while CH0C alone inhibits",
	     "key CH0B 1 ui8 00\nkey CH0C 1 ui8 02\npower ac\nsource B current=20 max=100\n", 1830,
	     20},
	    {"CHTE decides over the pair",
	     "key CHTE 4 ui32 00000000\nkey CH0B 1 ui8 02\npower ac\nsource B current=20 max=100\n",
	     1830, 50},
	    {"charging stops at the maximum",
	     "key CHTE 4 ui32 00000000\npower ac\nsource B current=90 max=100\n", 7200, 100},
	    {"discharging on battery",
	     "key CHTE 4 ui32 01000000\npower battery\nsource B current=64 max=100\n", 3660, 51},
	    {"discharging stops at zero",
	     "key CHTE 4 ui32 00000000\npower battery\nsource B current=5 max=100\n", 7200, 0},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		load("smc present\n" + r.machine + "battery charge=60 discharge=12 sleep=1\n");
		int ac;
		(void)battery_percent(&ac); // the model starts from the first look
		simmac::advance(r.seconds);
		EXPECT_EQ(battery_percent(&ac), r.pct);
	}
}

TEST_F(SimulatedMac, BatteryModelMovesTheFirstInternalBatteryAndKeepsEverySourceType)
{
	struct row {
		const char *name;
		std::string sources;
		std::string after; // the source lines as the machine shows them an hour on
	} rows[] = {
	    {"a UPS listed first stays as it is",
	     "source UPS-1 current=100 max=100 type=UPS\nsource InternalBattery-0 current=20 max=100\n",
	     "source UPS-1 current=100 max=100 type=UPS\nsource InternalBattery-0 current=80 max=100\n"},
	    {"a source without a type is no internal battery to the model",
	     "source A current=20 type=-\nsource B current=20 max=100 type=InternalBattery\n",
	     "source A current=20 type=-\nsource B current=80 max=100 type=InternalBattery\n"},
	    {"another kind is passed over",
	     "source X current=20 type=Accessory\nsource B current=20\n",
	     "source X current=20 type=Accessory\nsource B current=80\n"},
	    {"an internal battery without current= is passed over",
	     "source A max=100\nsource B current=20 max=100\n",
	     "source A max=100\nsource B current=80 max=100\n"},
	    {"a UPS alone does not move",
	     "source UPS-1 current=20 type=UPS\n", "source UPS-1 current=20 type=UPS\n"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		load("smc present\nkey CHTE 4 ui32 00000000\npower ac\n" + r.sources +
		     "battery charge=60 discharge=12 sleep=1\n");
		simmac::advance(3600);
		std::string text = simmac::machine_text();
		EXPECT_NE(text.find("power ac\n" + r.after + "battery "), std::string::npos) << text;
		EXPECT_EQ(simmac::check(text), "") << text;
	}
}

TEST_F(SimulatedMac, SourceTypeIsTheDescriptionsTypeEntry)
{
	struct row {
		const char *field;
		CFStringRef type; // nullptr: no "Type" entry
	} rows[] = {
	    {"", CFSTR("InternalBattery")},
	    {" type=InternalBattery", CFSTR("InternalBattery")},
	    {" type=UPS", CFSTR("UPS")},
	    {" type=-", nullptr},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.field);
		load(std::string("power ac\nsource S current=50") + r.field + "\n");
		long objects = simmac::live_objects();
		CFTypeRef blob = IOPSCopyPowerSourcesInfo();
		ASSERT_NE(blob, nullptr);
		CFArrayRef list = IOPSCopyPowerSourcesList(blob);
		ASSERT_NE(list, nullptr);
		ASSERT_EQ(CFArrayGetCount(list), 1);
		CFDictionaryRef description =
		    IOPSGetPowerSourceDescription(blob, CFArrayGetValueAtIndex(list, 0));
		ASSERT_NE(description, nullptr);
		CFTypeRef type = CFDictionaryGetValue(description, CFSTR(kIOPSTypeKey));
		if (r.type == nullptr) {
			EXPECT_EQ(type, nullptr);
		} else {
			ASSERT_NE(type, nullptr);
			ASSERT_EQ(CFGetTypeID(type), CFStringGetTypeID());
			EXPECT_EQ(CFStringCompare(static_cast<CFStringRef>(type), r.type, 0),
			          kCFCompareEqualTo);
		}
		CFRelease(list);
		CFRelease(blob);
		EXPECT_EQ(simmac::live_objects(), objects);
		EXPECT_EQ(simmac::misuses(), 0);
	}
}

TEST_F(SimulatedMac, ReleasingADescriptionDictionaryIsMisuse)
{
	load("power ac\nsource B current=80 max=100\n");
	long objects = simmac::live_objects();
	CFTypeRef snapshot = IOPSCopyPowerSourcesInfo();
	ASSERT_NE(snapshot, nullptr);
	CFArrayRef list = IOPSCopyPowerSourcesList(snapshot);
	ASSERT_NE(list, nullptr);
	ASSERT_EQ(CFArrayGetCount(list), 1);
	CFDictionaryRef description =
	    IOPSGetPowerSourceDescription(snapshot, CFArrayGetValueAtIndex(list, 0));
	ASSERT_NE(description, nullptr);
	EXPECT_EQ(simmac::misuses(), 0);
	CFRelease(description); // owned by the snapshot, not by the caller
	EXPECT_EQ(simmac::misuses(), 1);
	EXPECT_TRUE(has_line_starting(simmac::trace(), "misuse ")) << simmac::trace().size();
	// The over-release was refused, so the owner's releases still balance.
	CFRelease(list);
	CFRelease(snapshot);
	EXPECT_EQ(simmac::live_objects(), objects);
	EXPECT_EQ(simmac::misuses(), 1);
}

TEST_F(SimulatedMac, ReleasingASourceHandleFromTheListIsMisuse)
{
	load("power ac\nsource B current=80 max=100\n");
	CFTypeRef snapshot = IOPSCopyPowerSourcesInfo();
	CFArrayRef list = IOPSCopyPowerSourcesList(snapshot);
	CFRelease(CFArrayGetValueAtIndex(list, 0));
	EXPECT_EQ(simmac::misuses(), 1);
	CFRelease(list);
	CFRelease(snapshot);
	EXPECT_EQ(simmac::misuses(), 1);
}

TEST_F(SimulatedMac, DoubleReleaseAndUseAfterReleaseAreMisuse)
{
	load("power ac\nsource B current=80 max=100\n");
	long objects = simmac::live_objects();
	CFTypeRef snapshot = IOPSCopyPowerSourcesInfo();
	ASSERT_NE(snapshot, nullptr);
	EXPECT_GT(simmac::live_objects(), objects); // a Copy result counts until released
	CFRelease(snapshot);
	EXPECT_EQ(simmac::live_objects(), objects);
	EXPECT_EQ(simmac::misuses(), 0);
	CFRelease(snapshot);
	EXPECT_EQ(simmac::misuses(), 1);
	EXPECT_EQ(IOPSCopyPowerSourcesList(snapshot), nullptr);
	EXPECT_EQ(simmac::misuses(), 2);
	lines trace = simmac::trace();
	EXPECT_EQ(std::count_if(trace.begin(), trace.end(),
	                        [](const std::string &l) { return l.rfind("misuse ", 0) == 0; }),
	          2);
}

TEST_F(SimulatedMac, DoubleReleaseOfTheSmcServiceIsMisuse)
{
	load("smc present\n");
	long io_objects = simmac::live_io_objects();
	io_service_t service =
	    IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
	ASSERT_NE(service, IO_OBJECT_NULL);
	EXPECT_EQ(simmac::live_io_objects(), io_objects + 1);
	EXPECT_EQ(IOObjectRelease(service), KERN_SUCCESS);
	EXPECT_EQ(simmac::live_io_objects(), io_objects);
	EXPECT_EQ(simmac::misuses(), 0);
	EXPECT_NE(IOObjectRelease(service), KERN_SUCCESS);
	EXPECT_EQ(simmac::misuses(), 1);
}

TEST_F(SimulatedMac, StructMethodCallsWithAnotherSizeSelectorOrCommandAreMisuse)
{
	load("smc present\nkey CHTE 4 ui32 00000000\n");
	ASSERT_EQ(smc_open(), 0);
	struct row {
		const char *name;
		uint32_t selector;
		size_t in_size;
		size_t out_size;
		uint8_t command;
	} rows[] = {
	    {"short request", 2, 40, 80, 9},
	    {"long request", 2, 96, 80, 9},
	    {"short reply", 2, 80, 40, 9},
	    {"another selector", 3, 80, 80, 9},
	    {"unknown command", 2, 80, 80, 7},
	};
	long misuses = simmac::misuses();
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		simmac::clear_trace();
		uint8_t in[96] = {};
		uint8_t out[96] = {};
		uint32_t code = smc_key_code("CHTE");
		memcpy(in, &code, 4);
		in[42] = r.command;
		size_t out_size = r.out_size;
		EXPECT_NE(IOConnectCallStructMethod(smc_conn, r.selector, in, r.in_size, out, &out_size),
		          kIOReturnSuccess);
		EXPECT_EQ(simmac::misuses(), ++misuses);
		lines trace = simmac::trace();
		ASSERT_EQ(trace.size(), 1u);
		EXPECT_EQ(trace[0].rfind("misuse ", 0), 0u) << trace[0];
	}
	// A record of the right size on the right selector is answered.
	smc_record request = {}, reply = {};
	request.key = smc_key_code("CHTE");
	request.command = smc_cmd_keyinfo;
	size_t reply_size = sizeof reply;
	EXPECT_EQ(IOConnectCallStructMethod(smc_conn, 2, &request, sizeof request, &reply,
	                                    &reply_size),
	          kIOReturnSuccess);
	EXPECT_EQ(reply.data_size, 4u);
	EXPECT_EQ(simmac::misuses(), misuses);
}

TEST_F(SimulatedMac, MalformedMachineMakesEveryPlatformCallFail)
{
	load("smc present\nkey CHTE 4 ui32 0000\npower ac\nsource B current=80 max=100\n");
	EXPECT_EQ(smc_open(), -1);
	EXPECT_EQ(smc_conn, 0u);
	int ac = 1;
	EXPECT_EQ(battery_percent(&ac), -1);
	EXPECT_EQ(ac, 0);
	EXPECT_EQ(IOPSCopyPowerSourcesInfo(), nullptr);
	lines trace = simmac::trace();
	EXPECT_TRUE(has_line_starting(trace, "machine line 2: ")) << trace.size();
	EXPECT_EQ(std::count(trace.begin(), trace.end(), "open none"), 1);
	EXPECT_EQ(simmac::misuses(), 0);
}

TEST(SimulatedMacFile, MalformedMachineFileIsNamedInTheTrace)
{
	std::string root = support::make_root("smc present\npower ac\nsmc maybe\n");
	support::run_result r = support::run(root, {"status"});
	EXPECT_EQ(r.out, "battery=-1\nac=0\nlimit=100\ninhibited=-1\n");
	EXPECT_EQ(r.code, 0);
	lines trace = support::trace_lines(root);
	EXPECT_TRUE(has_line_starting(trace, "machine line 3: ")) << support::read_file(root + "/trace");
	EXPECT_FALSE(has_line_starting(trace, "misuse "));
	// The broken file is left as it was for its owner to mend.
	EXPECT_EQ(support::read_file(root + "/machine"), "smc present\npower ac\nsmc maybe\n");
	support::remove_tree(root);
}

TEST(SimulatedMacFile, NewRootIsSeededWithTheDefaultMachine)
{
	std::string root = support::make_root();
	support::run_result r = support::run(root, {"status"});
	EXPECT_EQ(r.out, "battery=64\nac=1\nlimit=100\ninhibited=0\n");
	EXPECT_TRUE(support::exists(root + "/Library/Application Support"));
	EXPECT_EQ(simmac::check(support::read_file(root + "/machine")), "");
	support::remove_tree(root);
}

} // namespace
