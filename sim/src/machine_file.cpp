// The machine file's text: the default machine a new root gets, and the file written back
// after a change, every line in its place and every comment kept.
#include <cstdio>
#include <string>

#include "machine.h"

namespace sim {

const char *const default_machine_text = "smc present\n"
                                         "key CHTE 4 ui32 00000000\n"
                                         "power ac\n"
                                         "source InternalBattery-0 current=64 max=100\n"
                                         "register ok\n"
                                         "battery charge=60 discharge=12 sleep=1\n";

namespace {

const char *power_word(power_mode p)
{
	switch (p) {
	case power_mode::ac:
		return "ac";
	case power_mode::battery:
		return "battery";
	case power_mode::none:
		return "none";
	case power_mode::unavailable:
		return "unavailable";
	}
	return "ac";
}

const char *smc_word(smc_mode s)
{
	switch (s) {
	case smc_mode::present:
		return "present";
	case smc_mode::absent:
		return "absent";
	case smc_mode::refuse:
		return "refuse";
	}
	return "present";
}

std::string trimmed(const std::string &type)
{
	size_t end = type.find_last_not_of(' ');
	return end == std::string::npos ? type : type.substr(0, end + 1);
}

std::string format_line(const machine &m, const machine_line &line)
{
	char buffer[1100]; // three doubles in %f take up to 317 characters each
	switch (line.kind) {
	case line_kind::verbatim:
		return line.text;
	case line_kind::smc:
		return std::string("smc ") + smc_word(m.smc);
	case line_kind::power:
		return std::string("power ") + power_word(m.power);
	case line_kind::key: {
		const sim_key &k = m.keys[line.index];
		std::string value = k.size == 0 ? "-" : hex(k.value.data(), k.value.size());
		return "key " + k.name + " " + std::to_string(k.size) + " " + trimmed(k.type) + " " + value;
	}
	case line_kind::source: {
		const sim_source &s = m.sources[line.index];
		std::string text = "source " + s.name;
		if (s.has_current)
			text += " current=" + std::to_string(s.current);
		if (s.has_max)
			text += " max=" + std::to_string(s.max);
		if (s.type_given)
			text += " type=" + (s.type.empty() ? std::string("-") : s.type);
		return text;
	}
	case line_kind::battery:
		snprintf(buffer, sizeof buffer, "battery charge=%g discharge=%g sleep=%g", m.charge,
		         m.discharge, m.sleep);
		std::string text = buffer;
		if (m.level >= 0) {
			snprintf(buffer, sizeof buffer, " level=%.6f updated=%.3f start=%.3f", m.level,
			         m.updated, m.start);
			text += buffer;
		}
		return text;
	}
	return line.text;
}

} // namespace

std::string hex(const uint8_t *bytes, size_t size)
{
	static const char digits[] = "0123456789abcdef";
	std::string text;
	for (size_t i = 0; i < size; i++) {
		text += digits[bytes[i] >> 4];
		text += digits[bytes[i] & 15];
	}
	return text.empty() ? "-" : text;
}

std::string format_machine(const machine &m)
{
	std::string text;
	for (const machine_line &line : m.lines) {
		std::string body = format_line(m, line);
		if (line.kind != line_kind::verbatim && !line.comment.empty())
			body += " " + line.comment;
		text += body + "\n";
	}
	return text;
}

} // namespace sim
