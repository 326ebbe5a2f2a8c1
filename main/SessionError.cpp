#include "SessionError.h"

const char* getErrText(int code) {
    switch (code) {
    case -30:
        return "Unknown host.";
    case -20:
        return "Connection aborted.";
    case -13:
        return "Driver is too old. Please install the latest driver. Force to play in speaker.";
    case -12:
        return "Fail to connect to server for media stream.";
    case -11:
        return "Failed to start WSA 2.2";
    case -10:
        return "No device is detected on USB ports.";
    case -9:
        return "It looks there is something wrong with your Voxlet device driver. Please "
               "re-install it.";
    case -8:
        return "Cannot start mic on Android phone.";
    case -7:
        return "Client and server mismatch. Please install latest server and client.";
    case -6:
        return "Fail to communicate with Voxlet on Android phone. Check if it has been started.";
    case -5:
        return "Fail to connect to server.";
    case -2:
        return "Not enough memory to run this program.";
    case -1:
        return "Cannot load Voxlet device. Force to play in speaker.";
    default:
        return "Error occured.";
    }
}
