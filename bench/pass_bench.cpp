// Regulator passes in one process on an in-memory simulated Mac, for bench/footprint:
// run under callgrind, heaptrack or strace at N and 2N passes, the difference is the
// cost of N passes without the start-up.
//   pass_bench N [steady|switch|rewrite]
// steady: the battery at 70 percent below a limit of 80, charging: the daemon's usual
// pass, which finds nothing to do. switch: the limit alternates between 60 and 100, so
// every pass switches charging and logs a line (standard error goes to /dev/null).
// rewrite: only the switch mode's rewriting of the limit file, to subtract it.
// Built as pass_count, it also counts the heap allocations made during the passes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <simmac/simmac.h>

#include "control/regulator.h"

#ifdef TAMSO_COUNT_ALLOCATIONS
// Every allocation function of the C library, counted while a pass runs. (Only in the
// counting build: heaptrack and valgrind bring their own.)
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);
}

namespace {
bool counting = false;
long allocations = 0;
} // namespace

extern "C" {
void *malloc(size_t size)
{
	allocations += counting;
	return __libc_malloc(size);
}
void *calloc(size_t count, size_t size)
{
	allocations += counting;
	return __libc_calloc(count, size);
}
void *realloc(void *p, size_t size)
{
	allocations += counting;
	return __libc_realloc(p, size);
}
void *memalign(size_t alignment, size_t size)
{
	allocations += counting;
	return __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size)
{
	allocations += counting;
	return __libc_memalign(alignment, size);
}
int posix_memalign(void **p, size_t alignment, size_t size)
{
	allocations += counting;
	*p = __libc_memalign(alignment, size);
	return *p == nullptr ? ENOMEM : 0;
}
void free(void *p)
{
	__libc_free(p);
}
}
#define COUNT(on) (counting = (on))
#else
#define COUNT(on) ((void)0)
#endif

namespace {

const char machine[] = "smc present\n"
                       "key CHTE 4 ui32 00000000\n"
                       "power ac\n"
                       "source InternalBattery-0 current=70 max=100\n"
                       "register ok\n";

void store(const std::string &root, const char *content)
{
	std::string dir = root + "/Library/Application Support/Tamso";
	static bool made = false;
	if (!made) {
		made = true;
		mkdir(root.c_str(), 0755);
		mkdir((root + "/Library").c_str(), 0755);
		mkdir((root + "/Library/Application Support").c_str(), 0755);
		mkdir(dir.c_str(), 0755);
	}
	std::string path = dir + "/limit";
	FILE *file = fopen(path.c_str(), "w");
	if (file == nullptr) {
		perror(path.c_str());
		exit(1);
	}
	fputs(content, file);
	fclose(file);
}

} // namespace

int main(int argc, char **argv)
{
	long passes = argc > 1 ? atol(argv[1]) : 1000;
	bool rewriting = argc > 2 && strcmp(argv[2], "rewrite") == 0;
	bool switching = rewriting || (argc > 2 && strcmp(argv[2], "switch") == 0);
	const char *root = getenv("SIMMAC_ROOT");
	if (root == nullptr || root[0] == '\0') {
		fputs("pass_bench: set SIMMAC_ROOT to a scratch folder\n", stderr);
		return 2;
	}
	if (switching) {
		// Line-buffered as in the daemon, so that each log line is one write.
		(void)!freopen("/dev/null", "w", stderr);
		setvbuf(stderr, nullptr, _IOLBF, 0);
	}
	store(root, "80\n");
	simmac::load(machine);
	for (long i = 0; i < passes; i++) {
		if (switching)
			store(root, i % 2 == 0 ? "60\n" : "100\n");
		if (rewriting)
			continue;
		COUNT(true);
		evaluate();
		COUNT(false);
	}
	long misuses = simmac::misuses();
#ifdef TAMSO_COUNT_ALLOCATIONS
	printf("passes %ld allocations %ld misuses %ld\n", passes, allocations, misuses);
#else
	printf("passes %ld misuses %ld\n", passes, misuses);
#endif
	return misuses == 0 ? 0 : 1;
}
