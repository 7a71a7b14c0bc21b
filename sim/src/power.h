// The simulated Mac's power management, shared by IOKit and the run loop.
#pragma once

#include <IOKit/IOKitLib.h>

#include <utility>
#include <vector>

namespace sim {

// The registered client for system power messages, if any.
struct power_client {
	bool registered = false;
	IOServiceInterestCallback callback = nullptr;
	void *refcon = nullptr;
	io_connect_t root = 0;
	io_service_t service = 0;
	CFRunLoopSourceRef source = nullptr;
	IONotificationPortRef port = nullptr; // the client's, kept for its whole life
};
power_client &client();

// True when a message would reach the client: registered, its port on the run loop.
bool client_listening();

// Sends a message; for can-sleep and will-sleep an acknowledgement is then awaited.
// Returns the notification id.
long send_power_message(uint32_t type);
// Records the client's acknowledgement; false (and misuse) when no message with that id
// awaits one.
bool acknowledge(long id);
// True once the message with that id was acknowledged.
bool acknowledged(long id);
// True once this process ran its run loop (its objects then live until exit).
bool loop_ran();
// Interval and tolerance of each timer scheduled on the main run loop.
std::vector<std::pair<double, double>> scheduled_timers();

} // namespace sim
