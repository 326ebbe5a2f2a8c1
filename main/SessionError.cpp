#include "SessionError.h"

const char* getErrText(int code) {
    switch (code) {
    case ErrorUnknownHost:
        return "Unknown host.";
    case ErrorAborted:
        return "Connection aborted.";
    case ErrorDriverTooOld:
        return "Driver is too old. Please install the latest driver. Force to play in speaker.";
    case ErrorMediaSocket:
        return "Fail to connect to server for media stream.";
    case ErrorWsaStart:
        return "Failed to start WSA 2.2";
    case ErrorNoUsbDevice:
        return "No device is detected on USB ports.";
    case ErrorDriverBroken:
        return "It looks there is something wrong with your Voxlet device driver. Please "
               "re-install it.";
    case ErrorStartMic:
        return "Cannot start mic on Android phone.";
    case ErrorMismatch:
        return "Client and server mismatch. Please install latest server and client.";
    case ErrorVersion:
        return "Fail to communicate with Voxlet on Android phone. Check if it has been started.";
    case ErrorConnect:
        return "Fail to connect to server.";
    case ErrorNoMemory:
        return "Not enough memory to run this program.";
    case ErrorNoDevice:
        return "Cannot load Voxlet device. Force to play in speaker.";
    default:
        return "Error occured.";
    }
}
