// The integer a stream operation throws when it fails. Thrown by the control
// and media streams and the voice decoder; caught only by RemoteDevice.
#pragma once

typedef int StreamFault;

enum : StreamFault {
    FaultTimeout = 0, // nothing arrived within the wait (5 s control, 3 s media)
    FaultFraming = 1, // the rest of the current datagram does not fit the read
    FaultReceive = 2, // receive failed, peer closed, or no socket
    FaultSend = 10,   // send failed, or no socket
};
