// SMC key access through the AppleSMC user client.
#include "smc/smc.h"

#include <cstring>

io_connect_t smc_conn = 0;

namespace {

// One exchange of the 80-byte record. 0 when the call succeeded and the SMC reported
// success in the reply's result byte, else -1.
int smc_call(const smc_record *request, smc_record *reply)
{
	size_t reply_size = sizeof *reply;
	kern_return_t kr = IOConnectCallStructMethod(smc_conn, smc_selector, request,
	                                             sizeof *request, reply, &reply_size);
	if (kr != kIOReturnSuccess)
		return -1;
	return reply->result == 0 ? 0 : -1;
}

void clear(smc_record *request, smc_record *reply)
{
	memset(request, 0, sizeof *request);
	memset(reply, 0, sizeof *reply);
}

} // namespace

int smc_open()
{
	if (smc_conn != 0)
		return 0;
	// The lookup takes over the matching dictionary, on success and failure alike.
	io_service_t service =
	    IOServiceGetMatchingService(kIOMainPortDefault, IOServiceMatching("AppleSMC"));
	if (service == IO_OBJECT_NULL)
		return -1;
	kern_return_t kr = IOServiceOpen(service, mach_task_self(), 0, &smc_conn);
	IOObjectRelease(service);
	if (kr != kIOReturnSuccess) {
		// The platform does not promise to leave the handle untouched on failure.
		smc_conn = 0;
		return -1;
	}
	return 0;
}

int smc_keyinfo(const char *name, smc_key_info *info)
{
	if (smc_open() == -1)
		return -1;
	smc_record request, reply;
	clear(&request, &reply);
	request.key = smc_key_code(name);
	request.command = smc_cmd_keyinfo;
	if (smc_call(&request, &reply) == -1)
		return -1;
	info->data_size = reply.data_size;
	info->data_type = reply.data_type;
	info->data_attributes = reply.data_attributes;
	return 0;
}

int smc_read(const char *name, uint8_t *value, uint32_t *length)
{
	smc_key_info info;
	if (smc_keyinfo(name, &info) == -1)
		return -1;
	// The reply and the callers' buffers hold 32 bytes; a larger key cannot be read whole.
	if (info.data_size > smc_value_max)
		return -1;
	smc_record request, reply;
	clear(&request, &reply);
	request.key = smc_key_code(name);
	request.data_size = info.data_size;
	request.command = smc_cmd_read;
	if (smc_call(&request, &reply) == -1)
		return -1;
	memcpy(value, reply.bytes, info.data_size);
	*length = info.data_size;
	return 0;
}

int smc_write(const char *name, uint32_t size, const uint8_t *value)
{
	smc_key_info info;
	if (smc_keyinfo(name, &info) == -1)
		return -1;
	if (info.data_size != size || size > smc_value_max)
		return -1;
	smc_record request, reply;
	clear(&request, &reply);
	request.key = smc_key_code(name);
	request.command = smc_cmd_write;
	request.data_size = size;
	memcpy(request.bytes, value, size);
	return smc_call(&request, &reply);
}
