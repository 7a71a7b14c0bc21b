// The simulated Mac's IOKit object names and their release.
#include <IOKit/IOKitLib.h>

#include "io_objects.h"
#include "world.h"

namespace sim {

std::map<io_object_t, io_kind> &io_objects()
{
	static auto *objects = new std::map<io_object_t, io_kind>;
	return *objects;
}

io_object_t new_io_object(io_kind kind)
{
	static io_object_t next = 0x1003;
	io_object_t name = next;
	next += 0x100;
	io_objects()[name] = kind;
	return name;
}

bool is_io(io_object_t name, io_kind kind)
{
	auto found = io_objects().find(name);
	return found != io_objects().end() && found->second == kind;
}

long live_io_objects()
{
	long count = 0;
	for (const auto &entry : io_objects())
		if (entry.second == io_kind::service || entry.second == io_kind::notifier)
			count++;
	return count;
}

} // namespace sim

extern "C" {

kern_return_t IOObjectRelease(io_object_t object)
{
	if (object == IO_OBJECT_NULL)
		return KERN_SUCCESS;
	auto found = sim::io_objects().find(object);
	if (found == sim::io_objects().end()) {
		sim::misuse("IOObjectRelease of a released or unknown object");
		return KERN_INVALID_NAME;
	}
	if (found->second == sim::io_kind::connection || found->second == sim::io_kind::root_domain) {
		sim::misuse("IOObjectRelease of a connection (IOServiceClose closes it)");
		return KERN_INVALID_RIGHT;
	}
	sim::io_objects().erase(found);
	return KERN_SUCCESS;
}

} // extern "C"
