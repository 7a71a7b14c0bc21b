// SMC key access on in-process simulated Macs: the connection's life, the order of the
// exchanges and the bytes of every request record.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include <simmac/simmac.h>

#include "smc/smc.h"
#include "memory_mac.h"
#include "support.h"

namespace {

using lines = std::vector<std::string>;
using record = std::array<uint8_t, 80>;

// A fresh root (so nothing lands in the caller's home) and a memory machine on it.
class SmcAccess : public memory_mac_test {};

long count_of(const lines &trace, const std::string &line)
{
	return std::count(trace.begin(), trace.end(), line);
}

// The request the SMC should receive: all zeros but the key code (its first byte most
// significant, stored as a host-order u32), the command, the size and the value.
record expected_request(const char *name, uint8_t command, uint32_t size = 0,
                        std::vector<uint8_t> value = {})
{
	record r{};
	uint32_t code = uint32_t(uint8_t(name[0])) << 24 | uint32_t(uint8_t(name[1])) << 16 |
	                uint32_t(uint8_t(name[2])) << 8 | uint32_t(uint8_t(name[3]));
	memcpy(&r[0], &code, 4);
	memcpy(&r[28], &size, 4);
	r[42] = command;
	std::copy(value.begin(), value.end(), r.begin() + 48);
	return r;
}

std::string hex_of(const record &r)
{
	std::string text;
	char byte[4];
	for (size_t i = 0; i < r.size(); i++) {
		snprintf(byte, sizeof byte, "%02x", r[i]);
		text += byte;
		if (i % 16 == 15)
			text += "\n";
	}
	return text;
}

void expect_requests(const std::vector<record> &expected)
{
	std::vector<record> got = simmac::smc_requests();
	ASSERT_EQ(got.size(), expected.size());
	for (size_t i = 0; i < got.size(); i++)
		EXPECT_EQ(hex_of(got[i]), hex_of(expected[i])) << "request " << i;
}

TEST(SmcKeyCode, PacksFirstByteMostSignificantAndEveryByteUnsigned)
{
	struct row {
		const char *name;
		uint32_t code;
	} rows[] = {
	    {"CHTE", 0x43485445u},
	    {"CH0B", 0x43483042u},
	    {"CH0C", 0x43483043u},
	    {"\x80\x01\x02\x03", 0x80010203u},
	    {"A\xff" "B\x80", 0x41ff4280u},
	    {"\xc3\xa9\x90\xfe", 0xc3a990feu},
	    {"\xff\xff\xff\xff", 0xffffffffu},
	};
	for (const row &r : rows)
		EXPECT_EQ(smc_key_code(r.name), r.code) << r.name;
}

TEST_F(SmcAccess, KeyInfoReportsSizeAndTypeOfAKnownKeyOnly)
{
	load("smc present\nkey CHTE 4 ui32 00000000\nkey CH0B 1 ui8 00\n");
	smc_key_info info{};
	ASSERT_EQ(smc_keyinfo("CHTE", &info), 0);
	EXPECT_EQ(info.data_size, 4u);
	EXPECT_EQ(info.data_type, smc_key_code("ui32"));
	ASSERT_EQ(smc_keyinfo("CH0B", &info), 0);
	EXPECT_EQ(info.data_size, 1u);
	EXPECT_EQ(info.data_type, smc_key_code("ui8 "));

	smc_key_info untouched = {77, 88, 99};
	EXPECT_EQ(smc_keyinfo("NOPE", &untouched), -1);
	EXPECT_EQ(untouched.data_size, 77u);
	EXPECT_EQ(untouched.data_type, 88u);
	EXPECT_EQ(untouched.data_attributes, 99);
	EXPECT_EQ(simmac::trace(),
	          (lines{"open ok", "keyinfo CHTE ok 4", "keyinfo CH0B ok 1", "keyinfo NOPE fail"}));
}

TEST_F(SmcAccess, OpensTheServiceOncePerProcessAndReleasesTheServiceObject)
{
	load("smc present\nkey CHTE 4 ui32 00000000\n");
	long io_before = simmac::live_io_objects();
	uint8_t value[32];
	uint32_t length;
	ASSERT_EQ(smc_read("CHTE", value, &length), 0);
	EXPECT_NE(smc_conn, 0u);
	uint8_t one[4] = {1, 0, 0, 0};
	ASSERT_EQ(smc_write("CHTE", 4, one), 0);
	ASSERT_EQ(smc_open(), 0);
	lines trace = simmac::trace();
	EXPECT_EQ(count_of(trace, "open ok"), 1);
	ASSERT_FALSE(trace.empty());
	EXPECT_EQ(trace.front(), "open ok");
	EXPECT_EQ(simmac::live_io_objects(), io_before);
	EXPECT_EQ(simmac::misuses(), 0);
}

TEST_F(SmcAccess, EveryOperationTriesTheOpenAgainAfterAFailure)
{
	struct row {
		const char *machine;
		const char *open_line;
	} rows[] = {
	    {"smc absent\nkey CHTE 4 ui32 00000000\n", "open none"},
	    {"smc refuse\nkey CHTE 4 ui32 00000000\n", "open refused"},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.machine);
		load(r.machine);
		long io_before = simmac::live_io_objects();
		smc_key_info info;
		uint8_t value[32];
		uint32_t length;
		uint8_t one[4] = {1, 0, 0, 0};
		EXPECT_EQ(smc_open(), -1);
		EXPECT_EQ(smc_conn, 0u);
		EXPECT_EQ(smc_keyinfo("CHTE", &info), -1);
		EXPECT_EQ(smc_read("CHTE", value, &length), -1);
		EXPECT_EQ(smc_write("CHTE", 4, one), -1);
		EXPECT_EQ(smc_conn, 0u);
		EXPECT_EQ(simmac::trace(), lines(4, r.open_line));
		EXPECT_TRUE(simmac::smc_requests().empty());
		// The service found before a refused open is released all the same.
		EXPECT_EQ(simmac::live_io_objects(), io_before);
		EXPECT_EQ(simmac::misuses(), 0);
	}
}

TEST_F(SmcAccess, ReadCopiesExactlyTheKeySizeAfterItsKeyInfo)
{
	load("smc present\nkey ABCD 4 ui32 0a0b0c0d\n");
	uint8_t value[40];
	memset(value, 0xee, sizeof value);
	uint32_t length = 99;
	ASSERT_EQ(smc_read("ABCD", value, &length), 0);
	EXPECT_EQ(length, 4u);
	EXPECT_EQ(value[0], 0x0a);
	EXPECT_EQ(value[1], 0x0b);
	EXPECT_EQ(value[2], 0x0c);
	EXPECT_EQ(value[3], 0x0d);
	for (size_t i = 4; i < sizeof value; i++)
		EXPECT_EQ(value[i], 0xee) << "byte " << i;
	EXPECT_EQ(simmac::trace(), (lines{"open ok", "keyinfo ABCD ok 4", "read ABCD ok 0a0b0c0d"}));
}

TEST_F(SmcAccess, ReadOfAThirtyTwoByteKeyFillsTheWholeBuffer)
{
	std::string hex;
	for (int i = 0; i < 32; i++)
		hex += "a" + std::string(1, "0123456789abcdef"[i % 16]);
	load("smc present\nkey LONG 32 ch8* " + hex + "\n");
	uint8_t value[32] = {};
	uint32_t length = 0;
	ASSERT_EQ(smc_read("LONG", value, &length), 0);
	EXPECT_EQ(length, 32u);
	for (int i = 0; i < 32; i++)
		EXPECT_EQ(value[i], 0xa0 + i % 16) << "byte " << i;
}

TEST_F(SmcAccess, FailedReadsMakeNoFurtherCallAndTouchNeitherOutput)
{
	std::string big(66, '1');
	struct row {
		const char *name;
		std::string machine;
		lines trace;
	} rows[] = {
	    {"unknown key", "smc present\n", {"open ok", "keyinfo NOPE fail"}},
	    {"failed key info", "smc present\nkey NOPE 1 ui8 01\nfail NOPE keyinfo\n",
	     {"open ok", "keyinfo NOPE fail"}},
	    {"larger than 32 bytes", "smc present\nkey NOPE 33 ch8* " + big + "\n",
	     {"open ok", "keyinfo NOPE ok 33"}},
	    {"failed read", "smc present\nkey NOPE 1 ui8 01\nfail NOPE read\n",
	     {"open ok", "keyinfo NOPE ok 1", "read NOPE fail"}},
	    {"call error", "smc present\nkey NOPE 1 ui8 01\nfail call\n",
	     {"open ok", "keyinfo NOPE error"}},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(r.name);
		load(r.machine);
		uint8_t value[32];
		memset(value, 0x5a, sizeof value);
		uint32_t length = 1234;
		EXPECT_EQ(smc_read("NOPE", value, &length), -1);
		EXPECT_EQ(length, 1234u);
		EXPECT_TRUE(std::all_of(value, value + 32, [](uint8_t b) { return b == 0x5a; }));
		EXPECT_EQ(simmac::trace(), r.trace);
		EXPECT_EQ(simmac::smc_requests().size(), r.trace.size() - 1);
	}
}

TEST_F(SmcAccess, ReadOfASizeZeroKeySucceedsWithNoBytes)
{
	load("smc present\nkey ZERO 0 ui8 -\n");
	uint8_t value[32];
	memset(value, 0x33, sizeof value);
	uint32_t length = 7;
	ASSERT_EQ(smc_read("ZERO", value, &length), 0);
	EXPECT_EQ(length, 0u);
	EXPECT_TRUE(std::all_of(value, value + 32, [](uint8_t b) { return b == 0x33; }));
	EXPECT_EQ(simmac::trace(), (lines{"open ok", "keyinfo ZERO ok 0", "read ZERO ok -"}));
}

TEST_F(SmcAccess, WriteSendsTheValueOnlyWhenTheSizeMatchesTheKey)
{
	load("smc present\nkey CHTE 4 ui32 00000000\nkey CH0B 1 ui8 00\n");
	uint8_t word[4] = {1, 2, 3, 4};
	uint8_t byte = 2;
	EXPECT_EQ(smc_write("CHTE", 1, &byte), -1);
	EXPECT_EQ(smc_write("CH0B", 4, word), -1);
	EXPECT_EQ(smc_write("NOPE", 1, &byte), -1);
	EXPECT_EQ(simmac::trace(), (lines{"open ok", "keyinfo CHTE ok 4", "keyinfo CH0B ok 1",
	                                  "keyinfo NOPE fail"}));
	EXPECT_NE(simmac::machine_text().find("key CHTE 4 ui32 00000000\n"), std::string::npos);

	simmac::clear_trace();
	EXPECT_EQ(smc_write("CHTE", 4, word), 0);
	EXPECT_EQ(smc_write("CH0B", 1, &byte), 0);
	EXPECT_EQ(simmac::trace(), (lines{"keyinfo CHTE ok 4", "write CHTE ok 01020304",
	                                  "keyinfo CH0B ok 1", "write CH0B ok 02"}));
	std::string machine = simmac::machine_text();
	EXPECT_NE(machine.find("key CHTE 4 ui32 01020304\n"), std::string::npos) << machine;
	EXPECT_NE(machine.find("key CH0B 1 ui8 02\n"), std::string::npos) << machine;
}

TEST_F(SmcAccess, CallErrorsAndResultFailuresCollapseIntoMinusOne)
{
	struct row {
		const char *machine;
		const char *operation; // keyinfo, read or write
		int rc;
		lines trace;
	} rows[] = {
	    {"fail call", "keyinfo", -1, {"open ok", "keyinfo KEYS error"}},
	    {"fail call", "read", -1, {"open ok", "keyinfo KEYS error"}},
	    {"fail call", "write", -1, {"open ok", "keyinfo KEYS error"}},
	    {"fail KEYS keyinfo", "keyinfo", -1, {"open ok", "keyinfo KEYS fail"}},
	    {"fail KEYS keyinfo", "write", -1, {"open ok", "keyinfo KEYS fail"}},
	    {"fail KEYS read", "keyinfo", 0, {"open ok", "keyinfo KEYS ok 2"}},
	    {"fail KEYS read", "read", -1, {"open ok", "keyinfo KEYS ok 2", "read KEYS fail"}},
	    {"fail KEYS read", "write", 0, {"open ok", "keyinfo KEYS ok 2", "write KEYS ok beef"}},
	    {"fail KEYS write", "read", 0, {"open ok", "keyinfo KEYS ok 2", "read KEYS ok 1234"}},
	    {"fail KEYS write", "write", -1,
	     {"open ok", "keyinfo KEYS ok 2", "write KEYS fail beef"}},
	    {"fail OTHR write", "write", 0, {"open ok", "keyinfo KEYS ok 2", "write KEYS ok beef"}},
	};
	for (const row &r : rows) {
		SCOPED_TRACE(std::string(r.machine) + " / " + r.operation);
		load(std::string("smc present\nkey KEYS 2 ui16 1234\n") + r.machine + "\n");
		smc_key_info info;
		uint8_t value[32];
		uint32_t length;
		uint8_t beef[2] = {0xbe, 0xef};
		std::string op = r.operation;
		int rc = op == "keyinfo" ? smc_keyinfo("KEYS", &info)
		         : op == "read"  ? smc_read("KEYS", value, &length)
		                         : smc_write("KEYS", 2, beef);
		EXPECT_EQ(rc, r.rc);
		EXPECT_EQ(simmac::trace(), r.trace);
		// The connection stays open after any failure of a key operation.
		EXPECT_NE(smc_conn, 0u);
	}
}

TEST_F(SmcAccess, ConnectionSurvivesCallErrors)
{
	load("smc present\nkey CHTE 4 ui32 00000000\nfail call\n");
	smc_key_info info;
	EXPECT_EQ(smc_keyinfo("CHTE", &info), -1);
	EXPECT_EQ(smc_keyinfo("CHTE", &info), -1);
	EXPECT_EQ(simmac::trace(), (lines{"open ok", "keyinfo CHTE error", "keyinfo CHTE error"}));
}

TEST_F(SmcAccess, RequestsCarryOnlyKeyCommandSizeAndValue)
{
	load("smc present\nkey CHTE 4 ui32 00000000\nkey CH0B 1 ui8 00\n");
	smc_key_info info;
	uint8_t value[32];
	uint32_t length;
	uint8_t word[4] = {0x01, 0x00, 0x00, 0x00};
	uint8_t byte = 0x02;
	ASSERT_EQ(smc_keyinfo("CH0B", &info), 0);
	ASSERT_EQ(smc_read("CHTE", value, &length), 0);
	ASSERT_EQ(smc_write("CHTE", 4, word), 0);
	ASSERT_EQ(smc_write("CH0B", 1, &byte), 0);
	expect_requests({
	    expected_request("CH0B", 9),
	    expected_request("CHTE", 9),
	    expected_request("CHTE", 5, 4),
	    expected_request("CHTE", 9),
	    expected_request("CHTE", 6, 4, {0x01, 0x00, 0x00, 0x00}),
	    expected_request("CH0B", 9),
	    expected_request("CH0B", 6, 1, {0x02}),
	});
}

TEST_F(SmcAccess, RecordHoldsKeyCodeAndSizeInHostByteOrder)
{
	if constexpr (std::endian::native != std::endian::little)
		GTEST_SKIP() << "the literal bytes below are those of a little-endian host";
	load("smc present\nkey CHTE 4 ui32 00000000\n");
	uint8_t word[4] = {0x01, 0x00, 0x00, 0x00};
	ASSERT_EQ(smc_write("CHTE", 4, word), 0);
	std::vector<record> got = simmac::smc_requests();
	ASSERT_EQ(got.size(), 2u);
	const record &write = got[1];
	// "CHTE" is 0x43485445, which a little-endian host stores as 45 54 48 43.
	EXPECT_EQ(write[0], 0x45);
	EXPECT_EQ(write[1], 0x54);
	EXPECT_EQ(write[2], 0x48);
	EXPECT_EQ(write[3], 0x43);
	EXPECT_EQ(write[28], 4);
	EXPECT_EQ(write[29], 0);
	EXPECT_EQ(write[42], 6);
	EXPECT_EQ(write[48], 1);
}

TEST_F(SmcAccess, KeyNamesWithHighBytesReachTheSmcUnchanged)
{
	load("smc present\nkey \xc3\xa9" "a\x80 1 ui8 5a\n");
	uint8_t value[32];
	uint32_t length = 0;
	ASSERT_EQ(smc_read("\xc3\xa9" "a\x80", value, &length), 0);
	EXPECT_EQ(length, 1u);
	EXPECT_EQ(value[0], 0x5a);
	expect_requests({expected_request("\xc3\xa9" "a\x80", 9),
	                 expected_request("\xc3\xa9" "a\x80", 5, 1)});
}

} // namespace
