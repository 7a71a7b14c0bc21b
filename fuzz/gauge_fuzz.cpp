// The battery gauge under arbitrary power-source descriptions: any providing source,
// many sources, missing capacity entries, UPSes and sources without a "Type", extreme
// and negative numbers, and a missing list or missing descriptions. battery_percent must
// equal a reference computation, release everything it was handed and break no platform
// rule; a regulator pass on the same machine must switch exactly when the rule says.
#include <climits>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

#include "control/regulator.h"
#include "fuzz_support.h"
#include "power/battery.h"

namespace {

struct source {
	std::string name;
	bool has_current = false, has_max = false;
	long long current = 0, max = 0;
	const char *type = ""; // the type= word; "" for none (the Mac's own battery)
};

long long number(FuzzedDataProvider &in)
{
	static const long long edges[] = {0,         1,        -1,        100,       48,
	                                  INT_MAX,   INT_MIN,  INT_MAX / 100, INT_MAX / 100 + 1,
	                                  -(INT_MAX / 100) - 1, LLONG_MAX, LLONG_MIN,
	                                  static_cast<long long>(INT_MAX) + 1};
	uint8_t how = in.ConsumeIntegral<uint8_t>();
	if (how < 96)
		return edges[how % (sizeof edges / sizeof edges[0])];
	if (how < 192)
		return in.ConsumeIntegralInRange<long long>(-300, 300);
	return in.ConsumeIntegral<long long>();
}

// The platform's number read as an int: saturated.
long long as_int(long long v)
{
	return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : v;
}

// The percentage of the first described source with a current capacity that is no UPS,
// in 64 bits; -1 when there is none or it does not fit an int.
int reference(const std::vector<source> &sources, size_t undescribed)
{
	for (size_t i = 0; i < sources.size(); i++) {
		const source &s = sources[i];
		if (i < undescribed || !s.has_current || std::string(s.type) == "UPS")
			continue;
		long long current = as_int(s.current);
		long long pct = current;
		if (s.has_max && as_int(s.max) > 0)
			pct = current * 100 / as_int(s.max);
		return pct < INT_MIN || pct > INT_MAX ? -1 : static_cast<int>(pct);
	}
	return -1;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz::make_root("gauge");
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FuzzedDataProvider in(data, size);
	static const char *const powers[] = {"ac", "battery", "none", "unavailable"};
	int power = in.ConsumeIntegralInRange<int>(0, 3);
	size_t count = in.ConsumeIntegralInRange<size_t>(0, in.ConsumeBool() ? 64 : 4);
	std::vector<source> sources;
	std::string text = std::string("smc present\nkey CHTE 4 ui32 00000000\npower ") + powers[power] + "\n";
	for (size_t i = 0; i < count; i++) {
		source s;
		s.name = "Source-" + std::to_string(i);
		uint8_t entries = in.ConsumeIntegral<uint8_t>();
		s.has_current = (entries & 3) != 0;
		s.has_max = (entries & 12) != 0;
		static const char *const types[] = {"", "InternalBattery", "UPS", "-"};
		s.type = types[(entries >> 4) & 3];
		if (s.has_current)
			s.current = number(in);
		if (s.has_max)
			s.max = number(in);
		text += "source " + s.name;
		if (s.has_current)
			text += " current=" + std::to_string(s.current);
		if (s.has_max)
			text += " max=" + std::to_string(s.max);
		if (s.type[0] != '\0')
			text += std::string(" type=") + s.type;
		text += "\n";
		sources.push_back(s);
	}
	bool no_list = in.ConsumeIntegral<uint8_t>() >= 240;
	size_t undescribed = in.ConsumeIntegral<uint8_t>() >= 224 ? in.ConsumeIntegralInRange<size_t>(1, 8) : 0;
	int limit = in.ConsumeIntegralInRange<int>(19, 101);

	std::string error = simmac::check(text);
	fuzz::check(error.empty(), "the harness wrote a malformed machine: " + error + "\n" + text);
	fuzz::load_machine(text);
	long objects = simmac::live_objects(), io_objects = simmac::live_io_objects();
	long misuses = simmac::misuses();
	auto arm = [&] {
		if (no_list)
			simmac::fail_next("IOPSCopyPowerSourcesList");
		if (undescribed > 0)
			simmac::fail_next("IOPSGetPowerSourceDescription", static_cast<int>(undescribed));
	};

	arm();
	int ac = -7;
	int pct = battery_percent(&ac);
	bool snapshot = power != 3;
	int want = !snapshot || no_list ? -1 : reference(sources, undescribed);
	int want_ac = power == 0 ? 1 : 0;
	std::string machine = "\n" + text;
	fuzz::check(pct == want, "battery_percent gave " + std::to_string(pct) + ", expected " +
	                             std::to_string(want) + " for" + machine);
	fuzz::check(ac == want_ac, "ac flag " + std::to_string(ac) + " for" + machine);
	fuzz::check(simmac::live_objects() == objects && simmac::live_io_objects() == io_objects,
	            "the gauge leaked platform objects for" + machine);
	fuzz::check(simmac::misuses() == misuses, "the gauge broke a platform rule for" + machine);

	// A regulator pass from charging: it pauses exactly when there is a percentage at or
	// above a limit below 100.
	if (limit >= 20 && limit <= 100) {
		std::string stored = std::to_string(limit) + "\n";
		fuzz::store_limit(stored.data(), stored.size());
	} else {
		fuzz::remove_limit();
	}
	int effective = limit >= 20 && limit <= 100 ? limit : 100;
	simmac::clear_trace();
	arm();
	fuzz::output o = fuzz::capture([] { evaluate(); });
	bool paused = simmac::machine_text().find("key CHTE 4 ui32 01000000") != std::string::npos;
	bool want_pause = want >= 0 && effective < 100 && want >= effective;
	fuzz::check(paused == want_pause, "the pass " + std::string(paused ? "paused" : "did not pause") +
	                                      " at " + std::to_string(want) + " with limit " +
	                                      std::to_string(effective) + machine);
	fuzz::check(o.err.empty() != want_pause, "the pass's log '" + fuzz::shown(o.err) + "'" + machine);
	fuzz::check(simmac::live_objects() == objects && simmac::live_io_objects() == io_objects,
	            "the pass leaked platform objects for" + machine);
	fuzz::check(simmac::misuses() == misuses, "the pass broke a platform rule for" + machine);
	return 0;
}
