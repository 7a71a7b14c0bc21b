// The charge regulator. It keeps no memory between passes: the limit comes from its file
// and the state from the SMC every time.
#include "control/regulator.h"

#include <cstdio>
#include <ctime>

#include "power/battery.h"
#include "power/limit.h"
#include "smc/charge.h"

namespace {

// The time stamp, one blank, the message and a newline, as three writes.
void log_switch(int failed, int pct, int limit, bool want)
{
	char stamp[32];
	time_t now = time(nullptr);
	struct tm local;
	if (localtime_r(&now, &local) == nullptr ||
	    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0)
		stamp[0] = '\0';
	fprintf(stderr, "%s ", stamp);
	// All three messages take the same three ints; "%.0d" prints the trailing 0 as nothing.
	fprintf(stderr,
	        failed ? "failed to set charging inhibit (pct %d, limit %d, want %d)"
	        : want ? "battery %d%%, limit %d%% -> charging paused%.0d"
	               : "battery %d%%, limit %d%% -> charging resumed%.0d",
	        pct, limit, failed ? (want ? 1 : 0) : 0);
	fputc('\n', stderr);
}

} // namespace

bool regulator_decide(int pct, int limit, bool cur)
{
	if (limit == limit_max)
		return false;
	if (pct >= limit)
		return true;
	if (pct > limit - regulator_band)
		return cur;
	return false;
}

void evaluate()
{
	int ac;
	int pct = battery_percent(&ac);
	int limit = read_limit();
	bool cur;
	// The state cannot be read: no SMC, or neither key family.
	if (get_charging_inhibited(&cur) == -1)
		return;
	// No percentage: nothing to decide from.
	if (pct < 0)
		return;
	bool want = regulator_decide(pct, limit, cur);
	// Already as it should be.
	if (want == cur)
		return;
	int failed = set_charging_inhibited(want) == -1;
	log_switch(failed, pct, limit, want);
}
