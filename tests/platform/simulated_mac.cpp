// Linked into the platform tests only where they run against the simulated Mac. Gives
// each test process a simulated Mac of its own (the default machine, in a fresh
// temporary folder, removed when the process ends), and turns what the stand-in
// reports as broken platform rules into test failures: on a real Mac the same mistakes
// would crash, leak or be refused.
#include <gtest/gtest.h>
#include <simmac/simmac.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Set by the process that made the root, and passed on by each process that works on
// it, so that a child started afresh (a death test's "threadsafe" style, a run that a
// write test starts and holds, and the run that one starts in turn) works on its
// parent's Mac instead of making its own.
constexpr const char *owner_variable = "TAMSO_PLATFORM_SIM_OWNER";

std::string root;
pid_t owner = -1;
long trace_seen = 0; // bytes of the trace looked at so far

std::string trace_path()
{
	return root + "/trace";
}

// The misuse lines the trace gained since byte `from`; `from` moves to the end.
std::vector<std::string> new_misuse(long *from)
{
	std::vector<std::string> found;
	std::ifstream trace(trace_path(), std::ios::binary);
	if (!trace)
		return found;
	trace.seekg(*from);
	std::string line;
	while (std::getline(trace, line)) {
		*from += static_cast<long>(line.size()) + 1;
		if (line.rfind("misuse ", 0) == 0)
			found.push_back(line);
	}
	return found;
}

long live_objects()
{
	return simmac::live_objects() + simmac::live_io_objects();
}

// A test that breaks a platform rule on purpose names the rule in the test property
// "deliberate_misuse"; the stand-in must then complain about exactly that.
class misuse_listener : public testing::EmptyTestEventListener {
	long objects_at_start = 0;

	void OnTestStart(const testing::TestInfo &) override
	{
		(void)new_misuse(&trace_seen);
		objects_at_start = live_objects();
	}

	void OnTestEnd(const testing::TestInfo &test) override
	{
		std::string deliberate;
		const testing::TestResult &result = *test.result();
		for (int i = 0; i < result.test_property_count(); i++)
			if (std::string(result.GetTestProperty(i).key()) == "deliberate_misuse")
				deliberate = result.GetTestProperty(i).value();
		bool reported = false;
		for (const std::string &line : new_misuse(&trace_seen)) {
			if (!deliberate.empty() && line.find(deliberate) != std::string::npos) {
				reported = true;
				continue;
			}
			ADD_FAILURE() << "the simulated Mac reports: " << line;
		}
		if (!deliberate.empty() && !result.Skipped()) {
			EXPECT_TRUE(reported)
			    << "the simulated Mac did not report the deliberate misuse ("
			    << deliberate << ")";
		}
		long left = live_objects() - objects_at_start;
		EXPECT_EQ(left, 0) << "Core Foundation or IOKit objects made by the test and never "
		                      "released";
	}
};

// Runs after the stand-in's own check at exit (registered later, so run earlier), which
// reports objects still alive then.
void at_exit()
{
	if (getpid() != owner)
		return;
	std::vector<std::string> late = new_misuse(&trace_seen);
	std::error_code ignored;
	std::filesystem::remove_all(root, ignored);
	if (late.empty())
		return;
	for (const std::string &line : late)
		fprintf(stderr, "the simulated Mac reports at exit: %s\n", line.c_str());
	fflush(stderr);
	_exit(1);
}

bool inherited_root()
{
	const char *from = getenv(owner_variable);
	const char *existing = getenv("SIMMAC_ROOT");
	if (from == nullptr || existing == nullptr || atol(from) != static_cast<long>(getppid()))
		return false;
	root = existing;
	setenv(owner_variable, std::to_string(getpid()).c_str(), 1);
	return true;
}

void make_root()
{
	const char *tmp = getenv("TMPDIR");
	std::string pattern =
	    std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/tamso-platform.XXXXXX";
	std::vector<char> path(pattern.begin(), pattern.end());
	path.push_back('\0');
	if (mkdtemp(path.data()) == nullptr) {
		perror("platform tests: mkdtemp");
		exit(1);
	}
	root = path.data();
	owner = getpid();
	setenv("SIMMAC_ROOT", root.c_str(), 1);
	setenv(owner_variable, std::to_string(owner).c_str(), 1);
	// Timers run in real time, as on a Mac, so the timing tests measure what they say.
	setenv("SIMMAC_CLOCK", "real", 1);
	// Writing the charge-inhibit keys harms no simulated Mac; "0" still turns it off.
	setenv("TAMSO_PLATFORM_WRITES", "1", 0);
	atexit(at_exit);
}

const bool ready = [] {
	if (!inherited_root())
		make_root();
	testing::UnitTest::GetInstance()->listeners().Append(new misuse_listener);
	return true;
}();

} // namespace
