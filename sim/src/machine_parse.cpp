// The machine file's parser: one directive a line, "#" starts a comment, and a malformed
// line is an error that names its number.
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include "machine.h"

namespace sim {

namespace {

std::vector<std::string> words_of(const std::string &text)
{
	std::vector<std::string> words;
	std::istringstream in(text);
	std::string word;
	while (in >> word)
		words.push_back(word);
	return words;
}

bool parse_long(const std::string &text, long long *value)
{
	if (text.empty())
		return false;
	errno = 0;
	char *end;
	*value = strtoll(text.c_str(), &end, 10);
	return *end == '\0' && errno == 0;
}

bool parse_double(const std::string &text, double *value)
{
	if (text.empty())
		return false;
	char *end;
	*value = strtod(text.c_str(), &end);
	return *end == '\0' && std::isfinite(*value); // no NaN, no infinity
}

int hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// key NAME SIZE TYPE HEX
std::string parse_key(const std::vector<std::string> &w, sim_key *key)
{
	if (w.size() != 5)
		return "key needs NAME SIZE TYPE HEX";
	if (w[1].size() != 4)
		return "key name must be four bytes";
	long long size;
	if (!parse_long(w[2], &size) || size < 0 || size > 4096)
		return "key size must be 0..4096";
	if (w[3].empty() || w[3].size() > 4)
		return "key type must be one to four characters";
	key->name = w[1];
	key->size = static_cast<uint32_t>(size);
	key->type = w[3] + std::string(4 - w[3].size(), ' ');
	key->value.clear();
	if (size == 0)
		return w[4] == "-" ? "" : "a key of size 0 has the value -";
	if (w[4].size() != static_cast<size_t>(size) * 2)
		return "key value must have 2 x SIZE hex digits";
	for (size_t i = 0; i < w[4].size(); i += 2) {
		int hi = hex_digit(w[4][i]), lo = hex_digit(w[4][i + 1]);
		if (hi < 0 || lo < 0)
			return "key value must be hex digits";
		key->value.push_back(static_cast<uint8_t>(hi * 16 + lo));
	}
	return "";
}

std::string parse_source(const std::vector<std::string> &w, sim_source *source)
{
	if (w.size() < 2)
		return "source needs a NAME";
	source->name = w[1];
	for (size_t i = 2; i < w.size(); i++) {
		const std::string &field = w[i];
		long long value;
		if (field.rfind("current=", 0) == 0 && parse_long(field.substr(8), &value)) {
			source->has_current = true;
			source->current = value;
		} else if (field.rfind("max=", 0) == 0 && parse_long(field.substr(4), &value)) {
			source->has_max = true;
			source->max = value;
		} else if (field.rfind("type=", 0) == 0 && field.size() > 5) {
			source->type_given = true;
			source->type = field == "type=-" ? "" : field.substr(5);
		} else {
			return "source fields are current=N, max=N and type=WORD";
		}
	}
	return "";
}

std::string parse_battery(const std::vector<std::string> &w, machine *m)
{
	bool charge = false, discharge = false, sleep = false;
	for (size_t i = 1; i < w.size(); i++) {
		size_t eq = w[i].find('=');
		double value;
		if (eq == std::string::npos || !parse_double(w[i].substr(eq + 1), &value))
			return "battery fields are NAME=NUMBER";
		std::string name = w[i].substr(0, eq);
		if (name == "charge")
			m->charge = value, charge = true;
		else if (name == "discharge")
			m->discharge = value, discharge = true;
		else if (name == "sleep")
			m->sleep = value, sleep = true;
		else if (name == "level")
			m->level = value;
		else if (name == "updated")
			m->updated = value;
		else if (name == "start")
			m->start = value;
		else
			return "unknown battery field '" + name + "'";
	}
	if (!charge || !discharge || !sleep)
		return "battery needs charge=, discharge= and sleep=";
	if (m->charge < 0 || m->discharge < 0 || m->sleep < 0)
		return "battery rates must not be negative";
	m->has_battery = true;
	return "";
}

int signal_number(const std::string &name)
{
	if (name == "TERM")
		return SIGTERM;
	if (name == "INT")
		return SIGINT;
	if (name == "HUP")
		return SIGHUP;
	if (name == "PIPE")
		return SIGPIPE;
	return 0;
}

std::string parse_event(const std::vector<std::string> &w, sim_event *event)
{
	if (w.size() < 3 || !parse_double(w[1], &event->at) || event->at < 0)
		return "at needs a time in seconds and an event";
	const std::string &what = w[2];
	long long value;
	if (what == "plug" && w.size() == 3)
		event->kind = event_kind::plug;
	else if (what == "unplug" && w.size() == 3)
		event->kind = event_kind::unplug;
	else if (what == "sleep" && w.size() == 4 && parse_long(w[3], &value) && value >= 0) {
		event->kind = event_kind::sleep;
		event->arg = static_cast<long>(value);
	} else if (what == "limit" && w.size() == 4 && parse_long(w[3], &value) && value >= LONG_MIN &&
	           value <= LONG_MAX) {
		event->kind = event_kind::limit;
		event->arg = static_cast<long>(value);
	} else if (what == "sleep" && w.size() == 5 && w[4] == "forced" && parse_long(w[3], &value) &&
	           value >= 0) {
		event->kind = event_kind::sleep;
		event->arg = static_cast<long>(value);
		event->forced = true;
	} else if (what == "reset" && w.size() == 3) {
		event->kind = event_kind::reset;
	} else if (what == "signal" && w.size() == 4 && signal_number(w[3]) != 0) {
		event->kind = event_kind::signal;
		event->arg = signal_number(w[3]);
	} else
		return "unknown event '" + what + "'";
	return "";
}

// One directive; "" when it is well formed.
std::string parse_line(const std::vector<std::string> &w, machine *m, machine_line *line)
{
	const std::string &d = w[0];
	if (d == "smc" && w.size() == 2) {
		if (w[1] == "present")
			m->smc = smc_mode::present;
		else if (w[1] == "absent")
			m->smc = smc_mode::absent;
		else if (w[1] == "refuse")
			m->smc = smc_mode::refuse;
		else
			return "smc is present, absent or refuse";
		line->kind = line_kind::smc;
		return "";
	}
	if (d == "key") {
		sim_key key;
		std::string why = parse_key(w, &key);
		if (!why.empty())
			return why;
		// A second line for the same key would be lost at the next rewrite.
		if (find_key(*m, key.name) != nullptr)
			return "key " + key.name + " is defined twice";
		line->kind = line_kind::key;
		line->index = m->keys.size();
		m->keys.push_back(key);
		return "";
	}
	if (d == "fail") {
		if (w.size() == 2 && w[1] == "call") {
			m->fail_call = true;
			return "";
		}
		if (w.size() == 3 && w[1].size() == 4 &&
		    (w[2] == "keyinfo" || w[2] == "read" || w[2] == "write")) {
			m->fails.emplace_back(w[1], w[2]);
			return "";
		}
		return "fail is 'fail call' or 'fail NAME keyinfo|read|write'";
	}
	if (d == "deny") {
		if (w.size() == 3 && w[1].size() == 4 &&
		    (w[2] == "keyinfo" || w[2] == "read" || w[2] == "write")) {
			m->denies.emplace_back(w[1], w[2]);
			return "";
		}
		return "deny is 'deny NAME keyinfo|read|write'";
	}
	if (d == "power" && w.size() == 2) {
		if (w[1] == "ac")
			m->power = power_mode::ac;
		else if (w[1] == "battery")
			m->power = power_mode::battery;
		else if (w[1] == "none")
			m->power = power_mode::none;
		else if (w[1] == "unavailable")
			m->power = power_mode::unavailable;
		else
			return "power is ac, battery, none or unavailable";
		line->kind = line_kind::power;
		return "";
	}
	if (d == "source") {
		sim_source source;
		std::string why = parse_source(w, &source);
		if (!why.empty())
			return why;
		line->kind = line_kind::source;
		line->index = m->sources.size();
		m->sources.push_back(source);
		return "";
	}
	if (d == "register" && w.size() == 2 && (w[1] == "ok" || w[1] == "fail")) {
		m->register_ok = w[1] == "ok";
		return "";
	}
	if (d == "battery") {
		line->kind = line_kind::battery;
		return parse_battery(w, m);
	}
	if (d == "at") {
		sim_event event;
		std::string why = parse_event(w, &event);
		if (why.empty())
			m->events.push_back(event);
		return why;
	}
	if (d == "smc" || d == "power" || d == "register")
		return d + " takes one of its words";
	return "unknown directive '" + d + "'";
}

} // namespace

machine parse_machine(const std::string &text)
{
	machine m;
	std::istringstream in(text);
	std::string raw;
	int number = 0;
	while (std::getline(in, raw)) {
		number++;
		machine_line line;
		line.text = raw;
		std::string body = raw;
		size_t hash = raw.find('#');
		if (hash != std::string::npos) {
			body = raw.substr(0, hash);
			line.comment = raw.substr(hash);
		}
		std::vector<std::string> w = words_of(body);
		if (!w.empty()) {
			std::string why = parse_line(w, &m, &line);
			if (!why.empty()) {
				m.error = "line " + std::to_string(number) + ": " + why;
				return m;
			}
		}
		m.lines.push_back(line);
	}
	return m;
}

} // namespace sim
