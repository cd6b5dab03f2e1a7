#include "Socket.h"

#ifndef _WIN32
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#endif

#ifdef _WIN32

bool start_socket_library() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data) == 0;
}

void stop_socket_library() {
    WSACleanup();
}

int close_socket(socket_t sock) {
    return closesocket(sock);
}

bool set_nonblocking(socket_t sock, bool nonblocking) {
    u_long mode = nonblocking ? 1 : 0;
    return ioctlsocket(sock, FIONBIO, &mode) == 0;
}

int connect_started(socket_t sock, const sockaddr* address, socklen_t length) {
    if (connect(sock, address, length) == 0) return 0;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 1 : -1;
}

int last_socket_error() {
    return WSAGetLastError();
}

// select takes any socket value on Windows. A failed connect shows in the
// exception set, not the write set.
int wait_socket_or_wake(socket_t sock, socket_t wakeSock, int milliseconds, bool write) {
    if (sock == kInvalidSocket && wakeSock == kInvalidSocket) {
        Sleep((DWORD)(milliseconds < 0 ? 0 : milliseconds));
        return 0;
    }
    fd_set reads;
    fd_set writes;
    fd_set failed;
    FD_ZERO(&reads);
    FD_ZERO(&writes);
    FD_ZERO(&failed);
    if (sock != kInvalidSocket) {
        FD_SET(sock, write ? &writes : &reads);
        FD_SET(sock, &failed);
    }
    if (wakeSock != kInvalidSocket) FD_SET(wakeSock, &reads);
    if (milliseconds < 0) milliseconds = 0;
    timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
    int result = select(0, &reads, &writes, &failed, &timeout);
    if (result <= 0) return result;
    if (sock == kInvalidSocket) return 0;
    return FD_ISSET(sock, write ? &writes : &reads) || FD_ISSET(sock, &failed) ? 1 : 0;
}

#else

bool start_socket_library() {
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void stop_socket_library() {}

int close_socket(socket_t sock) {
    return close(sock);
}

bool set_nonblocking(socket_t sock, bool nonblocking) {
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0) return false;
    flags = nonblocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(sock, F_SETFL, flags) == 0;
}

int connect_started(socket_t sock, const sockaddr* address, socklen_t length) {
    if (connect(sock, address, length) == 0) return 0;
    return errno == EINPROGRESS ? 1 : -1;
}

int last_socket_error() {
    return errno;
}

// poll rather than select: select cannot watch descriptors past FD_SETSIZE.
int wait_socket_or_wake(socket_t sock, socket_t wakeSock, int milliseconds, bool write) {
    pollfd entries[2] = {{sock, (short)(write ? POLLOUT : POLLIN), 0}, {wakeSock, POLLIN, 0}};
    int result;
    do {
        // A negative descriptor is skipped by poll.
        result = poll(entries, 2, milliseconds < 0 ? 0 : milliseconds);
    } while (result < 0 && errno == EINTR);
    if (result <= 0) return result;
    return entries[0].revents != 0 ? 1 : 0;
}

#endif

int wait_readable(socket_t sock, int milliseconds) {
    return wait_socket_or_wake(sock, kInvalidSocket, milliseconds, false);
}

int wait_writable(socket_t sock, int milliseconds) {
    return wait_socket_or_wake(sock, kInvalidSocket, milliseconds, true);
}

int pending_error(socket_t sock) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, (char*)&error, &length) != 0) return -1;
    return error;
}
