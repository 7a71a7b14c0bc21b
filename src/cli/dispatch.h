// The command dispatcher: picks one of the five commands and returns the exit code.
#pragma once

#include <string_view>

inline constexpr std::string_view usage_text =
    "usage: tamso-helper status | read KEY | powermode 0|1|2 | setlimit 20..100 | daemon\n";
static_assert(usage_text.size() == 84);

inline constexpr std::string_view root_text = "must run as root\n";

inline constexpr int exit_ok = 0;
inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

// Runs the command named by argv[1] and returns the process's exit code; `powermode`
// replaces the process with pmset and returns only when that fails.
int run_command(int argc, char **argv);

// The `setlimit` argument as a long, with strtol's rules: leading white space, one
// optional sign, decimal digits and nothing after them. False for anything else.
bool parse_limit_argument(const char *text, long *value);
