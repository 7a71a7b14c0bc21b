// The command line: arbitrary argument vectors through the dispatcher, as root and as an
// unprivileged user, against a reference of the dispatcher's rules.
//
// Input: one byte of flags (bit 0: run as an unprivileged user; bit 1: a limit of 90 is
// stored beforehand), then the arguments after the program name, separated by NUL bytes.
//
// Two calls would leave the fuzzer: the daemon's stop handler calls exit() and powermode
// replaces the process with pmset. So a `daemon` input gets a machine without AppleSMC,
// where the daemon ends at once with 1 after its start-up check (the dispatcher's step for
// it stays in the fuzzed space, extra words and all), and the root has no usr/bin/pmset,
// so that the exec fails and powermode reports it and returns 1.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cli/dispatch.h"
#include "fuzz_support.h"

namespace {

// A CHTE Mac at 90 percent, charging, with a few keys that `read` treats differently.
const std::string machine = "smc present\n"
                            "key CHTE 4 ui32 00000000\n"
                            "key ZERO 0 flag -\n"
                            "key BIG! 33 ch8* "
                            "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20\n"
                            "key FAIL 1 ui8 07\n"
                            "fail FAIL read\n"
                            "key \xc3\xa9xy 2 ui16 beef\n"
                            "power ac\n"
                            "source InternalBattery-0 current=90 max=100\n"
                            "register ok\n";

const std::string usage(usage_text);

struct expected {
	int code;
	std::string out;
	std::string err;       // exact, or the message after a time stamp when stamped
	bool stamped = false;
	std::string limit;     // the limit file's content afterwards
};

bool is_space(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// strtol's rules, written out: blanks, a sign, one or more digits, then the end.
bool reference_parse(const std::string &text, long *value)
{
	size_t i = 0;
	while (i < text.size() && is_space(text[i]))
		i++;
	bool negative = false;
	if (i < text.size() && (text[i] == '+' || text[i] == '-'))
		negative = text[i++] == '-';
	size_t first = i;
	long magnitude = 0;
	for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++)
		if (magnitude < 1000)
			magnitude = magnitude * 10 + (text[i] - '0');
	if (i == first) {
		*value = 0;
		return text.empty(); // no digits: only the empty argument parses (as 0)
	}
	*value = negative ? -magnitude : magnitude;
	return i == text.size();
}

std::string key_report(const std::string &name)
{
	if (name == "CHTE")
		return "CHTE: 00 00 00 00\n";
	if (name == "ZERO")
		return "ZERO:\n";
	if (name == "\xc3\xa9xy")
		return name + ": be ef\n";
	return name + ": not found\n";
}

expected reference(const std::vector<std::string> &args, bool root, const std::string &limit_before)
{
	expected e{2, "", usage, false, limit_before};
	size_t argc = args.size() + 1;
	if (argc <= 1)
		return e;
	const std::string &command = args[0];
	if (command == "status") {
		int limit = limit_before == "90\n" ? 90 : 100;
		return {0, "battery=90\nac=1\nlimit=" + std::to_string(limit) + "\ninhibited=0\n", "", false,
		        limit_before};
	}
	if (command == "read" && argc == 3 && args[1].size() == 4) {
		std::string report = key_report(args[1]);
		bool found = report.find(": not found\n") == std::string::npos;
		return {found ? 0 : 1, report, "", false, limit_before};
	}
	if (command == "daemon")
		return {1, "", "cannot open AppleSMC\n", false, limit_before};
	if (!root)
		return {1, "", "must run as root\n", false, limit_before};
	if (command == "powermode" && argc == 3) {
		const std::string &mode = args[1];
		if (mode.size() == 1 && mode[0] >= '0' && mode[0] <= '2')
			return {1, "", "pmset: No such file or directory\n", false, limit_before};
		return e;
	}
	if (command == "setlimit" && argc == 3) {
		long value;
		if (!reference_parse(args[1], &value) || value < 20 || value > 100)
			return e;
		std::string stored = std::to_string(value) + "\n";
		// The pass at 90 percent, charging: pauses at a limit of 90 or below.
		if (value <= 90)
			return {0, "", "battery 90%, limit " + std::to_string(value) + "% -> charging paused\n",
			        true, stored};
		return {0, "", "", false, stored};
	}
	return e;
}

bool stamp_matches(const std::string &err, const std::string &message)
{
	// "YYYY-MM-DD HH:MM:SS " and the message.
	if (err.size() != 20 + message.size() || err.compare(20, std::string::npos, message) != 0)
		return false;
	const char *shape = "dddd-dd-dd dd:dd:dd ";
	for (size_t i = 0; i < 20; i++)
		if (shape[i] == 'd' ? (err[i] < '0' || err[i] > '9') : err[i] != shape[i])
			return false;
	return true;
}

uid_t nobody = 65534;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz::make_root("cli");
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size == 0 || size > 4096)
		return 0;
	uint8_t flags = data[0];
	std::vector<std::string> args;
	if (size > 1) {
		std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
		size_t at = 0;
		for (;;) {
			size_t end = rest.find('\0', at);
			args.push_back(rest.substr(at, end == std::string::npos ? std::string::npos : end - at));
			if (end == std::string::npos || args.size() == 8)
				break;
			at = end + 1;
		}
	}
	bool as_user = (flags & 1) != 0 && geteuid() == 0;
	bool root = geteuid() == 0 && !as_user;

	fuzz::remove_limit();
	std::string limit_before = "<absent>";
	if (flags & 2) {
		fuzz::store_limit("90\n", 3);
		limit_before = "90\n";
	}
	bool daemon = !args.empty() && args[0] == "daemon";
	fuzz::load_machine(daemon ? "smc absent\n" : machine);
	long objects = simmac::live_objects(), io_objects = simmac::live_io_objects();
	long misuses = simmac::misuses();
	struct stat st;
	fuzz::check(stat((fuzz::root_dir() + "/usr/bin/pmset").c_str(), &st) == -1,
	            "a pmset exists in the fuzzer's root: powermode would replace the fuzzer");

	std::vector<char *> argv;
	argv.push_back(const_cast<char *>("tamso-helper"));
	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	int code = -1;
	if (as_user && seteuid(nobody) == -1)
		fuzz::fail("cannot switch to an unprivileged user");
	fuzz::output o = fuzz::capture(
	    [&] { code = run_command(static_cast<int>(argv.size() - 1), argv.data()); });
	if (as_user && seteuid(0) == -1)
		fuzz::fail("cannot switch back to root");

	expected e = reference(args, root, limit_before);
	std::string call;
	for (const std::string &a : args)
		call += " [" + fuzz::shown(a) + "]";
	fuzz::check(code == e.code, "exit code " + std::to_string(code) + ", expected " +
	                                std::to_string(e.code) + " for" + call);
	fuzz::check(o.out == e.out, "stdout '" + fuzz::shown(o.out) + "', expected '" +
	                                fuzz::shown(e.out) + "' for" + call);
	bool err_ok = e.stamped ? stamp_matches(o.err, e.err) : o.err == e.err;
	fuzz::check(err_ok, "stderr '" + fuzz::shown(o.err) + "', expected '" + fuzz::shown(e.err) +
	                        "' for" + call);
	std::string limit_after = fuzz::read_file(fuzz::limit_path());
	fuzz::check(limit_after == e.limit, "limit file '" + fuzz::shown(limit_after) + "', expected '" +
	                                        fuzz::shown(e.limit) + "' for" + call);
	fuzz::check(simmac::misuses() == misuses, "a platform rule was broken for" + call);
	fuzz::check(simmac::live_objects() == objects && simmac::live_io_objects() == io_objects,
	            "platform objects leaked for" + call);
	return 0;
}
