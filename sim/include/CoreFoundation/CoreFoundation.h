// The simulated Mac: the Core Foundation subset the program uses, declared as on macOS.
#pragma once

#include <cstdint>

#include <MacTypes.h>

extern "C" {

typedef signed long CFIndex;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;
typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;
typedef const void *CFTypeRef;
typedef const struct __CFString *CFStringRef;
typedef const struct __CFArray *CFArrayRef;
typedef const struct __CFDictionary *CFDictionaryRef;
typedef struct __CFDictionary *CFMutableDictionaryRef;
typedef const struct __CFNumber *CFNumberRef;
typedef const struct __CFAllocator *CFAllocatorRef;
typedef struct __CFRunLoop *CFRunLoopRef;
typedef struct __CFRunLoopSource *CFRunLoopSourceRef;
typedef struct __CFRunLoopTimer *CFRunLoopTimerRef;
typedef CFStringRef CFRunLoopMode;

enum CFComparisonResult : CFIndex {
	kCFCompareLessThan = -1L,
	kCFCompareEqualTo = 0,
	kCFCompareGreaterThan = 1
};

typedef CFOptionFlags CFStringCompareFlags;
enum : CFOptionFlags {
	kCFCompareCaseInsensitive = 1,
	kCFCompareBackwards = 4,
	kCFCompareAnchored = 8,
	kCFCompareNonliteral = 16,
	kCFCompareLocalized = 32,
	kCFCompareNumerically = 64
};

enum CFNumberType : CFIndex {
	kCFNumberSInt8Type = 1,
	kCFNumberSInt16Type = 2,
	kCFNumberSInt32Type = 3,
	kCFNumberSInt64Type = 4,
	kCFNumberFloat32Type = 5,
	kCFNumberFloat64Type = 6,
	kCFNumberCharType = 7,
	kCFNumberShortType = 8,
	kCFNumberIntType = 9,
	kCFNumberLongType = 10,
	kCFNumberLongLongType = 11,
	kCFNumberFloatType = 12,
	kCFNumberDoubleType = 13,
	kCFNumberCFIndexType = 14,
	kCFNumberNSIntegerType = 15,
	kCFNumberCGFloatType = 16
};

extern const CFAllocatorRef kCFAllocatorDefault;

CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);

CFIndex CFArrayGetCount(CFArrayRef theArray);
const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);

const void *CFDictionaryGetValue(CFDictionaryRef theDict, const void *key);

CFTypeID CFNumberGetTypeID(void);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr);

CFTypeID CFStringGetTypeID(void);
CFStringRef __CFStringMakeConstantString(const char *cStr);
CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions);

// Constant strings: uniqued and immortal. The "" s "" form accepts only literals. As on a
// Mac, where the compiler emits them, each use site costs nothing after its first run.
#define CFSTR(cStr)                                                                         \
	([] {                                                                               \
		static const CFStringRef constant_string = __CFStringMakeConstantString("" cStr ""); \
		return constant_string;                                                             \
	}())

// Run loop.
extern const CFRunLoopMode kCFRunLoopDefaultMode;
extern const CFRunLoopMode kCFRunLoopCommonModes;

typedef struct {
	CFIndex version;
	void *info;
	const void *(*retain)(const void *info);
	void (*release)(const void *info);
	CFStringRef (*copyDescription)(const void *info);
} CFRunLoopTimerContext;

typedef void (*CFRunLoopTimerCallBack)(CFRunLoopTimerRef timer, void *info);

CFRunLoopRef CFRunLoopGetCurrent(void);
CFRunLoopRef CFRunLoopGetMain(void);
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode);
void CFRunLoopRun(void);
void CFRunLoopStop(CFRunLoopRef rl);
CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef allocator, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags flags,
                                       CFIndex order, CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext *context);
void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer);
CFTimeInterval CFRunLoopTimerGetTolerance(CFRunLoopTimerRef timer);
void CFRunLoopTimerSetTolerance(CFRunLoopTimerRef timer, CFTimeInterval tolerance);

extern const CFTimeInterval kCFAbsoluteTimeIntervalSince1970;
CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);

} // extern "C"
