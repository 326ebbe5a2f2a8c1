// Client side of the virtual microphone: the audio driver's IOKit user client.
// Each 20 ms frame goes to the driver in one call (selector 2) as a 1924-byte
// request; the driver publishes it as an input device every application sees.
#pragma once

// The write request, host byte order, always sent whole.
//   offset 0   int32      sample count (0..960)
//   offset 4   int16[960] samples; the first `sample count` carry the frame
struct MicWriteRequest {
    int sampleCount;
    short samples[960];
};
static_assert(sizeof(MicWriteRequest) == 1924, "the driver expects 1924 bytes");

// Not thread safe: the session controller orders the calls (open and
// getDriverVersion on the start thread, write on the ticking thread only,
// close after the timer stopped).
class MicDevice {
  public:
    static constexpr const char* kServiceClass = "com_cycling74_driver_SoundflowerDevice";
    static constexpr unsigned kConnectionType = 0;
    static constexpr unsigned kWriteSelector = 2;

    MicDevice();
    ~MicDevice();

    // 1 when a connection to the driver is open, 0 otherwise.
    int open();
    void close();
    // 1 when a service of the driver's class exists; opens nothing.
    int isActive();
    // Always 3 (48000 Hz sessions); the driver is not asked.
    int getDriverVersion();
    // Always 1; the driver is not asked.
    int readDriverVersion();
    // Sends one frame of `count` samples; true when the driver accepted it.
    bool write(const short* samples, int count);

  private:
    static bool findService(unsigned int* service);

    unsigned int mService;    // io_service_t of the first matching service, 0 when none
    unsigned int mConnection; // io_connect_t; 0 while closed
};
