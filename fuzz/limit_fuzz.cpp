// The limit-file reader on arbitrary bytes, in memory (limit_from_text) and from the file
// itself (read_limit, which reads in chunks): always within 20..100 and always what a
// plain reading of the rule gives.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "power/limit.h"

namespace {

// The rule, written out plainly: white space, one optional sign, the digits; the first
// number if it lies in 20..100, else 100.
int reference(const uint8_t *data, size_t size)
{
	auto is_space = [](uint8_t c) {
		return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
	};
	size_t i = 0;
	while (i < size && is_space(data[i]))
		i++;
	bool negative = false;
	if (i < size && (data[i] == '+' || data[i] == '-'))
		negative = data[i++] == '-';
	std::string digits;
	while (i < size && data[i] >= '0' && data[i] <= '9')
		digits += static_cast<char>(data[i++]);
	if (digits.empty())
		return 100;
	size_t first = digits.find_first_not_of('0');
	digits = first == std::string::npos ? "0" : digits.substr(first);
	if (digits.size() > 3 || negative)
		return 100;
	int value = std::stoi(digits);
	return value >= 20 && value <= 100 ? value : 100;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz::make_root("limit");
	fuzz::load_machine(simmac::default_machine()); // in memory: nothing seeded on disk
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	int want = reference(data, size);
	int from_text = limit_from_text(reinterpret_cast<const char *>(data), size);
	std::string input = fuzz::shown(std::string(reinterpret_cast<const char *>(data), size));
	fuzz::check(from_text >= 20 && from_text <= 100, "limit_from_text out of range for " + input);
	fuzz::check(from_text == want, "limit_from_text gave " + std::to_string(from_text) +
	                                   ", expected " + std::to_string(want) + " for " + input);
	fuzz::store_limit(data, size);
	int from_file = read_limit();
	fuzz::check(from_file == want, "read_limit gave " + std::to_string(from_file) + ", expected " +
	                                   std::to_string(want) + " for " + input);
	return 0;
}
