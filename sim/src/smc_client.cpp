// The simulated Mac's AppleSMC user client: the service lookup, the connection and the
// 80-byte records it answers from the machine's keys.
#include <IOKit/IOKitLib.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "io_objects.h"
#include "objects.h"
#include "world.h"

namespace sim {

namespace {

// The SMC's record, as the user client reads it.
struct record {
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
	uint8_t bytes[32];
};

static_assert(sizeof(record) == 80);

constexpr uint8_t smc_key_not_found = 0x84;

constexpr uint8_t smc_error = 0x82;

std::string key_name(uint32_t code)
{
	std::string name(4, ' ');
	for (int i = 0; i < 4; i++)
		name[static_cast<size_t>(i)] = static_cast<char>(code >> (24 - 8 * i));
	return name;
}

uint32_t type_code(const std::string &type)
{
	uint32_t code = 0;
	for (char c : type)
		code = code << 8 | static_cast<unsigned char>(c);
	return code;
}

const char *command_word(uint8_t command)
{
	switch (command) {
	case 9:
		return "keyinfo";
	case 5:
		return "read";
	case 6:
		return "write";
	}
	return nullptr;
}

// A trace line from its words, built in one buffer kept for the process's life: the SMC
// answers a few requests every pass of a daemon.
void trace_words(std::initializer_list<std::string_view> words)
{
	static auto *line = new std::string;
	line->clear();
	for (std::string_view word : words)
		line->append(word);
	trace(*line);
}

// Answers one request against the machine; the trace line says what happened.
void answer(machine &m, const record &in, record &out, bool *changed)
{
	std::string name = key_name(in.key);
	const char *word = command_word(in.command);
	sim_key *key = find_key(m, name);
	bool fails = key == nullptr || key_fails(m, name, word);
	if (in.command == 9) {
		if (fails) {
			out.result = smc_key_not_found;
			trace_words({"keyinfo ", name, " fail"});
			return;
		}
		out.data_size = key->size;
		out.data_type = type_code(key->type);
		trace_words({"keyinfo ", name, " ok ", std::to_string(key->size)});
		return;
	}
	if (in.command == 5) {
		if (fails) {
			out.result = key == nullptr ? smc_key_not_found : smc_error;
			trace_words({"read ", name, " fail"});
			return;
		}
		size_t size = std::min<size_t>(key->value.size(), sizeof out.bytes);
		// A size-0 key has no value storage at all, and memcpy must not see its null.
		if (size > 0)
			memcpy(out.bytes, key->value.data(), size);
		out.data_size = static_cast<uint32_t>(size);
		trace_words({"read ", name, " ok ", hex(key->value.data(), size)});
		return;
	}
	size_t size = std::min<size_t>(in.data_size, sizeof in.bytes);
	std::string value = hex(in.bytes, size);
	if (fails || in.data_size != key->size) {
		out.result = key == nullptr ? smc_key_not_found : smc_error;
		trace_words({"write ", name, " fail ", value});
		return;
	}
	key->value.assign(in.bytes, in.bytes + size);
	*changed = true;
	trace_words({"write ", name, " ok ", value});
}

} // namespace

} // namespace sim

using sim::misuse;
using sim::trace;

extern "C" {

mach_port_t mach_task_self_ = 0x103;

const mach_port_t kIOMainPortDefault = 0;

CFMutableDictionaryRef IOServiceMatching(const char *name)
{
	if (sim::take_failure("IOServiceMatching"))
		return nullptr;
	CFMutableDictionaryRef matching = sim::make_dictionary();
	CFStringRef value = sim::make_string(name != nullptr ? name : "");
	sim::dictionary_set(matching, CFSTR("IOProviderClass"), value);
	CFRelease(value);
	return matching;
}

io_service_t IOServiceGetMatchingService(mach_port_t mainPort, CFDictionaryRef matching)
{
	if (matching == nullptr)
		return IO_OBJECT_NULL;
	if (mainPort != kIOMainPortDefault)
		misuse("IOServiceGetMatchingService with an unknown main port");
	auto *wanted = static_cast<CFStringRef>(CFDictionaryGetValue(matching, CFSTR("IOProviderClass")));
	bool smc = wanted != nullptr && sim::string_text(wanted) == "AppleSMC";
	// The lookup takes over the matching dictionary on every path.
	CFRelease(matching);
	if (sim::take_failure("IOServiceGetMatchingService")) {
		trace("open none");
		return IO_OBJECT_NULL;
	}
	bool present = false;
	bool usable = sim::with_machine([&](sim::machine &m) {
		present = m.smc != sim::smc_mode::absent;
		return false;
	});
	if (!smc || !usable || !present) {
		trace("open none");
		return IO_OBJECT_NULL;
	}
	return sim::new_io_object(sim::io_kind::service);
}

kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t *connect)
{
	if (!sim::is_io(service, sim::io_kind::service)) {
		misuse("IOServiceOpen of an unknown service");
		*connect = IO_OBJECT_NULL;
		return MACH_SEND_INVALID_DEST;
	}
	if (owningTask != mach_task_self_ || type != 0)
		misuse("IOServiceOpen with another task or connection type");
	bool refuse = false;
	sim::with_machine([&](sim::machine &m) {
		refuse = m.smc == sim::smc_mode::refuse;
		return false;
	});
	if (refuse) {
		*connect = IO_OBJECT_NULL;
		trace("open refused");
		return kIOReturnNotPermitted;
	}
	*connect = sim::new_io_object(sim::io_kind::connection);
	trace("open ok");
	return kIOReturnSuccess;
}

kern_return_t IOServiceClose(io_connect_t connect)
{
	if (!sim::is_io(connect, sim::io_kind::connection)) {
		misuse("IOServiceClose of an unknown connection");
		return MACH_SEND_INVALID_DEST;
	}
	sim::io_objects().erase(connect);
	return kIOReturnSuccess;
}

kern_return_t IOConnectCallStructMethod(mach_port_t connection, uint32_t selector,
                                        const void *inputStruct, size_t inputStructCnt,
                                        void *outputStruct, size_t *outputStructCnt)
{
	if (!sim::is_io(connection, sim::io_kind::connection)) {
		misuse("IOConnectCallStructMethod on a connection that is not open");
		return MACH_SEND_INVALID_DEST;
	}
	if (selector != 2 || inputStructCnt != sizeof(sim::record) || outputStructCnt == nullptr ||
	    *outputStructCnt != sizeof(sim::record) || inputStruct == nullptr || outputStruct == nullptr) {
		misuse("IOConnectCallStructMethod with another selector or record size");
		return kIOReturnBadArgument;
	}
	sim::record in;
	memcpy(&in, inputStruct, sizeof in);
	if (sim::memory_mode()) {
		std::array<uint8_t, 80> raw;
		memcpy(raw.data(), inputStruct, raw.size());
		sim::memory_requests().push_back(raw);
	}
	const char *word = sim::command_word(in.command);
	if (word == nullptr) {
		misuse("IOConnectCallStructMethod with unknown command " + std::to_string(in.command));
		return kIOReturnBadArgument;
	}
	sim::record out;
	memset(&out, 0, sizeof out);
	kern_return_t kr = kIOReturnSuccess;
	bool usable = sim::with_machine([&](sim::machine &m) {
		// The call itself fails: a broken user client, or a key the firmware keeps for
		// Apple's own processes.
		std::string name = sim::key_name(in.key);
		bool denied = !m.fail_call && sim::key_denied(m, name, word);
		if (m.fail_call || denied) {
			std::string line = std::string(word) + " " + name + " error";
			if (in.command == 6)
				line += " " + sim::hex(in.bytes, std::min<size_t>(in.data_size, 32));
			trace(line);
			kr = denied ? kIOReturnNotPrivileged : kIOReturnError;
			return false;
		}
		bool changed = false;
		sim::answer(m, in, out, &changed);
		return changed;
	});
	if (!usable)
		return kIOReturnNotResponding;
	if (kr != kIOReturnSuccess)
		return kr;
	memcpy(outputStruct, &out, sizeof out);
	*outputStructCnt = sizeof out;
	return kIOReturnSuccess;
}

} // extern "C"
