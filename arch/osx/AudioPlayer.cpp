// Two clocks meet here: the playout tick hands in one frame every 20 ms, and
// the audio queue takes one whenever a buffer comes back from the device. The
// ten preallocated frames sit either in the waiting FIFO or in the free pool,
// and only frame pointers move between them, under the mutex, with a copy of
// one frame. A buffer that comes back with nothing waiting goes idle rather
// than carrying silence (the device plays silence anyway), and the next frame
// handed in goes straight into it: a speaker that is switched off costs
// nothing, and one switched on plays the next tick's frame. The mutex is never
// held across an audio queue call, and nothing is allocated after setup.
#include "AudioPlayer.h"

#include <AudioToolbox/AudioToolbox.h>

#include <string.h>

AudioPlayer::AudioPlayer(int sampleRate, int frameDurationMs)
    : mQueue(nullptr), mBuffers(), mIdle(), mFrameSize(0), mState(1), mSampleRate(sampleRate),
      mFrameDuration(frameDurationMs) {
    // A nonsensical format gets no queue: open() then fails and play refuses.
    if (sampleRate > 0 && frameDurationMs > 0 && sampleRate <= 384000 && frameDurationMs <= 1000) {
        mFrameSize = sampleRate * frameDurationMs / 1000;
    }
    if (mFrameSize > 0) {
        setupQueue();
    }
}

AudioPlayer::~AudioPlayer() {
    disposeQueue();
    // No callback runs any more: every frame is in one of the two FIFOs.
    while (!mWaiting.empty()) {
        AudioFrame* frame = mWaiting.pop();
        delete[] frame->samples;
        delete frame;
    }
    while (!mFree.empty()) {
        AudioFrame* frame = mFree.pop();
        delete[] frame->samples;
        delete frame;
    }
}

void AudioPlayer::setupQueue() {
    AudioStreamBasicDescription format;
    memset(&format, 0, sizeof(format));
    format.mSampleRate = (Float64)mSampleRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kLinearPCMFormatFlagIsSignedInteger | kLinearPCMFormatFlagIsPacked;
    format.mBytesPerPacket = 2;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 2;
    format.mChannelsPerFrame = 1;
    format.mBitsPerChannel = 16;
    format.mReserved = 0;

    // A failed call leaves a null handle behind; every later use copes with it.
    AudioQueueNewOutput(&format, AQBufferCallback, this, nullptr, nullptr, 0, &mQueue);
    for (int i = 0; i < kBufferCount; ++i) {
        AudioQueueAllocateBuffer(mQueue, (UInt32)(mFrameSize * 2), &mBuffers[i]);
    }
    for (int i = 0; i < kFrameCount; ++i) {
        AudioFrame* frame = new AudioFrame;
        frame->sampleCount = mFrameSize;
        frame->samples = new short[mFrameSize]();
        mFree.push(frame);
    }
    AudioQueueSetParameter(mQueue, kAudioQueueParam_Volume, 1.0f);
}

void AudioPlayer::disposeQueue() {
    if (mQueue == nullptr) {
        return;
    }
    for (int i = 0; i < kBufferCount; ++i) {
        if (mBuffers[i] != nullptr) {
            AudioQueueFreeBuffer(mQueue, mBuffers[i]);
        }
    }
    // Disposal also frees any buffer the queue would not free while running.
    AudioQueueDispose(mQueue, true);
    mQueue = nullptr;
    for (int i = 0; i < kBufferCount; ++i) {
        mBuffers[i] = nullptr;
    }
    mIdleCount = 0;
}

int AudioPlayer::open() {
    OSStatus status = AudioQueueStart(mQueue, nullptr);
    if (status == noErr) {
        mState = 2;
    }
    MutexLocker lock(mMutex);
    mIdleCount = 0;
    for (int i = 0; i < kBufferCount; ++i) {
        if (mBuffers[i] != nullptr) {
            mIdle[mIdleCount++] = mBuffers[i];
        }
    }
    return (int)status;
}

int AudioPlayer::play(short const* samples, unsigned int count) {
    if (mState != 2 || samples == nullptr) {
        return -1;
    }
    // Never read past the caller's buffer; a short frame is padded with silence.
    const int copied = count < (unsigned int)mFrameSize ? (int)count : mFrameSize;
    AudioQueueBuffer* idle = nullptr;
    {
        MutexLocker lock(mMutex);
        if (mIdleCount == 0) {
            if (mFree.empty()) {
                return -1;
            }
            AudioFrame* frame = mFree.pop();
            memcpy(frame->samples, samples, (size_t)copied * sizeof(short));
            memset(frame->samples + copied, 0,
                   (size_t)(frame->sampleCount - copied) * sizeof(short));
            mWaiting.push(frame);
            return 0;
        }
        // Nothing waits when a buffer is idle: this frame is the next to play.
        idle = mIdle[--mIdleCount];
    }
    // Each buffer holds exactly one frame (setupQueue).
    memcpy(idle->mAudioData, samples, (size_t)copied * sizeof(short));
    memset(static_cast<short*>(idle->mAudioData) + copied, 0,
           (size_t)(mFrameSize - copied) * sizeof(short));
    idle->mAudioDataByteSize = (UInt32)mFrameSize * 2;
    idle->mPacketDescriptionCount = 0;
    if (AudioQueueEnqueueBuffer(mQueue, idle, 0, nullptr) != noErr) {
        MutexLocker lock(mMutex);
        mIdle[mIdleCount++] = idle;
        return -1;
    }
    return 0;
}

void AudioPlayer::close() {
    mState = 3;
    AudioQueueStop(mQueue, true);
    // The stop handed every buffer back: all idle for the next open.
    {
        MutexLocker lock(mMutex);
        while (!mWaiting.empty()) {
            mFree.push(mWaiting.pop());
        }
    }
    mState = 1;
}

void AudioPlayer::AQBufferCallback(void* player, OpaqueAudioQueue* /*queue*/,
                                   AudioQueueBuffer* buffer) {
    static_cast<AudioPlayer*>(player)->onBufferReleased(buffer);
}

// The audio queue's thread.
void AudioPlayer::onBufferReleased(AudioQueueBuffer* buffer) {
    if (buffer == nullptr) {
        return;
    }
    const UInt32 capacity = buffer->mAudioDataBytesCapacity;
    {
        MutexLocker lock(mMutex);
        if (mWaiting.empty()) {
            if (mIdleCount < kBufferCount) {
                mIdle[mIdleCount++] = buffer;
            }
            return;
        }
        AudioFrame* frame = mWaiting.pop();
        UInt32 bytes = (UInt32)frame->sampleCount * 2;
        bytes = bytes < capacity ? bytes : capacity;
        memcpy(buffer->mAudioData, frame->samples, bytes);
        buffer->mAudioDataByteSize = bytes;
        mFree.push(frame);
    }
    buffer->mPacketDescriptionCount = 0;
    AudioQueueEnqueueBuffer(mQueue, buffer, 0, nullptr);
}
