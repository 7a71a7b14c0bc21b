// The charge limit store: the program's only setting, one small text file.
#pragma once

#include <cstddef>

inline constexpr int limit_min = 20;
inline constexpr int limit_max = 100; // also the default: charging is never paused

// The effective limit, always within 20..100. Reads the limit file anew on every call;
// a missing, unreadable or malformed file, a file reached through a symbolic link
// anywhere on its path, or a value outside 20..100, gives 100.
int read_limit();

// The effective limit for the bytes of a limit file: white space, an optional sign and
// the digits at the start; the rest is ignored. Anything that is not a number in 20..100
// (including one too large for an int) gives 100.
int limit_from_text(const char *text, size_t size);

// Stores `value` (already checked to lie in 20..100) as "%ld\n", replacing the file
// atomically so that a reader sees the old limit or the new one, never a partial file.
// The new file keeps the old one's permission bits (and, for root, its owner and group);
// a first file gets 0644, and a folder the store creates 0755, whatever the umask, so
// that every user reads the limit the daemon enforces; an existing folder keeps its mode.
// Neither the folder nor any folder above it is followed through a symbolic link (ELOOP),
// as the readers follow none. Stores are serialised by a lock on
// "limit.lock" in the folder, a regular file that the first store creates 0600 (less the
// umask) and that stays there, so that only root can open it and hold off a store; a
// symbolic link or anything else at that name fails the store. Each store removes the
// temporary files of stores that died, and flushes the file and the folder so that the
// limit survives a power cut.
// 0 on success; -1 after printing the system error with the limit file's path as prefix.
int write_limit(long value);
