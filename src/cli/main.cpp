// tamso-helper: keeps a Mac laptop's battery at or below a stored charge limit.
#include <csignal>

#include "cli/dispatch.h"

int main(int argc, char **argv)
{
	// A write past the file-size limit (a log under `ulimit -f`) must fail with EFBIG and
	// be handled like any failed write, not kill the daemon with charging left paused.
	signal(SIGXFSZ, SIG_IGN);
	return run_command(argc, argv);
}
