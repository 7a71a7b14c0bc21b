// The command dispatcher. The order of the steps decides which message a malformed call
// gets: the read-only commands and the daemon come before the root check, everything
// else after it.
#include "cli/dispatch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cli/reports.h"
#include "control/daemon.h"
#include "control/regulator.h"
#include "power/limit.h"
#include "power/pathnames.h"

namespace {

int fail_with(std::string_view text, int code)
{
	fwrite(text.data(), 1, text.size(), stderr);
	return code;
}

bool is(const char *word, const char *command)
{
	return strcmp(word, command) == 0;
}

int run_powermode(const char *mode)
{
	if (strlen(mode) != 1 || mode[0] < '0' || mode[0] > '2')
		return fail_with(usage_text, exit_usage);
	execl(paths::pmset, "pmset", "-a", "powermode", mode, static_cast<char *>(nullptr));
	perror("pmset");
	return exit_failure;
}

int run_setlimit(const char *argument)
{
	long value;
	if (!parse_limit_argument(argument, &value) || value < limit_min || value > limit_max)
		return fail_with(usage_text, exit_usage);
	if (write_limit(value) == -1)
		return exit_failure;
	// The new limit takes effect at once; the pass never changes the exit code.
	evaluate();
	return exit_ok;
}

} // namespace

bool parse_limit_argument(const char *text, long *value)
{
	char *end;
	// The error indicator is not consulted: a saturated value fails the range test.
	*value = strtol(text, &end, 10);
	return *end == '\0';
}

int run_command(int argc, char **argv)
{
	// 1. No command word.
	if (argc <= 1)
		return fail_with(usage_text, exit_usage);
	const char *command = argv[1];
	// 2. The status report, whatever follows.
	if (is(command, "status"))
		return report_status();
	// 3. The key dump; a malformed read falls through to the root check.
	if (is(command, "read") && argc == 3 && strlen(argv[2]) == 4)
		return report_key(argv[2]);
	// 4. The daemon, whatever follows.
	if (is(command, "daemon"))
		return run_daemon();
	// 5. Everything else needs root rights.
	if (geteuid() != 0)
		return fail_with(root_text, exit_failure);
	// 6. Hand the power mode over to pmset.
	if (is(command, "powermode") && argc == 3)
		return run_powermode(argv[2]);
	// 7. Store a new limit and apply it.
	if (is(command, "setlimit") && argc == 3)
		return run_setlimit(argv[2]);
	// 8. Anything else.
	return fail_with(usage_text, exit_usage);
}
