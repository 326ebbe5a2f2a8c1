// Audio Queue services on Linux: the types and calls the speaker player uses.
// Output goes to a back end (darwin/AudioQueueBackend.h); buffers play in the
// order enqueued and come back through the output callback once played, on the
// queue's own thread.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t OSStatus;
typedef uint32_t UInt32;
typedef int64_t SInt64;
typedef double Float64;
typedef float Float32;
typedef unsigned char Boolean;
typedef UInt32 AudioFormatID;
typedef UInt32 AudioFormatFlags;
typedef UInt32 AudioQueueParameterID;
typedef Float32 AudioQueueParameterValue;

enum { noErr = 0 };
enum { kAudioFormatLinearPCM = 0x6c70636d /* 'lpcm' */ };
enum {
    kAudioFormatFlagIsFloat = 1u << 0,
    kAudioFormatFlagIsBigEndian = 1u << 1,
    kAudioFormatFlagIsSignedInteger = 1u << 2,
    kAudioFormatFlagIsPacked = 1u << 3,
    kAudioFormatFlagIsNonInterleaved = 1u << 5,
    kLinearPCMFormatFlagIsBigEndian = kAudioFormatFlagIsBigEndian,
    kLinearPCMFormatFlagIsSignedInteger = kAudioFormatFlagIsSignedInteger,
    kLinearPCMFormatFlagIsPacked = kAudioFormatFlagIsPacked,
};
enum { kAudioQueueParam_Volume = 1 };
enum {
    kAudioQueueErr_InvalidBuffer = -66687,
    kAudioQueueErr_BufferEmpty = -66686,
    kAudioQueueErr_InvalidParameter = -66684,
    kAudioQueueErr_InvalidQueueType = -66683,
    kAudioQueueErr_CannotStart = -66681,
    kAudioFormatUnsupportedDataFormatError = 0x666d743f /* 'fmt?' */,
};

typedef struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
} AudioStreamBasicDescription;

typedef struct AudioStreamPacketDescription {
    SInt64 mStartOffset;
    UInt32 mVariableFramesInPacket;
    UInt32 mDataByteSize;
} AudioStreamPacketDescription;

typedef struct AudioQueueBuffer {
    const UInt32 mAudioDataBytesCapacity;
    void* const mAudioData;
    UInt32 mAudioDataByteSize;
    void* mUserData;
    const UInt32 mPacketDescriptionCapacity;
    AudioStreamPacketDescription* const mPacketDescriptions;
    UInt32 mPacketDescriptionCount;
} AudioQueueBuffer;

typedef struct OpaqueAudioQueue* AudioQueueRef;
typedef AudioQueueBuffer* AudioQueueBufferRef;
typedef struct AudioTimeStamp AudioTimeStamp;
typedef struct __CFRunLoop* CFRunLoopRef;
typedef const struct __CFString* CFStringRef;

typedef void (*AudioQueueOutputCallback)(void* inUserData, AudioQueueRef inAQ,
                                         AudioQueueBufferRef inBuffer);

OSStatus AudioQueueNewOutput(const AudioStreamBasicDescription* inFormat,
                             AudioQueueOutputCallback inCallbackProc, void* inUserData,
                             CFRunLoopRef inCallbackRunLoop, CFStringRef inCallbackRunLoopMode,
                             UInt32 inFlags, AudioQueueRef* outAQ);
OSStatus AudioQueueAllocateBuffer(AudioQueueRef inAQ, UInt32 inBufferByteSize,
                                  AudioQueueBufferRef* outBuffer);
OSStatus AudioQueueFreeBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer);
OSStatus AudioQueueEnqueueBuffer(AudioQueueRef inAQ, AudioQueueBufferRef inBuffer,
                                 UInt32 inNumPacketDescs,
                                 const AudioStreamPacketDescription* inPacketDescs);
OSStatus AudioQueueStart(AudioQueueRef inAQ, const AudioTimeStamp* inStartTime);
OSStatus AudioQueueStop(AudioQueueRef inAQ, Boolean inImmediate);
OSStatus AudioQueueDispose(AudioQueueRef inAQ, Boolean inImmediate);
OSStatus AudioQueueSetParameter(AudioQueueRef inAQ, AudioQueueParameterID inParamID,
                                AudioQueueParameterValue inValue);

#ifdef __cplusplus
}
#endif
