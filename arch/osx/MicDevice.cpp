#include "MicDevice.h"

#include <IOKit/IOKitLib.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

MicDevice::MicDevice() : mService(0), mConnection(0) {}

MicDevice::~MicDevice() {
    close();
}

int MicDevice::open() {
    // A second open would lose the first connection for good.
    close();

    io_service_t service = 0;
    if (!findService(&service))
        return 0;
    mService = service;

    io_connect_t connection = 0;
    kern_return_t kr = IOServiceOpen(mService, mach_task_self(), kConnectionType, &connection);
    mConnection = connection;
    if (kr != KERN_SUCCESS) {
        close();
        return 0;
    }
    return mService != 0 ? 1 : 0;
}

void MicDevice::close() {
    if (mConnection != 0) {
        IOServiceClose(mConnection);
        mConnection = 0;
    }
}

// The first service of the driver's class (0 when none); false when the
// matching call itself failed, which is reported on stderr.
bool MicDevice::findService(unsigned int* service) {
    CFMutableDictionaryRef matching = IOServiceMatching(kServiceClass);
    io_iterator_t iterator = 0;
    kern_return_t kr = IOServiceGetMatchingServices(kIOMasterPortDefault, matching, &iterator);
    if (kr != KERN_SUCCESS) {
        fprintf(stderr, "IOServiceGetMatchingServices returned 0x%08x\n\n", (unsigned)kr);
        return false;
    }
    *service = IOIteratorNext(iterator);
    IOObjectRelease(iterator);
    return true;
}

int MicDevice::isActive() {
    io_service_t service = 0;
    return findService(&service) && service != 0 ? 1 : 0;
}

int MicDevice::getDriverVersion() {
    return 3;
}

int MicDevice::readDriverVersion() {
    return 1;
}

// Ticking thread, every 20 ms: one IOKit call, nothing allocated.
bool MicDevice::write(const short* samples, int count) {
    const int capacity = (int)(sizeof(MicWriteRequest::samples) / sizeof(short));
    if (count < 0 || count > capacity || (samples == nullptr && count > 0)) {
        return false;
    }
    MicWriteRequest request;
    request.sampleCount = count;
    if (count > 0) {
        memcpy(request.samples, samples, (size_t)count * sizeof(short));
    }
    // The unused slots carry no meaning, but stack garbage has no business in a driver.
    memset(request.samples + count, 0, (size_t)(capacity - count) * sizeof(short));

    uint64_t scalarOut = 0;
    uint32_t scalarOutCount = 1;
    kern_return_t kr =
        IOConnectCallMethod(mConnection, kWriteSelector, nullptr, 0, &request, sizeof(request),
                            &scalarOut, &scalarOutCount, nullptr, nullptr);
    return kr == KERN_SUCCESS;
}
