// The simulated Mac's machine: what its machine file describes, the file's text and the
// rules read off it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim {

enum class smc_mode { present, absent, refuse };
enum class power_mode { ac, battery, none, unavailable };

struct sim_key {
	std::string name; // four bytes
	uint32_t size = 0;
	std::string type; // padded with blanks to four
	std::vector<uint8_t> value;
};

struct sim_source {
	std::string name;
	bool has_current = false;
	long long current = 0;
	bool has_max = false;
	long long max = 0;
	// The description's "Type"; empty for type=-, which leaves the entry out.
	std::string type = "InternalBattery";
	bool type_given = false; // type= was written, and is written back
};

enum class event_kind { sleep, plug, unplug, limit, signal, reset };

struct sim_event {
	double at = 0; // seconds after the run loop started
	event_kind kind = event_kind::plug;
	long arg = 0;        // sleep seconds, limit value or signal number
	bool forced = false; // a sleep that asks no can-sleep question
};

// Which state a line of the machine file shows, so that a rewrite keeps every other
// line (comments included) as it was.
enum class line_kind { verbatim, smc, key, power, source, battery };

struct machine_line {
	line_kind kind = line_kind::verbatim;
	size_t index = 0;     // into keys or sources
	std::string text;     // verbatim text
	std::string comment;  // a trailing "# ..." kept on rewrite
};

struct machine {
	smc_mode smc = smc_mode::present;
	bool fail_call = false;
	std::vector<sim_key> keys;
	std::vector<std::pair<std::string, std::string>> fails; // key name, command word
	std::vector<std::pair<std::string, std::string>> denies; // the call itself refused
	power_mode power = power_mode::ac;
	std::vector<sim_source> sources;
	bool register_ok = true;
	bool has_battery = false;
	double charge = 0, discharge = 0, sleep = 0; // points per hour
	double level = -1;   // exact battery level; -1 until the model starts
	double updated = 0;  // absolute time the level was last brought up to date
	double start = 0;    // absolute time the last run loop started (history's zero)
	std::vector<sim_event> events;
	std::vector<machine_line> lines;
	std::string error; // "line N: why" when the file is malformed
};

// Parses machine-file text; a malformed line leaves its reason in `error`.
machine parse_machine(const std::string &text);
std::string format_machine(const machine &m);
extern const char *const default_machine_text;

sim_key *find_key(machine &m, const std::string &name);
bool key_fails(const machine &m, const std::string &name, const char *command);
bool key_denied(const machine &m, const std::string &name, const char *command);
// The firmware's reset: every charge-inhibit key the machine holds back to zero bytes.
void reset_inhibit_keys(machine &m);
// The model's rule: CHTE decides when present, else CH0B or CH0C.
bool charging_inhibited(const machine &m);
// The source the battery model moves: the first of type InternalBattery with current=.
sim_source *battery_source(machine &m);

// Bytes as lower-case hex digits; "-" for none.
std::string hex(const uint8_t *bytes, size_t size);

} // namespace sim
