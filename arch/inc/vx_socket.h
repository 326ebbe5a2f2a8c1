// Socket functions of the platform layer. They never throw; they return -1 or
// 0 as documented. Descriptors are plain ints.
#pragma once

#include <sys/socket.h>

// Connects to host:port (numeric IPv4/IPv6 or a name), trying only the first
// resolved address. timeout in whole seconds, 0 = the system's own limit.
// *gaiError gets getaddrinfo's result. Returns a blocking descriptor or -1.
int socket_network_client_timeout(const char* host, int port, int type, int timeout, int* gaiError);
int vx_socket_network_client(const char* host, int port, int type);
// A socket bound to every local address at `port` (IPv6 dual-stack, or IPv4
// where the kernel has no IPv6); a stream socket also listens (backlog 1).
int vx_socket_inaddr_any_server(int port, int type);
// Bytes received (>= 1), 0 when nothing became readable within timeout ms, -1
// when the peer closed or the receive failed.
int vx_sock_read_timeout(void* buf, int len, int fd, int timeout);
int vx_socket_close(int fd);
// For a program that is quitting: every connect and receive wait, running or
// to come, ends at once as failed, so no session thread is left waiting on the
// network. Any thread; cannot be undone.
void vx_socket_abandon_waits();
// Readable, for good, once the waits are abandoned: a wait of its own polls
// it (POLLIN) beside its socket. -1 when it could not be made.
int vx_socket_abandon_fd();

struct sockaddr_storage;
// The host part of the connected peer of `fd` (port ignored by the compare below). 0 or -1.
int vx_socket_peer_host(int fd, struct sockaddr_storage* host);
// Whether `from` is the same host as `host`; an IPv4-mapped IPv6 address
// equals the IPv4 address it maps.
bool vx_sockaddr_same_host(const struct sockaddr_storage* host, const struct sockaddr* from);
