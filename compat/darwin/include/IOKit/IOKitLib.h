// IOKit user-client calls on Linux: a registry of user-space drivers, each under
// its service class name (see darwin/IOKitDriver.h for how drivers register).
// A driver whose back end is unreachable does not match, as an unloaded kext.
#pragma once

#include <mach/mach.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef mach_port_t io_object_t;
typedef io_object_t io_service_t;
typedef io_object_t io_iterator_t;
typedef io_object_t io_connect_t;
typedef kern_return_t IOReturn;

#define kIOReturnSuccess 0
#define kIOReturnError ((IOReturn)0xe00002bc)
#define kIOReturnNoMemory ((IOReturn)0xe00002bd)
#define kIOReturnNoResources ((IOReturn)0xe00002be)
#define kIOReturnBadArgument ((IOReturn)0xe00002c2)
#define kIOReturnNoDevice ((IOReturn)0xe00002c0)
#define kIOReturnUnsupported ((IOReturn)0xe00002c7)
#define kIOReturnNotOpen ((IOReturn)0xe00002cd)
#define kIOReturnNotAttached ((IOReturn)0xe00002d9)

typedef struct __CFDictionary* CFMutableDictionaryRef;
typedef const struct __CFDictionary* CFDictionaryRef;

extern const mach_port_t kIOMasterPortDefault;

// A matching dictionary for a service class; consumed by IOServiceGetMatchingServices.
CFMutableDictionaryRef IOServiceMatching(const char* name);
// Iterator over the available services of the class; consumes `matching`.
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t* existing);
// Next service of the iterator, 0 when there is none.
io_object_t IOIteratorNext(io_iterator_t iterator);
kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t* connect);
kern_return_t IOServiceClose(io_connect_t connect);
kern_return_t IOConnectCallMethod(mach_port_t connection, uint32_t selector, const uint64_t* input,
                                  uint32_t inputCnt, const void* inputStruct, size_t inputStructCnt,
                                  uint64_t* output, uint32_t* outputCnt, void* outputStruct,
                                  size_t* outputStructCnt);

#ifdef __cplusplus
}
#endif
