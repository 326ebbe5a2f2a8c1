#pragma once

// The UDP port to bind for the media stream: the given one, unchanged.
int getAvailableUdpPort(int port);
