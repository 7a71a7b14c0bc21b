// The simulated Mac: the IOKit core the program uses, declared as on macOS.
#pragma once

#include <cstddef>
#include <cstdint>

#include <MacTypes.h>
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>
#include <dispatch/dispatch.h>

extern "C" {

typedef unsigned int natural_t;
typedef natural_t mach_port_t;
typedef mach_port_t task_t;
typedef task_t task_port_t;
typedef mach_port_t io_object_t;
typedef io_object_t io_connect_t;
typedef io_object_t io_service_t;

#define MACH_PORT_NULL 0
#define IO_OBJECT_NULL ((io_object_t)0)

extern mach_port_t mach_task_self_;
#define mach_task_self() mach_task_self_

extern const mach_port_t kIOMainPortDefault;

typedef struct IONotificationPort *IONotificationPortRef;
typedef void (*IOServiceInterestCallback)(void *refcon, io_service_t service,
                                          uint32_t messageType, void *messageArgument);

CFMutableDictionaryRef IOServiceMatching(const char *name);
io_service_t IOServiceGetMatchingService(mach_port_t mainPort, CFDictionaryRef matching);
kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t *connect);
kern_return_t IOServiceClose(io_connect_t connect);
kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOConnectCallStructMethod(mach_port_t connection, uint32_t selector,
                                        const void *inputStruct, size_t inputStructCnt,
                                        void *outputStruct, size_t *outputStructCnt);

CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify);

} // extern "C"
