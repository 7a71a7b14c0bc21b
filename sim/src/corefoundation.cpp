// The simulated Mac's Core Foundation: strict reference counting, so that a release of
// an object the program does not own, a double release or a leak shows in the trace.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string_view>
#include <unordered_set>

#include "objects.h"
#include "world.h"

namespace sim {

namespace {

std::unordered_set<const cf_object *> &live()
{
	static auto *objects = new std::unordered_set<const cf_object *>;
	return *objects;
}

// By text; looked up without building a std::string for the key.
std::map<std::string, __CFString *, std::less<>> &constants()
{
	static auto *strings = new std::map<std::string, __CFString *, std::less<>>;
	return *strings;
}

bool is_constant(CFTypeRef ref)
{
	auto *object = static_cast<const cf_object *>(ref);
	if (object == nullptr || live().count(object) != 0)
		return false;
	for (const auto &entry : constants())
		if (entry.second == object)
			return true;
	return false;
}

template <typename T> T *track(T *object)
{
	live().insert(object);
	return object;
}

void destroy(cf_object *object);

void drop(cf_object *object)
{
	if (--object->refs == 0)
		destroy(object);
}

void destroy(cf_object *object)
{
	live().erase(object);
	auto release_held = [](CFTypeRef ref) {
		auto *child = const_cast<cf_object *>(static_cast<const cf_object *>(ref));
		if (child->immortal || live().count(child) == 0)
			return;
		child->held--;
		drop(child);
	};
	if (object->kind == cf_kind::array)
		for (CFTypeRef item : static_cast<__CFArray *>(object)->items)
			release_held(item);
	if (object->kind == cf_kind::dictionary)
		for (auto &entry : static_cast<__CFDictionary *>(object)->entries) {
			release_held(entry.first);
			release_held(entry.second);
		}
	delete object;
}

} // namespace

bool is_object(CFTypeRef ref, cf_kind kind, const char *caller)
{
	auto *object = static_cast<const cf_object *>(ref);
	if (ref == nullptr) {
		misuse(std::string(caller) + " of NULL");
		return false;
	}
	if (live().count(object) == 0 && !is_constant(ref)) {
		misuse(std::string(caller) + " of a released or unknown object");
		return false;
	}
	if (object->kind != kind) {
		misuse(std::string(caller) + " of an object of another type");
		return false;
	}
	return true;
}

CFStringRef make_string(const std::string &text)
{
	auto *string = track(new __CFString);
	string->text = text;
	return string;
}

CFNumberRef make_number(long long value)
{
	auto *number = track(new __CFNumber);
	number->value = value;
	return number;
}

CFMutableDictionaryRef make_dictionary()
{
	return track(new __CFDictionary);
}

__CFArray *make_array()
{
	return track(new __CFArray);
}

CFRunLoopSourceRef make_source()
{
	return track(new __CFRunLoopSource);
}

void track_object(cf_object *object)
{
	live().insert(object);
}

void hold(CFTypeRef ref)
{
	auto *object = const_cast<cf_object *>(static_cast<const cf_object *>(ref));
	if (object->immortal)
		return;
	object->refs++;
	object->held++;
}

void unhold(CFTypeRef ref)
{
	auto *object = const_cast<cf_object *>(static_cast<const cf_object *>(ref));
	if (object->immortal || live().count(object) == 0)
		return;
	object->held--;
	drop(object);
}

void dictionary_set(CFMutableDictionaryRef dict, CFTypeRef key, CFTypeRef value)
{
	hold(key);
	hold(value);
	dict->entries.emplace_back(key, value);
}

std::string string_text(CFStringRef ref)
{
	return ref == nullptr ? "" : ref->text;
}

long live_cf_objects()
{
	long count = 0;
	for (const cf_object *object : live())
		if (object->kind != cf_kind::timer && object->kind != cf_kind::source)
			count++;
	return count;
}

} // namespace sim

using sim::cf_kind;
using sim::cf_object;
using sim::misuse;

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFTypeRef CFRetain(CFTypeRef cf)
{
	if (cf == nullptr) {
		misuse("CFRetain of NULL");
		abort(); // as on a Mac
	}
	auto *object = const_cast<cf_object *>(static_cast<const cf_object *>(cf));
	if (object->immortal || sim::is_constant(cf))
		return cf;
	if (sim::live().count(object) == 0) {
		misuse("CFRetain of a released or unknown object");
		return cf;
	}
	object->refs++;
	return cf;
}

void CFRelease(CFTypeRef cf)
{
	if (cf == nullptr) {
		misuse("CFRelease of NULL");
		abort(); // as on a Mac
	}
	auto *object = const_cast<cf_object *>(static_cast<const cf_object *>(cf));
	if (sim::is_constant(cf))
		return;
	if (sim::live().count(object) == 0) {
		misuse("CFRelease of a released or unknown object");
		return;
	}
	if (object->immortal)
		return;
	if (object->refs - object->held <= 0) {
		misuse("CFRelease of unowned object");
		return;
	}
	sim::drop(object);
}

CFTypeID CFGetTypeID(CFTypeRef cf)
{
	if (cf == nullptr) {
		misuse("CFGetTypeID of NULL");
		abort();
	}
	auto *object = static_cast<const cf_object *>(cf);
	if (sim::live().count(object) == 0 && !sim::is_constant(cf)) {
		misuse("CFGetTypeID of a released or unknown object");
		return 0;
	}
	return static_cast<CFTypeID>(object->kind) + 1;
}

CFTypeID CFNumberGetTypeID(void)
{
	return static_cast<CFTypeID>(cf_kind::number) + 1;
}

CFTypeID CFStringGetTypeID(void)
{
	return static_cast<CFTypeID>(cf_kind::string) + 1;
}

CFIndex CFArrayGetCount(CFArrayRef theArray)
{
	if (!sim::is_object(theArray, cf_kind::array, "CFArrayGetCount"))
		abort();
	return static_cast<CFIndex>(theArray->items.size());
}

const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx)
{
	if (!sim::is_object(theArray, cf_kind::array, "CFArrayGetValueAtIndex"))
		abort();
	if (idx < 0 || idx >= static_cast<CFIndex>(theArray->items.size())) {
		misuse("CFArrayGetValueAtIndex out of range");
		return nullptr;
	}
	return theArray->items[static_cast<size_t>(idx)];
}

const void *CFDictionaryGetValue(CFDictionaryRef theDict, const void *key)
{
	if (!sim::is_object(theDict, cf_kind::dictionary, "CFDictionaryGetValue"))
		abort();
	auto *wanted = static_cast<const cf_object *>(key);
	for (const auto &entry : theDict->entries) {
		auto *have = static_cast<const cf_object *>(entry.first);
		if (have == wanted)
			return entry.second;
		// String keys match by content, as with CFEqual.
		if (wanted != nullptr && have->kind == cf_kind::string && wanted->kind == cf_kind::string &&
		    static_cast<const __CFString *>(have)->text ==
		        static_cast<const __CFString *>(wanted)->text)
			return entry.second;
	}
	return nullptr;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr)
{
	if (!sim::is_object(number, cf_kind::number, "CFNumberGetValue"))
		abort();
	long long value = number->value;
	switch (theType) {
	case kCFNumberIntType:
	case kCFNumberSInt32Type: {
		// Saturates, and says so, as CFNumber does.
		int converted = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
		memcpy(valuePtr, &converted, sizeof converted);
		return converted == value;
	}
	case kCFNumberLongType:
	case kCFNumberLongLongType:
	case kCFNumberSInt64Type:
		memcpy(valuePtr, &value, sizeof value);
		return true;
	default:
		misuse("CFNumberGetValue with a type the simulated Mac does not offer");
		return false;
	}
}

CFStringRef __CFStringMakeConstantString(const char *cStr)
{
	auto &strings = sim::constants();
	auto found = strings.find(std::string_view(cStr));
	if (found != strings.end())
		return found->second;
	auto *string = new __CFString;
	string->text = cStr;
	string->immortal = true;
	strings.emplace(cStr, string);
	return string;
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions)
{
	if (!sim::is_object(theString1, cf_kind::string, "CFStringCompare") ||
	    !sim::is_object(theString2, cf_kind::string, "CFStringCompare"))
		abort();
	if (compareOptions != 0)
		misuse("CFStringCompare with options the simulated Mac does not offer");
	int order = theString1->text.compare(theString2->text);
	return order < 0 ? kCFCompareLessThan : order > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

} // extern "C"
