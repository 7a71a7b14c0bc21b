// tamso-setup: root's file work for the install scripts and the hourly rotation of the
// daemon's log, done by descriptors so that no link or renamed folder can redirect it.
// Not on PATH: the scripts and launchd run it from the libexec folder.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "setup/setup.h"

namespace {

// Each subcommand, with its option where it takes one.
const std::pair<const char *, int (*)()> subcommands[] = {
    {"preflight", setup_preflight},
    {"begin", setup_begin},
    {"finish", setup_finish},
    {"own", setup_own},
    {"logs", setup_logs},
    {"limit", [] { return setup_limit(false); }},
    {"limit-restore", [] { return setup_limit(true); }},
    {"limit-keep", setup_limit_keep},
    {"limit-forget", setup_limit_forget},
    {"link", setup_link},
    {"remove", setup_remove},
    {"remove-limit", [] { return setup_remove_limit(false); }},
    {"remove-limit --keep", [] { return setup_remove_limit(true); }},
    {"remove-scripts", setup_remove_scripts},
    {"rotate", setup_rotate},
};

int usage()
{
	fputs("usage: tamso-setup preflight | begin | finish | own | logs | limit |\n"
	      "                   limit-restore | limit-keep | limit-forget | link | remove |\n"
	      "                   remove-limit [--keep] | remove-scripts | rotate\n",
	      stderr);
	return 2;
}

} // namespace

int main(int argc, char **argv)
{
	// A full disk or a log under `ulimit -f` fails the write, said like any failure.
	signal(SIGXFSZ, SIG_IGN);
	if (argc < 2 || argc > 3 || std::string(argv[1]).find(' ') != std::string::npos)
		return usage();
	std::string name = argv[1];
	if (argc == 3)
		name = name + " " + argv[2];
	for (const auto &[each, run] : subcommands) {
		if (name != each)
			continue;
		if (geteuid() != 0) {
			fprintf(stderr, "tamso-setup: must run as root\n");
			return 1;
		}
		set_places(getenv("TAMSO_ROOT"), getenv("TAMSO_PREFIX"));
		return run() == -1 ? 1 : 0;
	}
	return usage();
}
