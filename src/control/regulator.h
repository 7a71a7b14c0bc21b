// The charge regulator: one pass of the rule that keeps the battery at or below the limit.
#pragma once

// Points below the limit at which a paused battery may charge again.
inline constexpr int regulator_band = 3;

// Whether charging should be inhibited for percentage `pct`, effective limit `limit` and
// present state `cur`: pause at the limit, resume at limit - 3 or lower, hold in between;
// never pause with the limit at 100.
bool regulator_decide(int pct, int limit, bool cur);

// One pass: reads the percentage, the limit and the present state, switches charging
// when the decision differs, and logs every switch it attempts to standard error.
// Does nothing when the percentage or the state cannot be read, except that the first
// pass of the process says once, in a time-stamped line, that it cannot read the state
// ("cannot read the charging state (key CHTE): charging is not capped"); later passes
// say nothing about it.
void evaluate();

// Writes the local time as "%Y-%m-%d %H:%M:%S" and one blank to standard error: the start
// of every time-stamped line of the log. The time is left out when it cannot be had.
void log_stamp();
