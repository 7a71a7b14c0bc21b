// The simulated Mac's machine-file parser on arbitrary text. A malformed file is named
// by a line that exists; a well-formed one loads, and what the simulated Mac writes back
// is itself well formed and reads back to the same machine.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

// The machine's text without what the battery model may move between two loads (its
// level, its time stamps and the first battery source's current capacity).
std::string settled(const std::string &text)
{
	std::istringstream in(text);
	std::string line, out;
	while (std::getline(in, line)) {
		std::istringstream words(line);
		std::string word, kept;
		while (words >> word)
			if (word.rfind("level=", 0) != 0 && word.rfind("updated=", 0) != 0 &&
			    word.rfind("start=", 0) != 0 && word.rfind("current=", 0) != 0)
				kept += word + " ";
		out += kept + "\n";
	}
	return out;
}

size_t line_count(const std::string &text)
{
	size_t lines = 0;
	std::istringstream in(text);
	std::string line;
	while (std::getline(in, line))
		lines++;
	return lines;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz::make_root("machine");
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size > 8192)
		return 0;
	std::string text(reinterpret_cast<const char *>(data), size);
	std::string error = simmac::check(text);
	if (!error.empty()) {
		// "line N: why", with N one of the file's lines.
		size_t n = 0;
		bool shaped = error.rfind("line ", 0) == 0 && sscanf(error.c_str(), "line %zu:", &n) == 1;
		fuzz::check(shaped && n >= 1 && n <= line_count(text),
		            "error '" + fuzz::shown(error) + "' for " + fuzz::shown(text));
		return 0;
	}
	fuzz::load_machine(text);
	std::string first = simmac::machine_text();
	std::string again = simmac::check(first);
	fuzz::check(again.empty(), "the machine as written back is malformed (" + again + "):\n" +
	                               fuzz::shown(first) + "\nfrom\n" + fuzz::shown(text));
	fuzz::load_machine(first);
	std::string second = simmac::machine_text();
	fuzz::check(settled(second) == settled(first), "the machine changed on reading back:\n" +
	                                                   fuzz::shown(first) + "\nbecame\n" +
	                                                   fuzz::shown(second));
	fuzz::check(simmac::misuses() == 0, "loading a machine broke a platform rule");
	return 0;
}
