// The battery gauge over the power sources of in-process simulated Macs: the percentage
// rule, the AC flag, and that every call gives back every object it took.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include <simmac/simmac.h>

#include "power/battery.h"
#include "memory_mac.h"
#include "support.h"

namespace {

class BatteryGauge : public memory_mac_test {};

TEST_F(BatteryGauge, PercentAndAcFlagFollowTheFirstBatterySourceWithACurrentCapacity)
{
	struct row {
		const char *machine;
		int pct;
		int ac;
	} rows[] = {
	    {"power ac\nsource B current=80 max=100", 80, 1},
	    {"power ac\nsource B current=43 max=48", 89, 1}, // 89.6 truncated
	    {"power ac\nsource B current=1 max=3", 33, 1},
	    {"power ac\nsource B current=50", 50, 1},
	    {"power ac\nsource B current=50 max=0", 50, 1},
	    {"power ac\nsource B current=50 max=-5", 50, 1},
	    {"power ac\nsource B current=110 max=100", 110, 1},
	    {"power ac\nsource B current=-5 max=100", -5, 1},
	    {"power ac\nsource B current=-7 max=2", -350, 1},
	    {"power ac\nsource B current=-5 max=3", -166, 1}, // truncated toward zero
	    {"power ac\nsource B current=0 max=100", 0, 1},
	    {"power ac\nsource B current=4200 max=5000", 84, 1},
	    {"power ac\nsource A max=100\nsource B current=40 max=50", 80, 1},
	    {"power ac\nsource A\nsource B current=40", 40, 1},
	    {"power ac\nsource A current=30 max=60\nsource B current=90 max=100", 50, 1},
	    {"power ac\nsource A current=30\nsource B current=90 max=100", 30, 1},
	    {"power ac", -1, 1},
	    {"power ac\nsource A max=100\nsource B", -1, 1},
	    {"power battery\nsource B current=80 max=100", 80, 0},
	    {"power battery", -1, 0},
	    {"power none\nsource B current=80 max=100", 80, 0},
	    {"power unavailable\nsource B current=80 max=100", -1, 0},
	    // Only the Mac's own battery counts: a UPS on USB is listed among the sources too,
	    // and a source without a "Type" counts as the battery.
	    {"power ac\nsource UPS-1 current=100 max=100 type=UPS\nsource B current=30 max=100", 30, 1},
	    {"power battery\nsource UPS-1 current=100 type=UPS\nsource B current=30 type=InternalBattery",
	     30, 0},
	    {"power ac\nsource X current=90 type=Accessory\nsource B current=30", 30, 1},
	    {"power ac\nsource X current=90 type=internalbattery\nsource B current=30", 30, 1},
	    {"power ac\nsource A current=70 max=100 type=-\nsource B current=30 max=100", 70, 1},
	    {"power ac\nsource UPS-1 current=100 type=UPS\nsource A current=60 type=-", 60, 1},
	    {"power ac\nsource UPS-1 current=100 max=100 type=UPS", -1, 1},
	    {"power ac\nsource UPS-1 current=100 type=UPS\nsource B max=100", -1, 1},
	    // Beyond 32 bits on the way, back within an int at the end.
	    {"power ac\nsource B current=30000000 max=60000000", 50, 1},
	    {"power ac\nsource B current=21474836 max=1", 2147483600, 1},
	    // Results that do not fit an int count as no value.
	    {"power ac\nsource B current=21474837 max=1", -1, 1},
	    {"power ac\nsource B current=2147483647 max=1", -1, 1},
	    {"power ac\nsource B current=-21474837 max=1", -1, 1},
	    // The capacities themselves are read as ints, which saturate.
	    {"power ac\nsource B current=5000000000", INT_MAX, 1},
	    {"power ac\nsource B current=5000000000 max=100", INT_MAX, 1},
	    {"power ac\nsource B current=-5000000000", INT_MIN, 1},
	    {"power ac\nsource B current=5000000000 max=5000000000", 100, 1},
	    {"power ac\nsource B current=50 max=5000000000", 0, 1},
	    {"power ac\nsource B current=50 max=-5000000000", 50, 1},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.machine);
		simmac::load(std::string(r.machine) + "\n");
		long objects = simmac::live_objects();
		long io_objects = simmac::live_io_objects();
		int ac = 1 - r.ac;
		EXPECT_EQ(battery_percent(&ac), r.pct);
		EXPECT_EQ(ac, r.ac);
		EXPECT_EQ(simmac::live_objects(), objects);
		EXPECT_EQ(simmac::live_io_objects(), io_objects);
		EXPECT_EQ(simmac::misuses(), 0);
	}
}

TEST_F(BatteryGauge, ReadsThePowerSourcesAnewOnEveryCall)
{
	// On AC and charging at 60 points an hour, the level rises as the clock moves on; a
	// full UPS listed first neither moves nor hides it.
	const char *sources[] = {
	    "source B current=20 max=100\n",
	    "source UPS-1 current=100 max=100 type=UPS\nsource InternalBattery-0 current=20 max=100\n",
	};
	for (const char *source : sources) {
		SCOPED_TRACE(source);
		simmac::load(std::string("smc present\nkey CHTE 4 ui32 00000000\npower ac\n") + source +
		             "battery charge=60 discharge=12 sleep=1\n");
		int ac;
		EXPECT_EQ(battery_percent(&ac), 20);
		simmac::advance(1830); // 30.5 points
		EXPECT_EQ(battery_percent(&ac), 50);
		EXPECT_EQ(ac, 1);
	}
}

} // namespace
