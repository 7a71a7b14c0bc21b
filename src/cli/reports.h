// The two read-only reports. Both write to standard output only.
#pragma once

// Prints battery=, ac=, limit= and inhibited= lines; missing values show as -1 (the
// limit as its default 100). Always returns exit code 0.
int report_status();

// Prints "NAME: xx xx ..." with the key's bytes, or "NAME: not found". Returns 0 when
// the key was read, 1 otherwise. `name` is four bytes.
int report_key(const char *name);
