// The client's side of the conversation with the phone for one session.
//
// Control message, both directions, big-endian:
//   offset 0  u8   command code
//   offset 1  u32  payload length (read back, never consulted)
//   offset 5  ...  payload
// Requests: 101 version (02 03 02, OS type, OS major, OS minor), 102 codec
// parameters (codec, rate code, u32 media port), 103 start, 104 stop, 105
// keep-alive (no reply). Replies: code, length, status (0 accepted) and, for
// 101 only, the server's version byte.
#pragma once

#include <atomic>

class ControlStream;
class MediaStream;
class VoiceDecoder;

// Threads: the start thread runs setUp and the start-up exchange; then the
// poll thread uses only the control stream and the pump thread only the media
// stream; tearDown runs after both ended. No lock.
class RemoteDevice {
  public:
    // How long getFrame keeps dropping bad datagrams without a good frame
    // before it gives up (-1): the media stream's receive wait.
    static constexpr int kFrameWaitMs = 3000;
    // The result of a request whose reply came with another code (also the
    // phone's refusal of the version).
    static constexpr int kWrongReply = 10;

    RemoteDevice();
    // Over streams made elsewhere (tests, fuzzing); takes them, unopened.
    RemoteDevice(ControlStream* control, MediaStream* media, int mediaPort);
    ~RemoteDevice(); // runs tearDown

    // 0, -8 transport not 3, -12 media port unusable (checked before anything
    // goes out) or no media socket, -5 no connection.
    int setUp();
    void tearDown();
    // Ends a receive wait of the pump now (teardown, from another thread).
    void interrupt();
    int checkServerProtocolVersion(int* serverVersion);
    int setCodecParameters(int codec, int rateCode);
    int start();
    int stop();
    int poll(); // 0 sent, 1 no stream or send failed
    // 0 frame; -1 no good frame within kFrameWaitMs (malformed and
    // undecodable datagrams are dropped and counted meanwhile); -2 media link
    // failed or torn down.
    int getFrame(VoiceDecoder* decoder, short* pcm, int samples, unsigned int* sequence);

    int getMediaPort() const { return mMediaPort; }
    // The session state getFrame watches: it stops retrying framing errors
    // once the state is no longer 2. Set before the pump thread starts.
    void setSessionState(const std::atomic<int>* state) { mSessionState = state; }

  private:
    ControlStream* mControlStream;
    MediaStream* mMediaStream;
    int mMediaPort;
    const std::atomic<int>* mSessionState = nullptr;
    char mHost[256]; // the address as used: without white space around it
};
