// The simulated Mac: the system power messages, with the values of macOS.
#pragma once

#include <MacTypes.h>

#define iokit_common_msg(message) ((UInt32)(0xE0000000u | (message)))
#define kIOMessageCanSystemSleep iokit_common_msg(0x270)
#define kIOMessageSystemWillSleep iokit_common_msg(0x280)
#define kIOMessageSystemWillNotSleep iokit_common_msg(0x290)
#define kIOMessageSystemHasPoweredOn iokit_common_msg(0x300)
#define kIOMessageSystemWillPowerOn iokit_common_msg(0x320)
