// The status report and the key dump.
#include "cli/reports.h"

#include <cstdint>
#include <cstdio>

#include "power/battery.h"
#include "power/limit.h"
#include "smc/charge.h"
#include "smc/smc.h"

int report_status()
{
	int ac;
	int pct = battery_percent(&ac);
	int limit = read_limit();
	bool state;
	int inhibited = get_charging_inhibited(&state) == -1 ? -1 : state ? 1 : 0;
	printf("battery=%d\nac=%d\nlimit=%d\ninhibited=%d\n", pct, ac, limit, inhibited);
	return 0;
}

int report_key(const char *name)
{
	uint8_t value[smc_value_max];
	uint32_t length;
	if (smc_read(name, value, &length) == -1) {
		printf("%s: not found\n", name);
		return 1;
	}
	printf("%s:", name);
	for (uint32_t i = 0; i < length; i++)
		printf(" %02x", value[i]);
	putchar('\n');
	return 0;
}
