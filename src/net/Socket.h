#pragma once

// The few socket calls that differ between Winsock and BSD sockets, so that
// the code above them reads the same on both.
#include <windows.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using socket_t = SOCKET;
const socket_t kInvalidSocket = INVALID_SOCKET;
const int kConnectionRefused = WSAECONNREFUSED;
const int kConnectTimedOut = WSAETIMEDOUT;
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
using socket_t = int;
const socket_t kInvalidSocket = -1;
const int kConnectionRefused = ECONNREFUSED;
const int kConnectTimedOut = ETIMEDOUT;
#endif

// Winsock must be started before use and counts the starts; elsewhere this
// makes a write to a connection the peer dropped an error instead of a
// SIGPIPE that ends the process.
bool start_socket_library();
void stop_socket_library();

int close_socket(socket_t sock);
bool set_nonblocking(socket_t sock, bool nonblocking);

// Starts a connect on a non-blocking socket: 0 when it completed at once,
// 1 when it is under way (wait_writable, then pending_error), -1 on failure
// (last_socket_error tells which).
int connect_started(socket_t sock, const sockaddr* address, socklen_t length);

// The error of the calling thread's last failed socket call, in the same
// numbering as pending_error.
int last_socket_error();

// Wait up to milliseconds for the socket: 1 ready, 0 timed out, -1 failed.
// A finished connect, successful or not, counts as writable.
int wait_readable(socket_t sock, int milliseconds);
int wait_writable(socket_t sock, int milliseconds);

// Waits up to milliseconds for sock as wait_readable or wait_writable do,
// or until wakeSock is readable (a wake socket: see CSocketWait): 1 sock
// ready, 0 timed out or woken, -1 failed. wakeSock may be kInvalidSocket,
// and so may sock, for a plain wait that a wake ends.
int wait_socket_or_wake(socket_t sock, socket_t wakeSock, int milliseconds, bool write);

// The error a finished non-blocking connect ended with; 0 for success.
int pending_error(socket_t sock);
