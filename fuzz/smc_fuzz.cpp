// The SMC paths under arbitrary key tables: sizes 0..255, any values and types, result
// failures of any command, missing keys, call errors, no service or a refused one. A
// sequence of reads, writes, state reads and switches runs against a model of the SMC
// and the rules of key access and of the charge-inhibit switch; every outcome must match,
// every request record must be clean, and no platform rule may be broken.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "smc/charge.h"
#include "smc/smc.h"

namespace {

struct model_key {
	std::string name;
	std::string type;
	std::vector<uint8_t> value; // its size is the key's size
	bool fail_keyinfo = false, fail_read = false, fail_write = false;
};

struct model {
	enum { present, absent, refuse } smc = present;
	bool fail_call = false;
	std::vector<model_key> keys;

	model_key *find(const std::string &name)
	{
		for (model_key &k : keys)
			if (k.name == name)
				return &k;
		return nullptr;
	}
	bool reachable() const
	{
		return smc == present && !fail_call;
	}
	// The size key info reports, or nothing.
	std::optional<size_t> keyinfo(const std::string &name)
	{
		model_key *k = find(name);
		if (!reachable() || k == nullptr || k->fail_keyinfo)
			return std::nullopt;
		return k->value.size();
	}
	std::optional<std::vector<uint8_t>> read(const std::string &name)
	{
		std::optional<size_t> size = keyinfo(name);
		if (!size || *size > 32 || find(name)->fail_read)
			return std::nullopt;
		return find(name)->value;
	}
	bool write(const std::string &name, const std::vector<uint8_t> &value)
	{
		std::optional<size_t> size = keyinfo(name);
		if (!size || *size != value.size() || value.size() > 32 || find(name)->fail_write)
			return false;
		find(name)->value = value;
		return true;
	}
	// get_charging_inhibited: -1, or the state as 0 or 1.
	int state()
	{
		bool chte = keyinfo("CHTE").has_value();
		std::optional<std::vector<uint8_t>> v = read(chte ? "CHTE" : "CH0B");
		if (!v || v->empty())
			return -1;
		std::vector<uint8_t> bytes = *v;
		bytes.resize(32, 0);
		if (chte)
			return bytes[0] || bytes[1] || bytes[2] || bytes[3] ? 1 : 0;
		return bytes[0] ? 1 : 0;
	}
	// set_charging_inhibited: 0 or -1.
	int set(bool inhibit)
	{
		if (keyinfo("CHTE"))
			return write("CHTE", {static_cast<uint8_t>(inhibit ? 1 : 0), 0, 0, 0}) ? 0 : -1;
		uint8_t byte = inhibit ? 0x02 : 0x00;
		bool first = write("CH0B", {byte});
		bool second = write("CH0C", {byte});
		return first && second ? 0 : -1;
	}
};

const char *const known_names[] = {"CHTE", "CH0B", "CH0C"};

// A word of the machine file: no blank, no comment sign.
char word_byte(FuzzedDataProvider &in)
{
	uint8_t c = in.ConsumeIntegralInRange<uint8_t>(0x21, 0xff);
	return c == '#' ? '_' : static_cast<char>(c);
}

std::string key_name(FuzzedDataProvider &in, const std::vector<model_key> &keys)
{
	switch (in.ConsumeIntegralInRange<int>(0, 3)) {
	case 0:
		if (!keys.empty())
			return keys[in.ConsumeIntegralInRange<size_t>(0, keys.size() - 1)].name;
		[[fallthrough]];
	case 1:
	case 2:
		return known_names[in.ConsumeIntegralInRange<int>(0, 2)];
	default: {
		std::string name;
		for (int i = 0; i < 4; i++)
			name += word_byte(in);
		return name;
	}
	}
}

std::string hex(const std::vector<uint8_t> &bytes)
{
	static const char digits[] = "0123456789abcdef";
	std::string text;
	for (uint8_t b : bytes) {
		text += digits[b >> 4];
		text += digits[b & 15];
	}
	return text.empty() ? "-" : text;
}

std::string directives(const model &m)
{
	std::string text = m.smc == model::present  ? "smc present\n"
	                   : m.smc == model::absent ? "smc absent\n"
	                                            : "smc refuse\n";
	if (m.fail_call)
		text += "fail call\n";
	for (const model_key &k : m.keys) {
		text += "key " + k.name + " " + std::to_string(k.value.size()) + " " + k.type + " " +
		        hex(k.value) + "\n";
		if (k.fail_keyinfo)
			text += "fail " + k.name + " keyinfo\n";
		if (k.fail_read)
			text += "fail " + k.name + " read\n";
		if (k.fail_write)
			text += "fail " + k.name + " write\n";
	}
	return text + "power ac\n";
}

// Every request is all zeros but the fields its command fills in.
void check_request(const std::array<uint8_t, 80> &r)
{
	uint8_t command = r[42];
	fuzz::check(command == 9 || command == 5 || command == 6, "request with command " +
	                                                               std::to_string(command));
	for (size_t i = 4; i < 80; i++) {
		bool size_field = i >= 28 && i < 32;
		if (i == 42 || (size_field && command != 9) || (i >= 48 && command == 6))
			continue;
		fuzz::check(r[i] == 0, "request byte " + std::to_string(i) + " not zero (command " +
		                           std::to_string(command) + ")");
	}
	if (command == 9) {
		uint32_t size;
		memcpy(&size, &r[28], 4);
		fuzz::check(size == 0, "key-info request with a size");
	}
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	fuzz::make_root("smc");
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FuzzedDataProvider in(data, size);
	model m;
	uint8_t mode = in.ConsumeIntegral<uint8_t>();
	m.smc = mode < 240 ? model::present : mode < 248 ? model::absent : model::refuse;
	m.fail_call = in.ConsumeIntegral<uint8_t>() >= 248;
	size_t count = in.ConsumeIntegralInRange<size_t>(0, 8);
	for (size_t i = 0; i < count; i++) {
		model_key k;
		k.name = key_name(in, m.keys);
		if (m.find(k.name) != nullptr)
			continue;
		size_t length = in.ConsumeIntegralInRange<size_t>(1, 4);
		for (size_t j = 0; j < length; j++)
			k.type += word_byte(in);
		uint8_t shape = in.ConsumeIntegral<uint8_t>();
		// Mostly the sizes that matter (0, 1, 4, 32, 33), sometimes any up to 255.
		size_t key_size = shape < 200 ? std::array<size_t, 6>{0, 1, 4, 32, 33, 2}[shape % 6]
		                              : in.ConsumeIntegral<uint8_t>();
		k.value = in.ConsumeBytes<uint8_t>(key_size);
		k.value.resize(key_size, 0);
		uint8_t fails = in.ConsumeIntegral<uint8_t>();
		k.fail_keyinfo = (fails & 0x07) == 0x07;
		k.fail_read = (fails & 0x38) == 0x38;
		k.fail_write = (fails & 0xc0) == 0xc0;
		m.keys.push_back(k);
	}
	std::string text = directives(m);
	std::string error = simmac::check(text);
	fuzz::check(error.empty(), "the harness wrote a malformed machine: " + error + "\n" + text);
	fuzz::load_machine(text);
	long objects = simmac::live_objects(), io_objects = simmac::live_io_objects();
	long misuses = simmac::misuses();

	for (int step = 0; step < 16 && in.remaining_bytes() > 0; step++) {
		std::string at = " at step " + std::to_string(step) + " of\n" + fuzz::shown(text);
		switch (in.ConsumeIntegralInRange<int>(0, 3)) {
		case 0: {
			std::string name = key_name(in, m.keys);
			uint8_t buffer[64];
			memset(buffer, 0xa5, sizeof buffer);
			uint32_t length = 0xdeadbeef;
			int result = smc_read(name.c_str(), buffer, &length);
			std::optional<std::vector<uint8_t>> want = m.read(name);
			fuzz::check(result == (want ? 0 : -1), "smc_read " + fuzz::shown(name) + " gave " +
			                                           std::to_string(result) + at);
			size_t filled = want ? want->size() : 0;
			if (want) {
				fuzz::check(length == want->size(), "smc_read length" + at);
				fuzz::check(want->empty() || memcmp(buffer, want->data(), want->size()) == 0,
				            "smc_read value" + at);
			} else {
				fuzz::check(length == 0xdeadbeef, "smc_read set the length on failure" + at);
			}
			for (size_t i = filled; i < sizeof buffer; i++)
				fuzz::check(buffer[i] == 0xa5, "smc_read wrote beyond the value" + at);
			break;
		}
		case 1: {
			std::string name = key_name(in, m.keys);
			uint8_t shape = in.ConsumeIntegral<uint8_t>();
			size_t length = shape < 128 ? (shape & 1 ? 1 : 4) : in.ConsumeIntegralInRange<size_t>(0, 40);
			std::vector<uint8_t> value = in.ConsumeBytes<uint8_t>(length);
			value.resize(length, 0);
			uint8_t buffer[40] = {};
			std::copy(value.begin(), value.end(), buffer);
			int result = smc_write(name.c_str(), static_cast<uint32_t>(length), buffer);
			bool want = m.write(name, value);
			fuzz::check(result == (want ? 0 : -1), "smc_write " + fuzz::shown(name) + " size " +
			                                           std::to_string(length) + " gave " +
			                                           std::to_string(result) + at);
			break;
		}
		case 2: {
			bool state = false;
			int result = get_charging_inhibited(&state);
			int want = m.state();
			int got = result == -1 ? -1 : state ? 1 : 0;
			fuzz::check(got == want, "get_charging_inhibited gave " + std::to_string(got) +
			                             ", expected " + std::to_string(want) + at);
			break;
		}
		default: {
			bool inhibit = in.ConsumeBool();
			int result = set_charging_inhibited(inhibit ? 1 : 0);
			int want = m.set(inhibit);
			fuzz::check(result == want, "set_charging_inhibited gave " + std::to_string(result) +
			                                ", expected " + std::to_string(want) + at);
			break;
		}
		}
	}

	// The machine holds exactly the values the model says were written.
	std::string now = simmac::machine_text();
	for (const model_key &k : m.keys) {
		std::string line = "key " + k.name + " " + std::to_string(k.value.size()) + " " + k.type +
		                   " " + hex(k.value) + "\n";
		fuzz::check(now.find(line) != std::string::npos,
		            "machine lacks '" + fuzz::shown(line) + "' in\n" + fuzz::shown(now));
	}
	for (const std::array<uint8_t, 80> &r : simmac::smc_requests())
		check_request(r);
	fuzz::check(simmac::misuses() == misuses, "a platform rule was broken for\n" + fuzz::shown(text));
	fuzz::check(simmac::live_objects() == objects && simmac::live_io_objects() == io_objects,
	            "platform objects leaked for\n" + fuzz::shown(text));
	return 0;
}
