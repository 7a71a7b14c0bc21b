// The two read-only reports. Both write to standard output only. A report that cannot be
// written (a full disk, an I/O error) is a failure: "standard output: " and the system's
// error text on standard error, and exit code 1.
#pragma once

// Prints battery=, ac=, limit= and inhibited= lines; missing values show as -1 (the
// limit as its default 100). Returns exit code 0 unless the report cannot be written.
int report_status();

// Prints "NAME: xx xx ..." with the key's bytes, or "NAME: not found". Returns 0 when
// the key was read and printed, 1 otherwise. `name` is four bytes.
int report_key(const char *name);
