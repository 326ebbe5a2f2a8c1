// Session states and errors, and the message the user sees for each error.
#pragma once

typedef int SessionState;
typedef int SessionError;

enum : SessionState {
    StateIdle = 0,
    StateConnecting = 1,
    StateConnected = 2,
    StateDisconnecting = 3,
    StateAborting = 4,
};

enum : SessionError {
    ErrorNone = 0,
    ErrorConnect = -5,      // control connection failed or the address does not resolve
    ErrorVersion = -6,      // version exchange failed
    ErrorMismatch = -7,     // version refused with 10, wrong reply, or codec refused
    ErrorStartMic = -8,     // phone's microphone did not start, or transport is not 3
    ErrorMediaSocket = -12, // UDP media socket could not be opened
    ErrorAborted = -20,     // link broke after frames were stored, or keep-alive failed
    ErrorNoFrames = -21,    // link broke before any frame was stored
    // Nothing produces these; they have messages only.
    ErrorNoDevice = -1,
    ErrorNoMemory = -2,
    ErrorDriverBroken = -9,
    ErrorNoUsbDevice = -10,
    ErrorWsaStart = -11,
    ErrorDriverTooOld = -13,
    ErrorUnknownHost = -30,
};

// Shown when Connect is pressed with no address.
inline constexpr const char* kInvalidAddressText = "Invalid target IP address.";
// Shown once when Connect could not save the settings file.
inline constexpr const char* kSettingsNotSavedText =
    "The settings could not be saved to settings.dat; this session uses them unsaved.";

// The fixed English message for an error code ("Error occured." for codes without one).
const char* getErrText(int code);
