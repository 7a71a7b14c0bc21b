// The simulated Mac's IOKit objects: services, connections, the root power domain and
// notifiers, each a 32-bit name as on a Mac, and what kind of object each name is.
#pragma once

#include <IOKit/IOKitLib.h>

#include <map>

namespace sim {

enum class io_kind { service, connection, root_domain, notifier };

std::map<io_object_t, io_kind> &io_objects();
io_object_t new_io_object(io_kind kind);
bool is_io(io_object_t name, io_kind kind);

} // namespace sim
