#include "Utils.h"

int getAvailableUdpPort(int port) {
    return port;
}
