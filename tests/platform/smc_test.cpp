// What the program assumes of the AppleSMC user client, stated against the platform
// itself: on a Mac the real one, elsewhere the simulated Mac. Read-only unless
// TAMSO_PLATFORM_WRITES=1 and root; a write always puts back the value it found.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include <IOKit/IOKitLib.h>

#include "smc/smc.h"

namespace {

// The charge-inhibit keys the program knows, as key-info reports them where they hold
// data.
struct inhibit_key {
	const char *name;
	uint32_t size;
	const char *type;
};
constexpr inhibit_key inhibit_keys[] = {
    {"CHTE", 4, "ui32"},
    {"CH0B", 1, "hex_"},
    {"CH0C", 1, "hex_"},
};

// A name no SMC has.
constexpr const char *absent_key = "Zq?!";

struct exchange {
	kern_return_t kr = kIOReturnError;
	smc_record reply = {};
	size_t reply_size = 0;
};

class AppleSmc : public testing::Test {
protected:
	io_connect_t conn = IO_OBJECT_NULL;

	void SetUp() override
	{
		io_service_t service =
		    IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
		if (service == IO_OBJECT_NULL)
			GTEST_SKIP() << "this Mac has no AppleSMC service (a virtual machine?)";
		kern_return_t kr = IOServiceOpen(service, mach_task_self(), 0, &conn);
		EXPECT_EQ(IOObjectRelease(service), KERN_SUCCESS);
		ASSERT_EQ(kr, kIOReturnSuccess) << "IOServiceOpen of AppleSMC with type 0";
		ASSERT_NE(conn, IO_OBJECT_NULL);
	}

	void TearDown() override
	{
		if (conn != IO_OBJECT_NULL) {
			EXPECT_EQ(IOServiceClose(conn), kIOReturnSuccess);
		}
	}

	// One exchange of the 80-byte record, as the program makes it.
	exchange call(const char *name, uint8_t command, uint32_t data_size = 0,
	              const uint8_t *value = nullptr)
	{
		smc_record request = {};
		request.key = smc_key_code(name);
		request.command = command;
		request.data_size = data_size;
		if (value != nullptr)
			memcpy(request.bytes, value, data_size);
		exchange e;
		e.reply_size = sizeof e.reply;
		e.kr = IOConnectCallStructMethod(conn, smc_selector, &request, sizeof request,
		                                 &e.reply, &e.reply_size);
		return e;
	}

	// The first charge-inhibit key this Mac has with data, or nullptr.
	const inhibit_key *key_with_data()
	{
		for (const inhibit_key &key : inhibit_keys) {
			exchange info = call(key.name, smc_cmd_keyinfo);
			if (info.kr == kIOReturnSuccess && info.reply.result == 0 &&
			    info.reply.data_size > 0)
				return &key;
		}
		return nullptr;
	}

	std::vector<uint8_t> read_value(const char *name, uint32_t size)
	{
		exchange e = call(name, smc_cmd_read, size);
		EXPECT_EQ(e.kr, kIOReturnSuccess) << "read " << name;
		EXPECT_EQ(e.reply.result, 0) << "read " << name;
		return std::vector<uint8_t>(e.reply.bytes, e.reply.bytes + size);
	}
};

std::string type_name(uint32_t code)
{
	std::string name;
	for (int shift = 24; shift >= 0; shift -= 8)
		name += static_cast<char>(code >> shift);
	return name;
}

TEST(AppleSmcService, IsFoundOnTheDefaultMainPortAndOpensWithTypeZero)
{
	CFMutableDictionaryRef matching = IOServiceMatching("AppleSMC");
	ASSERT_NE(matching, nullptr);
	// The lookup takes over the dictionary whatever it finds.
	io_service_t service = IOServiceGetMatchingService(kIOMainPortDefault, matching);
	if (service == IO_OBJECT_NULL)
		GTEST_SKIP() << "this Mac has no AppleSMC service (a virtual machine?)";
	io_connect_t conn = IO_OBJECT_NULL;
	EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 0, &conn), kIOReturnSuccess);
	EXPECT_NE(conn, IO_OBJECT_NULL);
	// The service outlives the open and is released on its own; the connection is closed.
	EXPECT_EQ(IOObjectRelease(service), KERN_SUCCESS);
	if (conn != IO_OBJECT_NULL) {
		EXPECT_EQ(IOServiceClose(conn), kIOReturnSuccess);
	}
}

TEST_F(AppleSmc, OneConnectionServesManyExchanges)
{
	const inhibit_key *key = key_with_data();
	if (key == nullptr)
		GTEST_SKIP() << "this Mac has none of CHTE, CH0B, CH0C with data";
	std::vector<uint8_t> first = read_value(key->name, key->size);
	for (int i = 0; i < 50; i++) {
		exchange info = call(key->name, smc_cmd_keyinfo);
		ASSERT_EQ(info.kr, kIOReturnSuccess) << "key-info number " << i;
		ASSERT_EQ(info.reply.result, 0) << "key-info number " << i;
		ASSERT_EQ(info.reply.data_size, key->size) << "key-info number " << i;
		ASSERT_EQ(read_value(key->name, key->size), first) << "read number " << i;
	}
}

TEST_F(AppleSmc, KeyInfoOfAKeyItHasGivesItsSizeAndType)
{
	int found = 0;
	for (const inhibit_key &key : inhibit_keys) {
		exchange info = call(key.name, smc_cmd_keyinfo);
		// Whether the key exists or not, the call itself succeeds.
		ASSERT_EQ(info.kr, kIOReturnSuccess) << key.name;
		EXPECT_EQ(info.reply_size, sizeof(smc_record)) << key.name;
		if (info.reply.result != 0 || info.reply.data_size == 0)
			continue; // absent here, or present without data (newest firmware)
		found++;
		EXPECT_EQ(info.reply.data_size, key.size) << key.name;
		EXPECT_EQ(type_name(info.reply.data_type), key.type) << key.name;
	}
	if (found == 0)
		GTEST_SKIP() << "this Mac has none of CHTE, CH0B, CH0C with data";
}

TEST_F(AppleSmc, KeyInfoOfAKeyItLacksFailsInTheReplyNotTheCall)
{
	exchange info = call(absent_key, smc_cmd_keyinfo);
	EXPECT_EQ(info.kr, kIOReturnSuccess);
	EXPECT_NE(info.reply.result, 0) << "key-info of " << absent_key << " reported success";
}

TEST_F(AppleSmc, ReadGivesExactlyTheKeysSize)
{
	const inhibit_key *key = key_with_data();
	if (key == nullptr)
		GTEST_SKIP() << "this Mac has none of CHTE, CH0B, CH0C with data";
	exchange read = call(key->name, smc_cmd_read, key->size);
	ASSERT_EQ(read.kr, kIOReturnSuccess);
	EXPECT_EQ(read.reply.result, 0);
	EXPECT_EQ(read.reply_size, sizeof(smc_record));
	EXPECT_EQ(read.reply.data_size, key->size);
}

TEST_F(AppleSmc, RecordOfAnotherSizeThan80BytesIsRefused)
{
	RecordProperty("deliberate_misuse", "record size");
	struct {
		size_t request;
		size_t reply;
	} const sizes[] = {{79, 80}, {81, 80}, {40, 80}, {80, 79}};
	for (const auto &size : sizes) {
		// Room for the largest size tried; a harmless key-info request.
		uint8_t request[96] = {}, reply[96] = {};
		smc_record record = {};
		record.key = smc_key_code("CHTE");
		record.command = smc_cmd_keyinfo;
		memcpy(request, &record, sizeof record);
		size_t reply_size = size.reply;
		kern_return_t kr = IOConnectCallStructMethod(conn, smc_selector, request,
		                                             size.request, reply, &reply_size);
		EXPECT_NE(kr, kIOReturnSuccess)
		    << "request of " << size.request << " bytes, reply of " << size.reply;
	}
	// The connection still serves records of the right size.
	EXPECT_EQ(call("CHTE", smc_cmd_keyinfo).kr, kIOReturnSuccess);
}

using saved_values = std::vector<std::pair<const char *, std::vector<uint8_t>>>;

// Writes back the values it holds when it goes out of scope, so that a failed assertion
// cannot leave charging paused.
struct restorer {
	std::function<bool(const char *, const std::vector<uint8_t> &)> write;
	saved_values saved;

	~restorer()
	{
		for (const auto &[name, value] : saved)
			EXPECT_TRUE(write(name, value)) << "could not restore " << name;
	}
};

class AppleSmcWrites : public AppleSmc {
protected:
	void SetUp() override
	{
		const char *writes = getenv("TAMSO_PLATFORM_WRITES");
		if (writes == nullptr || strcmp(writes, "1") != 0)
			GTEST_SKIP()
			    << "read-only run; TAMSO_PLATFORM_WRITES=1 (as root) tests writes";
		if (geteuid() != 0)
			GTEST_SKIP() << "writing SMC keys needs root";
		AppleSmc::SetUp();
	}

	bool write(const char *name, const std::vector<uint8_t> &value)
	{
		exchange e =
		    call(name, smc_cmd_write, static_cast<uint32_t>(value.size()), value.data());
		return e.kr == kIOReturnSuccess && e.reply.result == 0;
	}
};

TEST_F(AppleSmcWrites, PausingChargingReadsBackAndTheFoundStateIsRestored)
{
	const inhibit_key *key = key_with_data();
	if (key == nullptr)
		GTEST_SKIP() << "this Mac has none of CHTE, CH0B, CH0C with data";
	// CHTE alone where the Mac has it, else the pair CH0B and CH0C.
	std::vector<const char *> names = {"CHTE"};
	std::vector<uint8_t> pause = {1, 0, 0, 0};
	if (strcmp(key->name, "CHTE") != 0) {
		names = {"CH0B", "CH0C"};
		pause = {2};
	}
	saved_values found;
	for (const char *name : names) {
		exchange info = call(name, smc_cmd_keyinfo);
		ASSERT_EQ(info.reply.result, 0) << name;
		ASSERT_EQ(info.reply.data_size, pause.size()) << name;
		found.emplace_back(name, read_value(name, info.reply.data_size));
	}
	{
		restorer guard{[this](const char *name, const std::vector<uint8_t> &value) {
			               return write(name, value);
		               },
		               found};
		for (const char *name : names) {
			ASSERT_TRUE(write(name, pause)) << "write " << name;
			EXPECT_EQ(read_value(name, static_cast<uint32_t>(pause.size())), pause)
			    << name;
		}
	}
	for (const auto &[name, value] : found)
		EXPECT_EQ(read_value(name, static_cast<uint32_t>(value.size())), value)
		    << name << " after restoring";
}

} // namespace
