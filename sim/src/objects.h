// The simulated Mac's Core Foundation objects, shared by its parts.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include <string>
#include <utility>
#include <vector>

namespace sim {

enum class cf_kind { string, number, array, dictionary, snapshot, run_loop, source, timer };

struct cf_object {
	cf_kind kind;
	long refs = 1;      // all references
	long held = 0;      // references held by containers, not by the program
	bool immortal = false;
	explicit cf_object(cf_kind k) : kind(k) {}
	virtual ~cf_object() = default;
};

// True for a live object (or an immortal constant) of that kind; reports misuse otherwise.
bool is_object(CFTypeRef ref, cf_kind kind, const char *caller);

CFStringRef make_string(const std::string &text);         // owned by the caller
CFNumberRef make_number(long long value);                 // owned by the caller
CFMutableDictionaryRef make_dictionary();                 // owned by the caller
__CFArray *make_array();                                  // owned by the caller
CFRunLoopSourceRef make_source();                         // owned by its port
// Counts a new object as live (it starts with one reference, the caller's).
void track_object(cf_object *object);
// Puts an entry in, taking a reference to both (the caller keeps its own).
void dictionary_set(CFMutableDictionaryRef dict, CFTypeRef key, CFTypeRef value);
// A reference held on the program's behalf by another simulated object.
void hold(CFTypeRef ref);
void unhold(CFTypeRef ref); // and release it
std::string string_text(CFStringRef ref);

} // namespace sim

struct __CFString : sim::cf_object {
	std::string text;
	__CFString() : cf_object(sim::cf_kind::string) {}
};

struct __CFNumber : sim::cf_object {
	long long value = 0;
	__CFNumber() : cf_object(sim::cf_kind::number) {}
};

struct __CFArray : sim::cf_object {
	std::vector<CFTypeRef> items;
	__CFArray() : cf_object(sim::cf_kind::array) {}
};

struct __CFDictionary : sim::cf_object {
	std::vector<std::pair<CFTypeRef, CFTypeRef>> entries;
	__CFDictionary() : cf_object(sim::cf_kind::dictionary) {}
};

struct __CFRunLoop : sim::cf_object {
	__CFRunLoop() : cf_object(sim::cf_kind::run_loop) {}
};

struct __CFRunLoopSource : sim::cf_object {
	bool attached = false; // added to the run loop
	__CFRunLoopSource() : cf_object(sim::cf_kind::source) {}
};

struct __CFRunLoopTimer : sim::cf_object {
	double fire = 0;
	double interval = 0;
	double tolerance = 0;
	CFRunLoopTimerCallBack callout = nullptr;
	CFRunLoopTimerContext context = {};
	bool scheduled = false;
	__CFRunLoopTimer() : cf_object(sim::cf_kind::timer) {}
};
