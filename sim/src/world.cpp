// The world of one process on the simulated Mac: where its root is, the machine as of
// now, the clock, the battery model, the trace and the history.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "power.h"
#include "world.h"

namespace sim {

namespace {

struct file_identity {
	dev_t dev = 0;
	ino_t ino = 0;
	long long mtime_ns = 0;
	off_t size = -1;
	bool operator==(const file_identity &) const = default;
};

struct world_state {
	bool started = false;
	bool memory = false;
	std::string root;
	machine m;
	bool loaded = false;
	file_identity seen;
	int trace_fd = -1;
	bool trace_buffered = false; // virtual time: lines wait in trace_buffer
	std::string trace_buffer;
	std::string root_error; // why the root cannot be used; "" when it can
	int lock_fd = -1; // machine.lock, open for the process's life
	std::vector<std::string> memory_trace;
	std::vector<std::array<uint8_t, 80>> memory_requests;
	bool virtual_clock = false;
	double clock = 0;
	bool asleep = false;
	bool loop_started = false;
	double loop_start = 0;
	std::string last_row;
	bool last_row_known = false;
	long misuses = 0;
	bool error_traced = false;
};

world_state &w()
{
	static world_state *state = new world_state; // lives past exit handlers
	return *state;
}

constexpr double unix_offset = 978307200.0;
constexpr size_t trace_buffer_limit = 64 * 1024;

double real_now()
{
	struct timespec ts;
	clock_gettime(CLOCK_REALTIME, &ts);
	return static_cast<double>(ts.tv_sec) - unix_offset + ts.tv_nsec / 1e9;
}

std::string default_root()
{
	const char *state = getenv("XDG_STATE_HOME");
	if (state != nullptr && state[0] != '\0')
		return std::string(state) + "/simmac";
	const char *home = getenv("HOME");
	return std::string(home != nullptr ? home : ".") + "/.local/state/simmac";
}

void make_dirs(const std::string &path)
{
	int saved = errno;
	for (size_t i = 1; i <= path.size(); i++)
		if (i == path.size() || path[i] == '/')
			(void)mkdir(path.substr(0, i).c_str(), 0755);
	errno = saved;
}

bool write_file(const std::string &path, const std::string &content, mode_t mode)
{
	std::string temporary = path + ".simmac." + std::to_string(getpid());
	int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
	if (fd == -1)
		return false;
	bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
	ok = ::close(fd) == 0 && ok;
	if (ok)
		ok = ::rename(temporary.c_str(), path.c_str()) == 0;
	if (!ok) {
		int saved = errno;
		::unlink(temporary.c_str());
		errno = saved;
	}
	return ok;
}

bool read_file(const std::string &path, std::string *content)
{
	FILE *file = fopen(path.c_str(), "r");
	if (file == nullptr)
		return false;
	char buffer[4096];
	size_t n;
	content->clear();
	while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
		content->append(buffer, n);
	fclose(file);
	return true;
}

const char pmset_script[] = "#!/bin/sh\n"
                            "# The simulated Mac's pmset: records its arguments in the trace.\n"
                            "root=$(cd \"$(dirname \"$0\")/../..\" && pwd)\n"
                            "echo \"pmset $*\" >> \"$root/trace\"\n";

// A new root: the default machine, an empty Application Support folder and pmset.
// False (errno says why) when the machine file cannot be written.
bool seed(const std::string &root)
{
	make_dirs(root + "/Library/Application Support");
	make_dirs(root + "/usr/bin");
	struct stat st;
	if (stat((root + "/usr/bin/pmset").c_str(), &st) == -1)
		write_file(root + "/usr/bin/pmset", pmset_script, 0755);
	return write_file(root + "/machine", default_machine_text, 0644);
}

// Makes the root ready: created and seeded when new. Returns why it cannot be used (it
// cannot be created, is no folder, cannot be read or written), or "" when it can. Access is
// checked for the effective user, as a set-user-id program opens files with it.
std::string prepare_root(const std::string &root)
{
	make_dirs(root);
	struct stat st;
	if (stat(root.c_str(), &st) == -1)
		return strerror(errno);
	if (!S_ISDIR(st.st_mode))
		return strerror(ENOTDIR);
	if (faccessat(AT_FDCWD, root.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == -1)
		return strerror(errno);
	std::string machine = root + "/machine";
	if (stat(machine.c_str(), &st) == -1) {
		if (!seed(root))
			return strerror(errno);
	} else {
		make_dirs(root + "/Library/Application Support"); // always there on a Mac
	}
	if (faccessat(AT_FDCWD, machine.c_str(), R_OK, AT_EACCESS) == -1)
		return strerror(errno);
	return "";
}

// The one report of an unusable root, on standard error: there is no trace to say it.
void report_root(const std::string &root, const std::string &why)
{
	std::string line = "simmac: cannot use root " + root + ": " + why + "\n";
	(void)!::write(2, line.data(), line.size());
}

// Writes out the buffered trace lines. Lines are whole when they reach the file.
void write_trace_buffer()
{
	world_state &s = w();
	if (s.trace_buffer.empty())
		return;
	size_t done = 0;
	while (s.trace_fd != -1 && done < s.trace_buffer.size()) {
		ssize_t n = ::write(s.trace_fd, s.trace_buffer.data() + done, s.trace_buffer.size() - done);
		if (n <= 0 && errno != EINTR)
			break;
		if (n > 0)
			done += static_cast<size_t>(n);
	}
	s.trace_buffer.clear();
}

// A child of fork() leaves its parent's waiting lines to the parent.
void forget_parents_lines()
{
	w().trace_buffer.clear();
}

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
	if (s.memory)
		return;
	const char *root = getenv("SIMMAC_ROOT");
	s.root = root != nullptr && root[0] != '\0' ? root : default_root();
	s.trace_buffered = s.virtual_clock;
	s.root_error = prepare_root(s.root);
	if (!s.root_error.empty())
		report_root(s.root, s.root_error);
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

void append_history_row(const std::string &row)
{
	world_state &s = w();
	if (s.memory)
		return;
	std::string path = s.root + "/history.csv";
	int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	if (fd == -1)
		return;
	struct stat st;
	std::string text;
	if (fstat(fd, &st) == 0 && st.st_size == 0)
		text = "t,percent,ac,inhibited,asleep\n";
	text += row + "\n";
	(void)!::write(fd, text.data(), text.size());
	::close(fd);
}

// The state columns of a history row, as last written (read back from the file once).
const std::string &last_row()
{
	world_state &s = w();
	if (!s.last_row_known && !s.memory) {
		s.last_row_known = true;
		std::string content;
		if (read_file(s.root + "/history.csv", &content)) {
			size_t end = content.find_last_not_of('\n');
			size_t begin = content.rfind('\n', end);
			std::string line = content.substr(begin == std::string::npos ? 0 : begin + 1,
			                                  end == std::string::npos ? 0 : end - begin);
			size_t comma = line.find(',');
			if (comma != std::string::npos && line.rfind("t,", 0) != 0)
				s.last_row = line.substr(comma + 1);
		}
	}
	return s.last_row;
}

// Appends a row when the percentage, power, inhibit or sleep state changed.
void note_history(machine &m, double at)
{
	sim_source *battery = battery_source(m);
	if (!m.has_battery || battery == nullptr)
		return;
	char state[64];
	snprintf(state, sizeof state, "%lld,%d,%d,%d", battery->current,
	         m.power == power_mode::ac ? 1 : 0, charging_inhibited(m) ? 1 : 0,
	         w().asleep ? 1 : 0);
	if (last_row() == state)
		return;
	w().last_row = state;
	char row[96];
	snprintf(row, sizeof row, "%.0f,%s", std::floor(at - m.start + 0.5), state);
	append_history_row(row);
}

// The whole percentage of a level, kept where a long long (and a difference of two)
// holds it however absurd the level.
long long whole_percent(double level)
{
	return static_cast<long long>(std::fmax(-1e15, std::fmin(1e15, std::floor(level))));
}

// Brings the battery level from m.updated to `to`, writing a history row at the moment
// each whole percentage is crossed. True when the published percentage changed.
bool advance_battery(machine &m, double to)
{
	sim_source *battery = battery_source(m);
	if (!m.has_battery || battery == nullptr)
		return false;
	if (m.level < 0) {
		m.level = static_cast<double>(battery->current);
		m.updated = to;
		if (m.start == 0)
			m.start = to;
		return true;
	}
	if (to <= m.updated)
		return false;
	double top = battery->has_max && battery->max > 0 ? static_cast<double>(battery->max) : 100.0;
	double rate = 0; // points per second
	if (m.power == power_mode::ac)
		rate = charging_inhibited(m) ? 0 : m.charge / 3600.0;
	else
		rate = -(w().asleep ? m.sleep : m.discharge) / 3600.0;
	double from = m.level, t0 = m.updated;
	double target = from + rate * (to - t0);
	if (rate > 0 && target > top)
		target = std::max(top, from);
	if (rate < 0 && target < 0)
		target = std::min(0.0, from);
	bool changed = false;
	long long before = whole_percent(from);
	long long after = whole_percent(target);
	// A level far from any battery's (a hand-made machine) still moves at once, but only
	// its last crossings get a history row each, so that one step costs bounded time.
	constexpr long long max_rows = 1000;
	long long p = before;
	if (after - before > max_rows)
		p = after - max_rows;
	if (before - after > max_rows)
		p = after + max_rows;
	while (p != after) {
		p += after > before ? 1 : -1;
		// The moment the level crossed into p (rising) or below p + 1 (falling).
		double edge = after > before ? static_cast<double>(p) : static_cast<double>(p + 1);
		double at = rate != 0 ? t0 + (edge - from) / rate : to;
		battery->current = p;
		changed = true;
		note_history(m, at);
	}
	m.level = target;
	m.updated = to;
	battery->current = whole_percent(target);
	return changed;
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

} // namespace

std::string root()
{
	start();
	return w().root;
}

bool memory_mode()
{
	return w().memory;
}

std::vector<std::string> &memory_trace()
{
	return w().memory_trace;
}

std::vector<std::array<uint8_t, 80>> &memory_requests()
{
	return w().memory_requests;
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

bool with_machine(const std::function<bool(machine &)> &change)
{
	start();
	world_state &s = w();
	if (!s.root_error.empty())
		return false; // as for a broken service; standard error said why
	int lock = -1;
	bool shared = !s.memory && !s.virtual_clock;
	if (shared) {
		// Opened once: a daemon takes the lock a few times every pass.
		if (s.lock_fd == -1)
			s.lock_fd = ::open((s.root + "/machine.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
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
		if (change(s.m)) {
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

void trace(const std::string &line)
{
	start();
	world_state &s = w();
	if (s.memory) {
		s.memory_trace.push_back(line);
		return;
	}
	if (!s.root_error.empty())
		return;
	if (s.trace_fd == -1)
		s.trace_fd = ::open((s.root + "/trace").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	if (s.trace_fd == -1)
		return;
	s.trace_buffer += line;
	s.trace_buffer += '\n';
	// In real time other processes write beside this one, so each line goes out at once.
	if (!s.trace_buffered || s.trace_buffer.size() >= trace_buffer_limit)
		write_trace_buffer();
}

void flush_trace()
{
	write_trace_buffer();
}

void misuse(const std::string &what)
{
	w().misuses++;
	trace("misuse " + what);
	flush_trace(); // a broken rule may be followed by a crash
}

long misuse_count()
{
	return w().misuses;
}

double now()
{
	start();
	world_state &s = w();
	return s.virtual_clock ? s.clock : real_now();
}

bool virtual_clock()
{
	start();
	return w().virtual_clock;
}

void advance_clock(double to)
{
	world_state &s = w();
	if (!s.virtual_clock || to <= s.clock)
		return;
	s.clock = to;
	with_machine([](machine &) { return false; });
}

bool asleep()
{
	return w().asleep;
}

void set_asleep(bool value)
{
	w().asleep = value;
	with_machine([](machine &) { return true; });
}

void set_loop_started()
{
	world_state &s = w();
	s.loop_started = true;
	s.loop_start = now();
	with_machine([&](machine &m) {
		m.start = s.loop_start;
		return true;
	});
}

double loop_start()
{
	return w().loop_start;
}

std::string map_path(const char *path)
{
	if (path == nullptr)
		return "";
	bool mac_only = strncmp(path, "/Library/", 9) == 0 || strcmp(path, "/Library") == 0 ||
	                strcmp(path, "/usr/bin/pmset") == 0;
	if (!mac_only)
		return path;
	start();
	return w().root + path;
}

void write_limit_file(long value)
{
	std::string dir = map_path("/Library/Application Support/Tamso");
	make_dirs(dir);
	write_file(dir + "/limit", std::to_string(value) + "\n", 0644);
}

} // namespace sim
