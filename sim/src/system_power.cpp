// The simulated Mac's system power: the registration for its messages, the messages
// themselves with their acknowledgements, and the sleep sequence they belong to.
#include <IOKit/IOMessage.h>
#include <IOKit/pwr_mgt/IOPMLib.h>

#include <string>
#include <vector>

#include "io_objects.h"
#include "loop.h"
#include "objects.h"
#include "power.h"
#include "world.h"

namespace sim {

namespace {

struct message {
	long id;
	uint32_t type;
	bool needs_ack;
	bool acked;
	bool expired;
};

enum class stage { idle, can_sleep, will_sleep, sleeping };

struct sleep_state {
	std::vector<message> messages;
	long next_id = 1;
	stage seq = stage::idle;
	long seq_id = 0;
	double deadline = 0;
	long sleep_length = 0;
	double wake_at = 0;
};

sleep_state &sequence()
{
	static auto *state = new sleep_state;
	return *state;
}

constexpr double ack_timeout = 30.0;

const char *message_word(uint32_t type)
{
	switch (type) {
	case kIOMessageCanSystemSleep:
		return "can-sleep";
	case kIOMessageSystemWillSleep:
		return "will-sleep";
	case kIOMessageSystemWillPowerOn:
		return "will-power-on";
	case kIOMessageSystemHasPoweredOn:
		return "has-powered-on";
	}
	return "other";
}

void go_to_sleep()
{
	sleep_state &l = sequence();
	set_asleep(true);
	l.seq = stage::sleeping;
	l.wake_at = now() + static_cast<double>(l.sleep_length);
}

void ask(uint32_t type, stage next)
{
	sleep_state &l = sequence();
	l.seq = next;
	l.seq_id = send_power_message(type);
	l.deadline = now() + ack_timeout;
}

} // namespace

power_client &client()
{
	static power_client the_client;
	return the_client;
}

bool client_listening()
{
	power_client &c = client();
	return c.registered && c.source != nullptr && c.source->attached;
}

void begin_sleep(long seconds, bool forced)
{
	sleep_state &l = sequence();
	l.sleep_length = seconds;
	// Only an idle sleep is asked about; a forced one starts with will-sleep.
	if (!client_listening())
		go_to_sleep();
	else if (forced)
		ask(kIOMessageSystemWillSleep, stage::will_sleep);
	else
		ask(kIOMessageCanSystemSleep, stage::can_sleep);
}

bool step_sleep()
{
	sleep_state &l = sequence();
	if (l.seq == stage::can_sleep || l.seq == stage::will_sleep) {
		bool acked = acknowledged(l.seq_id);
		if (!acked && now() < l.deadline)
			return false;
		if (!acked) {
			trace("ack missing");
			for (message &m : l.messages)
				if (m.id == l.seq_id)
					m.expired = true;
		}
		if (l.seq == stage::can_sleep && client_listening())
			ask(kIOMessageSystemWillSleep, stage::will_sleep);
		else
			go_to_sleep();
		return true;
	}
	if (l.seq == stage::sleeping && now() >= l.wake_at) {
		l.seq = stage::idle;
		set_asleep(false);
		if (client_listening()) {
			send_power_message(kIOMessageSystemWillPowerOn);
			send_power_message(kIOMessageSystemHasPoweredOn);
		}
		return true;
	}
	return false;
}

bool sleep_idle()
{
	return sequence().seq == stage::idle;
}

double sleep_due()
{
	sleep_state &l = sequence();
	if ((l.seq == stage::can_sleep || l.seq == stage::will_sleep) && !acknowledged(l.seq_id))
		return l.deadline;
	if (l.seq == stage::sleeping)
		return l.wake_at;
	return never;
}

bool acknowledged(long id)
{
	for (const message &m : sequence().messages)
		if (m.id == id)
			return m.acked;
	return false;
}

long send_power_message(uint32_t type)
{
	sleep_state &l = sequence();
	power_client &c = client();
	long id = l.next_id++;
	bool needs_ack = type == kIOMessageCanSystemSleep || type == kIOMessageSystemWillSleep;
	l.messages.push_back({id, type, needs_ack, false, false});
	trace(std::string("message ") + message_word(type));
	c.callback(c.refcon, c.service, type, reinterpret_cast<void *>(static_cast<intptr_t>(id)));
	return id;
}

bool acknowledge(long id)
{
	for (message &m : sequence().messages) {
		if (m.id != id)
			continue;
		if (!m.needs_ack) {
			misuse(std::string("IOAllowPowerChange for ") + message_word(m.type) +
			       ", which takes no acknowledgement");
			return false;
		}
		if (m.acked) {
			misuse(std::string("IOAllowPowerChange twice for ") + message_word(m.type));
			return false;
		}
		m.acked = true;
		if (!m.expired)
			trace(std::string("ack ") + message_word(m.type));
		return true;
	}
	misuse("IOAllowPowerChange for a message never sent");
	return false;
}

} // namespace sim

using sim::misuse;
using sim::trace;

struct IONotificationPort {
	CFRunLoopSourceRef source = nullptr;
};

extern "C" {

io_connect_t IORegisterForSystemPower(void *refcon, IONotificationPortRef *thePortRef,
                                      IOServiceInterestCallback callback, io_object_t *notifier)
{
	bool ok = false;
	bool usable = sim::with_machine([&](sim::machine &m) {
		ok = m.register_ok;
		return false;
	});
	if (!usable || !ok || callback == nullptr || sim::take_failure("IORegisterForSystemPower")) {
		trace("register fail");
		return IO_OBJECT_NULL;
	}
	sim::power_client &c = sim::client();
	if (c.registered)
		misuse("IORegisterForSystemPower called twice");
	auto *port = new IONotificationPort;
	port->source = sim::make_source();
	c.registered = true;
	c.callback = callback;
	c.refcon = refcon;
	c.root = sim::new_io_object(sim::io_kind::root_domain);
	c.service = sim::new_io_object(sim::io_kind::service);
	c.source = port->source;
	c.port = port;
	*thePortRef = port;
	*notifier = sim::new_io_object(sim::io_kind::notifier);
	trace("register ok");
	return c.root;
}

CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify)
{
	if (notify == nullptr) {
		misuse("IONotificationPortGetRunLoopSource of NULL");
		return nullptr;
	}
	return notify->source;
}

IOReturn IOAllowPowerChange(io_connect_t kernelPort, intptr_t notificationID)
{
	sim::power_client &c = sim::client();
	if (!c.registered || kernelPort != c.root) {
		misuse("IOAllowPowerChange with a port that is not the root domain's");
		return kIOReturnBadArgument;
	}
	if (!sim::acknowledge(static_cast<long>(notificationID)))
		return kIOReturnBadArgument;
	return kIOReturnSuccess;
}

} // extern "C"
