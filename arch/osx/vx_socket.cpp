// Socket functions of the platform layer.
//
// Waits use poll() rather than select(): a descriptor number of 1024 or more
// would overflow an fd_set, and poll has no such limit. The wait times are the
// ones the callers ask for; an interrupted wait resumes with what is left of it.

#include "vx_socket.h"

#include "SystenInfo.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

// The read end is readable for good once vx_socket_abandon_waits wrote to the
// pipe (it is never read). Made before main, so no wait has to create it and
// no descriptor appears later in the program's life; -1 (no such wait) if it
// could not be made.
int gAbandonFd = -1;
int gAbandonWriteFd = -1;
struct AbandonFdMaker {
    AbandonFdMaker() {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        for (int fd : fds) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        gAbandonFd = fds[0];
        gAbandonWriteFd = fds[1];
    }
} gAbandonFdMaker;

} // namespace

int vx_socket_abandon_fd() {
    return gAbandonFd;
}

namespace {

// poll() on one descriptor for `timeoutMs` (-1: no limit), resuming after a
// signal with the time that is left. Returns the revents (0 when the wait
// expired), or -1 when poll itself failed or the waits were abandoned.
int pollOne(int fd, short events, int timeoutMs) {
    const int64_t deadline = timeoutMs < 0 ? 0 : getCurrentTimeInMS() + timeoutMs;
    for (;;) {
        struct pollfd p[2] = {{fd, events, 0}, {gAbandonFd, POLLIN, 0}};
        int wait = timeoutMs;
        if (timeoutMs >= 0) {
            int64_t left = deadline - getCurrentTimeInMS();
            wait = left > 0 ? (int)left : 0;
        }
        int r = ::poll(p, p[1].fd >= 0 ? 2 : 1, wait);
        if (r > 0 && (p[1].revents & POLLIN)) {
            errno = ECANCELED;
            return -1;
        }
        if (r > 0)
            return p[0].revents;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

// A DNS label holds at most 63 bytes, so such a name cannot exist anywhere;
// refusing it here means no query for it ever leaves the machine.
bool hasOverlongLabel(const char* host) {
    int run = 0;
    for (const char* c = host; *c; ++c) {
        run = (*c == '.') ? 0 : run + 1;
        if (run > 63)
            return true;
    }
    return false;
}

} // namespace

// Flips O_NONBLOCK. On failure the descriptor is closed and -1 returned, so a
// caller never has to clean up after it.
static int toggle_O_NONBLOCK(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags ^ O_NONBLOCK) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

int socket_network_client_timeout(const char* host, int port, int type, int timeout,
                                  int* gaiError) {
    int ignored = 0;
    if (gaiError == nullptr)
        gaiError = &ignored;
    if (host == nullptr || hasOverlongLabel(host)) {
        *gaiError = EAI_NONAME;
        return -1;
    }
    // The resolver would wrap a port above 65535 round to another service.
    if (port < 0 || port > 65535) {
        *gaiError = EAI_SERVICE;
        return -1;
    }

    char service[16];
    snprintf(service, sizeof service, "%d", port);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = type;
    struct addrinfo* list = nullptr;
    *gaiError = getaddrinfo(host, service, &hints, &list);
    if (*gaiError != 0 || list == nullptr)
        return -1;

    // Only the first address is tried.
    struct sockaddr_storage addr;
    memset(&addr, 0, sizeof addr);
    socklen_t addrLen = list->ai_addrlen;
    if (addrLen > sizeof addr)
        addrLen = sizeof addr;
    memcpy(&addr, list->ai_addr, addrLen);
    int family = list->ai_family;
    int protocol = list->ai_protocol;
    freeaddrinfo(list);

    int fd = socket(family, type, protocol);
    if (fd == -1)
        return -1;
    fd = toggle_O_NONBLOCK(fd);
    if (fd == -1)
        return -1;

    if (connect(fd, (struct sockaddr*)&addr, addrLen) == 0)
        return toggle_O_NONBLOCK(fd);
    // EINTR leaves a non-blocking connect running, exactly like EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR) {
        close(fd);
        return -1;
    }

    int ready = pollOne(fd, POLLIN | POLLOUT, timeout > 0 ? timeout * 1000 : -1);
    if (ready == 0) {
        close(fd);
        errno = ETIMEDOUT;
        return -1;
    }
    if (ready < 0) {
        close(fd);
        return -1;
    }

    int pending = 0;
    socklen_t pendingLen = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &pendingLen) == -1) {
        close(fd);
        return -1;
    }
    if (pending != 0) {
        close(fd);
        errno = pending;
        return -1;
    }
    return toggle_O_NONBLOCK(fd);
}

int vx_socket_network_client(const char* host, int port, int type) {
    int gaiError = 0;
    return socket_network_client_timeout(host, port, type, 0, &gaiError);
}

int vx_socket_inaddr_any_server(int port, int type) {
    // htons would wrap it round to another port, 65536 to "any".
    if (port < 0 || port > 65535)
        return -1;
    int fd = socket(AF_INET6, type, 0);
    bool v6 = true;
    if (fd == -1 && errno == EAFNOSUPPORT) {
        // A kernel without IPv6: serve IPv4 on the same port instead.
        fd = socket(AF_INET, type, 0);
        v6 = false;
    }
    if (fd == -1)
        return -1;

    // A listener may take its port back from connections still in TIME_WAIT.
    // A datagram socket must not share its port: another process bound to it
    // with the same option would receive the voice instead of us.
    if (type == SOCK_STREAM) {
        int on = 1;
        (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }

    int rc;
    if (v6) {
        // Dual stack whatever the system default says: IPv4 peers arrive as
        // IPv4-mapped addresses.
        int off = 0;
        (void)setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        struct sockaddr_in6 a;
        memset(&a, 0, sizeof a);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons((uint16_t)port);
        a.sin6_flowinfo = 0;
        a.sin6_addr = in6addr_any;
        a.sin6_scope_id = 0;
        rc = bind(fd, (struct sockaddr*)&a, sizeof a);
    } else {
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_port = htons((uint16_t)port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        rc = bind(fd, (struct sockaddr*)&a, sizeof a);
    }
    if (rc == 0 && type == SOCK_STREAM)
        rc = listen(fd, 1);
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int vx_sock_read_timeout(void* buf, int len, int fd, int timeout) {
    if (fd < 0)
        return -1;
    if (timeout < 0)
        timeout = 0;
    int ready = pollOne(fd, POLLIN, timeout);
    // A hang-up or an error also makes the descriptor readable: recv reports it.
    if (ready <= 0)
        return 0;
    ssize_t n;
    do {
        n = recv(fd, buf, len > 0 ? (size_t)len : 0, 0);
    } while (n == -1 && errno == EINTR);
    if (n <= 0)
        return -1;
    return (int)n;
}

void vx_socket_abandon_waits() {
    char one = 1;
    ssize_t written = write(gAbandonWriteFd, &one, 1);
    (void)written;
}

int vx_socket_close(int fd) {
    return close(fd);
}

int vx_socket_peer_host(int fd, struct sockaddr_storage* host) {
    if (fd < 0 || host == nullptr)
        return -1;
    memset(host, 0, sizeof *host);
    socklen_t len = sizeof *host;
    return getpeername(fd, (struct sockaddr*)host, &len) == 0 ? 0 : -1;
}

namespace {

// The address bytes of a host: 4 for IPv4 (also when IPv4-mapped), 16 for IPv6.
int hostBytes(const struct sockaddr* a, const unsigned char** bytes) {
    if (a->sa_family == AF_INET) {
        *bytes = (const unsigned char*)&((const struct sockaddr_in*)a)->sin_addr;
        return 4;
    }
    if (a->sa_family == AF_INET6) {
        const struct in6_addr* v6 = &((const struct sockaddr_in6*)a)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(v6)) {
            *bytes = v6->s6_addr + 12;
            return 4;
        }
        *bytes = v6->s6_addr;
        return 16;
    }
    return 0;
}

} // namespace

bool vx_sockaddr_same_host(const struct sockaddr_storage* host, const struct sockaddr* from) {
    if (host == nullptr || from == nullptr)
        return false;
    const unsigned char* a = nullptr;
    const unsigned char* b = nullptr;
    int na = hostBytes((const struct sockaddr*)host, &a);
    int nb = hostBytes(from, &b);
    return na != 0 && na == nb && memcmp(a, b, (size_t)na) == 0;
}
