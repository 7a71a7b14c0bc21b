// The status report and the key dump.
#include "cli/reports.h"

#include <cstdint>
#include <cstdio>

#include "power/battery.h"
#include "power/limit.h"
#include "smc/charge.h"
#include "smc/smc.h"

namespace {

// Makes sure the report has left the process: one lost on a full disk or to an I/O error
// is a failure, reported on standard error. `code` otherwise.
int finish_report(int code)
{
	if (fflush(stdout) == EOF || ferror(stdout)) {
		perror("standard output");
		return 1;
	}
	return code;
}

} // namespace

int report_status()
{
	int ac;
	int pct = battery_percent(&ac);
	int limit = read_limit();
	bool state;
	int inhibited = get_charging_inhibited(&state) == -1 ? -1 : state ? 1 : 0;
	printf("battery=%d\nac=%d\nlimit=%d\ninhibited=%d\n", pct, ac, limit, inhibited);
	return finish_report(0);
}

int report_key(const char *name)
{
	uint8_t value[smc_value_max];
	uint32_t length;
	if (smc_read(name, value, &length) == -1) {
		printf("%s: not found\n", name);
		return finish_report(1);
	}
	printf("%s:", name);
	for (uint32_t i = 0; i < length; i++)
		printf(" %02x", value[i]);
	putchar('\n');
	return finish_report(0);
}
