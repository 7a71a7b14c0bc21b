// The charge-inhibit switch on in-process simulated Macs of both key families: the
// exchanges each operation makes, in order, and how the state is read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <simmac/simmac.h>

#include "smc/charge.h"
#include "smc/smc.h"
#include "memory_mac.h"
#include "support.h"

namespace {

using lines = std::vector<std::string>;

const std::string chte_mac = "smc present\nkey CHTE 4 ui32 00000000\n";
const std::string chte_paused_mac = "smc present\nkey CHTE 4 ui32 01000000\n";
const std::string pair_mac = "smc present\nkey CH0B 1 ui8 00\nkey CH0C 1 ui8 00\n";
const std::string pair_paused_mac = "smc present\nkey CH0B 1 ui8 02\nkey CH0C 1 ui8 02\n";
const std::string both_mac =
    "smc present\nkey CHTE 4 ui32 00000000\nkey CH0B 1 ui8 00\nkey CH0C 1 ui8 00\n";

class ChargeSwitch : public memory_mac_test {};

// An operation of the switch: "get", or "set N" with the int handed to it.
struct outcome {
	int rc;
	bool state;
};

outcome run_operation(const std::string &operation)
{
	if (operation == "get") {
		bool state = false;
		int rc = get_charging_inhibited(&state);
		return {rc, state};
	}
	return {set_charging_inhibited(std::stoi(operation.substr(4))), false};
}

TEST_F(ChargeSwitch, ExchangesFollowTheKeyFamilyInOrder)
{
	struct row {
		const char *name;
		std::string machine;
		const char *operation;
		int rc;
		bool state; // for get
		lines trace;
	} rows[] = {
	    {"CHTE get", chte_mac, "get", 0, false,
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "read CHTE ok 00000000"}},
	    {"CHTE inhibit", chte_mac, "set 1", 0, false,
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "write CHTE ok 01000000"}},
	    {"CHTE inhibit by any nonzero int", chte_mac, "set 7", 0, false,
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "write CHTE ok 01000000"}},
	    {"CHTE allow", chte_paused_mac, "set 0", 0, false,
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "write CHTE ok 00000000"}},
	    {"pair get", pair_paused_mac, "get", 0, true,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 1", "read CH0B ok 02"}},
	    {"pair inhibit", pair_mac, "set 1", 0, false,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B ok 02",
	      "keyinfo CH0C ok 1", "write CH0C ok 02"}},
	    {"pair allow", pair_paused_mac, "set 0", 0, false,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B ok 00",
	      "keyinfo CH0C ok 1", "write CH0C ok 00"}},
	    {"both families get", both_mac, "get", 0, false,
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "read CHTE ok 00000000"}},
	    {"both families inhibit", both_mac, "set 1", 0, false,
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "write CHTE ok 01000000"}},
	    {"only CH0B get", "smc present\nkey CH0B 1 ui8 02\n", "get", 0, true,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 1", "read CH0B ok 02"}},
	    {"only CH0B inhibit", "smc present\nkey CH0B 1 ui8 00\n", "set 1", -1, false,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B ok 02",
	      "keyinfo CH0C fail"}},
	    {"CHTE of size 1 get", "smc present\nkey CHTE 1 ui8 01\n", "get", 0, true,
	     {"open ok", "keyinfo CHTE ok 1", "keyinfo CHTE ok 1", "read CHTE ok 01"}},
	    {"CHTE of size 1 inhibit", "smc present\nkey CHTE 1 ui8 00\n", "set 1", -1, false,
	     {"open ok", "keyinfo CHTE ok 1", "keyinfo CHTE ok 1"}},
	    {"CHTE of size 0 get", "smc present\nkey CHTE 0 ui32 -\n", "get", -1, false,
	     {"open ok", "keyinfo CHTE ok 0", "keyinfo CHTE ok 0", "read CHTE ok -"}},
	    {"CHTE of size 0 inhibit", "smc present\nkey CHTE 0 ui32 -\n", "set 1", -1, false,
	     {"open ok", "keyinfo CHTE ok 0", "keyinfo CHTE ok 0"}},
	    {"CH0B of size 0 get", "smc present\nkey CH0B 0 ui8 -\nkey CH0C 1 ui8 02\n", "get", -1,
	     false, {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 0", "read CH0B ok -"}},
	    {"neither family get", "smc present\n", "get", -1, false,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B fail"}},
	    {"neither family inhibit", "smc present\n", "set 1", -1, false,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B fail", "keyinfo CH0C fail"}},
	    {"no AppleSMC get", "smc absent\n" + chte_mac.substr(12), "get", -1, false,
	     {"open none", "open none"}},
	    {"no AppleSMC inhibit", "smc absent\n" + chte_mac.substr(12), "set 1", -1, false,
	     {"open none", "open none", "open none"}},
	    {"open refused get", "smc refuse\n" + chte_mac.substr(12), "get", -1, false,
	     {"open refused", "open refused"}},
	    {"open refused allow", "smc refuse\n" + chte_mac.substr(12), "set 0", -1, false,
	     {"open refused", "open refused", "open refused"}},
	    {"call errors get", chte_mac + "fail call\n", "get", -1, false,
	     {"open ok", "keyinfo CHTE error", "keyinfo CH0B error"}},
	    {"call errors inhibit", both_mac + "fail call\n", "set 1", -1, false,
	     {"open ok", "keyinfo CHTE error", "keyinfo CH0B error", "keyinfo CH0C error"}},
	    {"failed CHTE probe picks the pair", both_mac + "fail CHTE keyinfo\n", "set 1", 0, false,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B ok 02",
	      "keyinfo CH0C ok 1", "write CH0C ok 02"}},
	    {"failed CHTE read", chte_mac + "fail CHTE read\n", "get", -1, false,
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "read CHTE fail"}},
	    {"failed CHTE write", chte_mac + "fail CHTE write\n", "set 1", -1, false,
	     {"open ok", "keyinfo CHTE ok 4", "keyinfo CHTE ok 4", "write CHTE fail 01000000"}},
	    {"failed CH0B read", pair_mac + "fail CH0B read\n", "get", -1, false,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 1", "read CH0B fail"}},
	    {"failed CH0B write still writes CH0C", pair_mac + "fail CH0B write\n", "set 1", -1,
	     false,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B fail 02",
	      "keyinfo CH0C ok 1", "write CH0C ok 02"}},
	    {"failed CH0C write", pair_mac + "fail CH0C write\n", "set 1", -1, false,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B ok 02",
	      "keyinfo CH0C ok 1", "write CH0C fail 02"}},
	    {"failed CH0C key info", pair_mac + "fail CH0C keyinfo\n", "set 0", -1, false,
	     {"open ok", "keyinfo CHTE fail", "keyinfo CH0B ok 1", "write CH0B ok 00",
	      "keyinfo CH0C fail"}},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		load(r.machine);
		outcome got = run_operation(r.operation);
		EXPECT_EQ(got.rc, r.rc);
		if (std::string(r.operation) == "get" && r.rc == 0) {
			EXPECT_EQ(got.state, r.state);
		}
		EXPECT_EQ(simmac::trace(), r.trace);
		EXPECT_EQ(simmac::misuses(), 0);
	}
}

TEST_F(ChargeSwitch, StateIsAnyNonzeroByteOfTheStateKey)
{
	struct row {
		std::string machine;
		bool inhibited;
	} rows[] = {
	    {"key CHTE 4 ui32 00000000", false}, {"key CHTE 4 ui32 01000000", true},
	    {"key CHTE 4 ui32 00010000", true},  {"key CHTE 4 ui32 00000100", true},
	    {"key CHTE 4 ui32 00000001", true},  {"key CHTE 4 ui32 ffffffff", true},
	    {"key CH0B 1 ui8 00", false},        {"key CH0B 1 ui8 01", true},
	    {"key CH0B 1 ui8 02", true},         {"key CH0B 1 ui8 00\nkey CH0C 1 ui8 02", false},
	    {"key CHTE 1 ui8 00", false},        {"key CHTE 2 ui16 0001", true},
	    // The pair is never consulted while CHTE exists.
	    {"key CHTE 4 ui32 00000000\nkey CH0B 1 ui8 02\nkey CH0C 1 ui8 02", false},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.machine);
		load("smc present\n" + r.machine + "\n");
		bool state = !r.inhibited;
		ASSERT_EQ(get_charging_inhibited(&state), 0);
		EXPECT_EQ(state, r.inhibited);
		for (const std::string &line : simmac::trace())
			EXPECT_EQ(line.find("CH0C"), std::string::npos) << line;
	}
}

TEST_F(ChargeSwitch, FailedReadLeavesTheCallersStateAlone)
{
	load("smc present\n");
	bool state = true;
	EXPECT_EQ(get_charging_inhibited(&state), -1);
	EXPECT_TRUE(state);
}

TEST_F(ChargeSwitch, WrittenStateReadsBackAndStaysInTheMachine)
{
	struct row {
		std::string machine;
		const char *paused;  // the key lines once paused
		const char *allowed; // and once allowed again
	} rows[] = {
	    {chte_mac, "key CHTE 4 ui32 01000000\n", "key CHTE 4 ui32 00000000\n"},
	    {pair_mac, "key CH0B 1 ui8 02\nkey CH0C 1 ui8 02\n",
	     "key CH0B 1 ui8 00\nkey CH0C 1 ui8 00\n"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.machine);
		load(r.machine);
		bool state = true;
		ASSERT_EQ(set_charging_inhibited(1), 0);
		ASSERT_EQ(get_charging_inhibited(&state), 0);
		EXPECT_TRUE(state);
		EXPECT_EQ(simmac::machine_text(), std::string("smc present\n") + r.paused);
		ASSERT_EQ(set_charging_inhibited(0), 0);
		ASSERT_EQ(get_charging_inhibited(&state), 0);
		EXPECT_FALSE(state);
		EXPECT_EQ(simmac::machine_text(), std::string("smc present\n") + r.allowed);
	}
}

TEST_F(ChargeSwitch, NothingIsRolledBackWhenTheSecondKeyFails)
{
	load(pair_mac + "fail CH0C write\n");
	EXPECT_EQ(set_charging_inhibited(1), -1);
	std::string machine = simmac::machine_text();
	EXPECT_NE(machine.find("key CH0B 1 ui8 02\n"), std::string::npos) << machine;
	EXPECT_NE(machine.find("key CH0C 1 ui8 00\n"), std::string::npos) << machine;
	// The state is read from CH0B alone, so the switch reads back as done.
	bool state = false;
	ASSERT_EQ(get_charging_inhibited(&state), 0);
	EXPECT_TRUE(state);
}

TEST_F(ChargeSwitch, FamilyIsProbedAnewByEveryCall)
{
	load(chte_mac);
	bool state;
	ASSERT_EQ(get_charging_inhibited(&state), 0);
	// Another machine behind the same open connection: the next call must not rely on
	// what the last probe found.
	simmac::load(pair_paused_mac);
	ASSERT_EQ(get_charging_inhibited(&state), 0);
	EXPECT_TRUE(state);
	EXPECT_EQ(simmac::trace(), (lines{"keyinfo CHTE fail", "keyinfo CH0B ok 1", "read CH0B ok 02"}));
}

TEST_F(ChargeSwitch, HasChteFollowsTheProbeAlone)
{
	struct row {
		std::string machine;
		bool has;
	} rows[] = {
	    {chte_mac, true},
	    {both_mac, true},
	    {"smc present\nkey CHTE 0 ui32 -\n", true}, // the probe does not look at the size
	    {"smc present\nkey CHTE 1 ui8 00\n", true},
	    {pair_mac, false},
	    {both_mac + "fail CHTE keyinfo\n", false},
	    {chte_mac + "fail call\n", false},
	    {"smc absent\nkey CHTE 4 ui32 00000000\n", false},
	    {"smc refuse\nkey CHTE 4 ui32 00000000\n", false},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.machine);
		load(r.machine);
		EXPECT_EQ(smc_has_chte(), r.has);
	}
}

} // namespace
