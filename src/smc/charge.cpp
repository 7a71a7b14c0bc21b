// The charge-inhibit switch over the two SMC key families.
#include "smc/charge.h"

#include <cstdint>
#include <cstring>

#include "smc/smc.h"

namespace {

constexpr const char *key_chte = "CHTE";
constexpr const char *key_ch0b = "CH0B";
constexpr const char *key_ch0c = "CH0C";
constexpr uint32_t chte_inhibit = 1;
constexpr uint32_t chte_allow = 0;
constexpr uint8_t ch0x_inhibit = 0x02;
constexpr uint8_t ch0x_allow = 0x00;

} // namespace

bool smc_has_chte()
{
	smc_key_info info;
	return smc_keyinfo(key_chte, &info) == 0;
}

int get_charging_inhibited(bool *state)
{
	const char *key;
	return read_charging_state(state, &key);
}

int read_charging_state(bool *state, const char **key)
{
	// Zeroed, so bytes that a short key did not return count as 0.
	uint8_t value[smc_value_max] = {};
	uint32_t length = 0;
	*key = smc_has_chte() ? key_chte : key_ch0b;
	bool read = smc_read(*key, value, &length) == 0 && length > 0;
	// Without AppleSMC no key was asked at all; naming one would send the reader after
	// the wrong cause.
	if (smc_conn == IO_OBJECT_NULL)
		*key = nullptr;
	if (!read)
		return -1;
	if (*key == key_chte)
		*state = value[0] != 0 || value[1] != 0 || value[2] != 0 || value[3] != 0;
	else
		*state = value[0] != 0;
	return 0;
}

int set_charging_inhibited(int inhibit)
{
	if (smc_has_chte()) {
		uint32_t word = inhibit ? chte_inhibit : chte_allow;
		uint8_t value[sizeof word];
		memcpy(value, &word, sizeof word); // host byte order, as the SMC expects
		return smc_write(key_chte, sizeof value, value);
	}
	uint8_t byte = inhibit ? ch0x_inhibit : ch0x_allow;
	int first = smc_write(key_ch0b, 1, &byte);
	int second = smc_write(key_ch0c, 1, &byte);
	return first == 0 && second == 0 ? 0 : -1;
}
