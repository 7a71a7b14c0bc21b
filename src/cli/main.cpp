// tamso-helper: keeps a Mac laptop's battery at or below a stored charge limit.
#include "cli/dispatch.h"

int main(int argc, char **argv)
{
	return run_command(argc, argv);
}
