// SMC key access: the only code that talks to the system management controller.
// Every exchange is one call of the AppleSMC user client's structure method 2 with an
// 80-byte request and an 80-byte reply.
#pragma once

#include <cstddef>
#include <cstdint>

#include <IOKit/IOKitLib.h>

// The connection to AppleSMC, 0 while not open. Opened by the first operation that
// finds it closed and never closed: the process's exit releases it.
extern io_connect_t smc_conn;

inline constexpr uint32_t smc_selector = 2;
inline constexpr uint8_t smc_cmd_keyinfo = 9;
inline constexpr uint8_t smc_cmd_read = 5;
inline constexpr uint8_t smc_cmd_write = 6;
inline constexpr size_t smc_value_max = 32;

// The record exchanged with the SMC, in the host's byte order.
struct smc_record {
	uint32_t key;
	uint8_t reserved0[24];
	uint32_t data_size;
	uint32_t data_type;
	uint8_t data_attributes;
	uint8_t reserved1[3];
	uint8_t result;
	uint8_t reserved2;
	uint8_t command;
	uint8_t reserved3[5];
	uint8_t bytes[smc_value_max];
};
static_assert(sizeof(smc_record) == 80);
static_assert(offsetof(smc_record, data_size) == 28);
static_assert(offsetof(smc_record, data_type) == 32);
static_assert(offsetof(smc_record, data_attributes) == 36);
static_assert(offsetof(smc_record, result) == 40);
static_assert(offsetof(smc_record, command) == 42);
static_assert(offsetof(smc_record, bytes) == 48);

struct smc_key_info {
	uint32_t data_size;
	uint32_t data_type;
	uint8_t data_attributes;
};

// The 32-bit code of a four-byte key name, first byte most significant; every byte is
// taken as unsigned.
constexpr uint32_t smc_key_code(const char *name)
{
	return static_cast<uint32_t>(static_cast<unsigned char>(name[0])) << 24 |
	       static_cast<uint32_t>(static_cast<unsigned char>(name[1])) << 16 |
	       static_cast<uint32_t>(static_cast<unsigned char>(name[2])) << 8 |
	       static_cast<uint32_t>(static_cast<unsigned char>(name[3]));
}

// Opens the connection unless it is open. 0 on success; -1 when there is no AppleSMC
// service or it refuses the connection (smc_conn stays 0, so the next call tries again).
int smc_open();

// Queries a key's size, type and attributes. 0 on success; -1 when the SMC cannot be
// reached or does not know the key. `info` is filled on success only.
int smc_keyinfo(const char *name, smc_key_info *info);

// Reads a key's value into `value` (32 bytes) and its size into `length`. 0 on success;
// -1 when the key is unknown, larger than 32 bytes, or the read fails. Neither output is
// touched on failure.
int smc_read(const char *name, uint8_t *value, uint32_t *length);

// Writes `size` bytes of `value` to a key whose own size is `size`. 0 on success; -1 when
// the key is unknown, has another size (nothing is written then), or the write fails.
int smc_write(const char *name, uint32_t size, const uint8_t *value);
