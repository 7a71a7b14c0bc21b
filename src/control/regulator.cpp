// The charge regulator. It keeps no memory between passes: the limit comes from its file
// and the state from the SMC every time.
#include "control/regulator.h"

#include <cstdio>
#include <ctime>

#include "power/battery.h"
#include "power/limit.h"
#include "smc/charge.h"

namespace {

// Whether this process has yet to finish a pass: only its first pass may report a state it
// cannot read, so a daemon on a Mac whose keys give nothing says so once, not every 20
// seconds.
bool first_pass = true;

// The time stamp, one blank, the message and a newline, as three writes.
void log_switch(int failed, int pct, int limit, bool want)
{
	log_stamp();
	// All three messages take the same three ints; "%.0d" prints the trailing 0 as nothing.
	fprintf(stderr,
	        failed ? "failed to set charging inhibit (pct %d, limit %d, want %d)"
	        : want ? "battery %d%%, limit %d%% -> charging paused%.0d"
	               : "battery %d%%, limit %d%% -> charging resumed%.0d",
	        pct, limit, failed ? (want ? 1 : 0) : 0);
	fputc('\n', stderr);
}

// The time stamp and the key the state could not be read from, or that there is no
// AppleSMC to ask.
void log_unreadable(const char *key)
{
	log_stamp();
	if (key == nullptr)
		fputs("cannot read the charging state (no AppleSMC): charging is not capped\n", stderr);
	else
		fprintf(stderr, "cannot read the charging state (key %s): charging is not capped\n",
		        key);
}

} // namespace

void log_stamp()
{
	char stamp[32];
	time_t now = time(nullptr);
	struct tm local;
	if (localtime_r(&now, &local) == nullptr ||
	    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local) == 0)
		stamp[0] = '\0';
	fprintf(stderr, "%s ", stamp);
}

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
	bool first = first_pass;
	first_pass = false;
	int ac;
	int pct = battery_percent(&ac);
	int limit = read_limit();
	bool cur;
	const char *key;
	// The state cannot be read: no SMC, or keys without data or that refuse reads. Said
	// by the first pass only.
	if (read_charging_state(&cur, &key) == -1) {
		if (first)
			log_unreadable(key);
		return;
	}
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
