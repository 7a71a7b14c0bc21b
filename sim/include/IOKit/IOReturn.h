// The simulated Mac: IOKit return codes, with the values of macOS.
#pragma once

typedef int kern_return_t;
typedef kern_return_t IOReturn;

#define KERN_SUCCESS 0
#define KERN_INVALID_ARGUMENT 4
#define KERN_FAILURE 5
#define KERN_INVALID_NAME 15
#define KERN_INVALID_RIGHT 17
#define MACH_SEND_INVALID_DEST 0x10000003

#define iokit_common_err(r) ((int)(0xE0000000u | (r)))
#define kIOReturnSuccess KERN_SUCCESS
#define kIOReturnError iokit_common_err(0x2bc)
#define kIOReturnNoMemory iokit_common_err(0x2bd)
#define kIOReturnNoResources iokit_common_err(0x2be)
#define kIOReturnIPCError iokit_common_err(0x2bf)
#define kIOReturnNoDevice iokit_common_err(0x2c0)
#define kIOReturnNotPrivileged iokit_common_err(0x2c1)
#define kIOReturnBadArgument iokit_common_err(0x2c2)
#define kIOReturnExclusiveAccess iokit_common_err(0x2c5)
#define kIOReturnUnsupported iokit_common_err(0x2c7)
#define kIOReturnInternalError iokit_common_err(0x2c9)
#define kIOReturnIOError iokit_common_err(0x2ca)
#define kIOReturnNotOpen iokit_common_err(0x2cd)
#define kIOReturnBusy iokit_common_err(0x2d5)
#define kIOReturnTimeout iokit_common_err(0x2d6)
#define kIOReturnOffline iokit_common_err(0x2d7)
#define kIOReturnNotReady iokit_common_err(0x2d8)
#define kIOReturnNotPermitted iokit_common_err(0x2e2)
#define kIOReturnNotResponding iokit_common_err(0x2ed)
#define kIOReturnNotFound iokit_common_err(0x2f0)
#define kIOReturnInvalid iokit_common_err(0x1)
