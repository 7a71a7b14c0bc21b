// The world of one process on the simulated Mac: the machine as of now, shared with other
// processes through the machine file and its lock, or held in memory for in-process tests.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "power.h"
#include "state.h"

namespace sim {

namespace {

// A one-shot process must have released every object it was handed by the time it ends;
// a process that ran its run loop keeps its sources and timer until then by design.
void check_leaks()
{
	if (w().memory || loop_ran())
		return;
	long objects = live_cf_objects() + live_io_objects();
	if (objects > 0)
		misuse("leak of " + std::to_string(objects) + " objects at exit");
}

void at_exit()
{
	check_leaks();
	flush_trace();
}

file_identity identity_of(const std::string &path)
{
	file_identity id;
	struct stat st;
	if (stat(path.c_str(), &st) == 0) {
		id.dev = st.st_dev;
		id.ino = st.st_ino;
		id.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
		id.size = st.st_size;
	}
	return id;
}

void save(machine &m)
{
	world_state &s = w();
	if (s.memory)
		return;
	std::string path = s.root + "/machine";
	if (write_file(path, format_machine(m), 0644))
		s.seen = identity_of(path);
	// The trace keeps up with every change a reader can see in the machine file.
	flush_trace();
}

void load_if_changed()
{
	world_state &s = w();
	if (s.memory || (s.loaded && s.virtual_clock))
		return;
	std::string path = s.root + "/machine";
	file_identity id = identity_of(path);
	if (s.loaded && id == s.seen)
		return;
	std::string text;
	if (!read_file(path, &text)) {
		seed(s.root);
		read_file(path, &text);
		id = identity_of(path);
	}
	s.m = parse_machine(text);
	s.seen = id;
	s.loaded = true;
	s.error_traced = false;
	// In virtual time, time outside the run does not count.
	if (s.virtual_clock && s.m.level >= 0)
		s.m.updated = now();
}

// The one report of an unusable SIMMAC_CLOCK or SIMMAC_EPOCH, on standard error, as for
// an unusable root. The value is shown as given, control characters as '?', so the report
// stays one line.
void report_setting(const char *name, const char *value, const std::string &why)
{
	std::string line = "simmac: " + std::string(name) + ": " + why + ": \"";
	for (const char *p = value; *p != '\0'; p++)
		line += static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f ? '?' : *p;
	line += "\"\n";
	(void)!::write(2, line.data(), line.size());
}

} // namespace

world_state &w()
{
	static world_state *state = new world_state; // lives past exit handlers
	return *state;
}

void start()
{
	world_state &s = w();
	if (s.started)
		return;
	s.started = true;
	static bool registered = false;
	if (!registered) {
		registered = true;
		atexit(at_exit);
		pthread_atfork(flush_trace, nullptr, forget_parents_lines);
	}
	const char *clock = getenv("SIMMAC_CLOCK");
	s.virtual_clock = clock != nullptr && strcmp(clock, "virtual") == 0;
	s.clock = std::floor(real_now());
	s.setting_error.clear();
	const char *epoch = getenv("SIMMAC_EPOCH");
	// An in-process test's machine keeps its own clock: the variables are for runs. A
	// clock that is neither is not guessed at ("Virtual" would otherwise run in real time).
	if (!s.memory && clock != nullptr && !s.virtual_clock && strcmp(clock, "real") != 0) {
		s.setting_error = "neither real nor virtual";
		report_setting("SIMMAC_CLOCK", clock, s.setting_error);
	} else if (s.virtual_clock && !s.memory && epoch != nullptr) {
		s.setting_error = read_epoch(epoch, &s.clock);
		if (!s.setting_error.empty())
			report_setting("SIMMAC_EPOCH", epoch, s.setting_error);
	}
	if (s.memory)
		return;
	const char *root = getenv("SIMMAC_ROOT");
	s.root = root != nullptr && root[0] != '\0' ? root : default_root();
	s.trace_buffered = s.virtual_clock;
	low_descriptors_taken low; // a new root is seeded
	s.root_error = prepare_root(s.root);
	if (!s.root_error.empty())
		report_root(s.root, s.root_error);
}

bool memory_mode()
{
	return w().memory;
}

void use_memory_machine(const std::string &text)
{
	world_state &s = w();
	s.memory = true;
	s.started = false;
	start();
	const char *root = getenv("SIMMAC_ROOT");
	s.root = root != nullptr && root[0] != '\0' ? root : default_root();
	make_dirs(s.root + "/Library/Application Support");
	s.virtual_clock = true;
	s.m = parse_machine(text);
	s.loaded = true;
	s.error_traced = false;
	s.memory_trace.clear();
	s.memory_requests.clear();
	s.asleep = false;
	s.last_row.clear();
	// The battery model runs from the moment the machine exists, so that an advance()
	// before any platform call already moves the level.
	if (s.m.error.empty())
		advance_battery(s.m, now());
}

bool with_machine_do(bool (*change)(void *context, machine &m), void *context)
{
	start();
	world_state &s = w();
	if (!s.root_error.empty() || !s.setting_error.empty())
		return false; // as for a broken service; standard error said why
	// The lock, the machine file and its temporary, the history: all opened in here.
	low_descriptors_taken low;
	int lock = -1;
	bool shared = !s.memory && !s.virtual_clock;
	if (shared) {
		// Opened once: a daemon takes the lock a few times every pass.
		if (s.lock_fd == -1)
			s.lock_fd = open_own_file("machine.lock", O_RDWR);
		lock = s.lock_fd;
		if (lock != -1)
			flock(lock, LOCK_EX);
	}
	load_if_changed();
	bool ok = s.m.error.empty();
	if (!ok && !s.error_traced) {
		s.error_traced = true;
		trace("machine " + s.m.error);
	}
	if (ok) {
		bool dirty = advance_battery(s.m, now());
		if (change(context, s.m)) {
			note_history(s.m, now());
			dirty = true;
		}
		if (dirty)
			save(s.m);
	}
	if (lock != -1)
		flock(lock, LOCK_UN);
	return ok;
}

} // namespace sim
