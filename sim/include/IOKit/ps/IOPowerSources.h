// The simulated Mac: the power-source snapshot, declared as on macOS.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#define kIOPMACPowerKey "AC Power"
#define kIOPMBatteryPowerKey "Battery Power"
#define kIOPMUPSPowerKey "UPS Power"

extern "C" {

CFTypeRef IOPSCopyPowerSourcesInfo(void);
CFArrayRef IOPSCopyPowerSourcesList(CFTypeRef blob);
CFDictionaryRef IOPSGetPowerSourceDescription(CFTypeRef blob, CFTypeRef ps);
CFStringRef IOPSGetProvidingPowerSourceType(CFTypeRef snapshot);

} // extern "C"
