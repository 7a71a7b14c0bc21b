// The battery gauge: charge percentage and AC flag from the platform's power sources.
#pragma once

// The charge percentage of the first power source that reports a current capacity and is
// the Mac's own battery (a "Type" of "InternalBattery", or none; a UPS is skipped), as
// current * 100 / max (truncated; not clamped, so it may exceed 100 or be negative), or
// -1 when there is no snapshot, no such source, or the figure does not fit an int.
// `ac` is set on every call: 1 when the providing source is AC power, else 0.
int battery_percent(int *ac);
