// The simulated Mac: <fcntl.h> with the one open flag the program uses that Linux lacks.
// O_NOFOLLOW_ANY (macOS 11 on) makes an open fail with ELOOP when any component of the
// path is a symbolic link, not only the last; the stand-in's open gives it that meaning
// (sim/src/posix.cpp) and never passes the bit to the kernel.
#pragma once

#include_next <fcntl.h>

#define O_NOFOLLOW_ANY 0x20000000 // the value macOS gives it

static_assert((O_NOFOLLOW_ANY & (O_ACCMODE | O_CREAT | O_EXCL | O_NOCTTY | O_TRUNC | O_APPEND |
                                 O_NONBLOCK | O_SYNC | O_DSYNC | O_ASYNC | O_DIRECTORY |
                                 O_NOFOLLOW | O_CLOEXEC | O_DIRECT | O_NOATIME | O_PATH |
                                 O_TMPFILE | O_LARGEFILE)) == 0,
              "O_NOFOLLOW_ANY must not share a bit with any of Linux's open flags");
