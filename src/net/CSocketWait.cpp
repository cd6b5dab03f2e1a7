#include "CSocketWait.h"

#ifdef _WIN32

CSocketWait::CSocketWait()
    : wakeEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      socketEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr)),
      watched(kInvalidSocket) {}

CSocketWait::~CSocketWait() {
    if (wakeEvent) CloseHandle(wakeEvent);
    if (socketEvent) CloseHandle(socketEvent);
}

bool CSocketWait::CanWake() const {
    return wakeEvent != nullptr && socketEvent != nullptr;
}

void CSocketWait::Wake() {
    if (wakeEvent) SetEvent(wakeEvent);
}

// FD_READ and FD_WRITE are signalled again only after a recv or send has
// found nothing to do, which is just when the workers wait: after OpenSSL
// asked for more. A signal left from earlier bytes returns a wait early,
// and the caller's retry finds that out.
int CSocketWait::Wait(socket_t sock, int milliseconds, bool write) {
    if (!CanWake()) return wait_socket_or_wake(sock, kInvalidSocket, milliseconds, write);
    if (sock != watched && sock != kInvalidSocket) {
        // A connect waited for on a fresh socket must see no earlier
        // socket's signal: it would pass for the connect's end.
        ResetEvent(socketEvent);
        if (WSAEventSelect(sock, socketEvent, FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) != 0) return -1;
        watched = sock;
    }
    HANDLE handles[2] = {wakeEvent, socketEvent};
    DWORD count = sock == kInvalidSocket ? 1 : 2;
    switch (WaitForMultipleObjects(count, handles, FALSE, (DWORD)(milliseconds < 0 ? 0 : milliseconds))) {
        case WAIT_OBJECT_0:
        case WAIT_TIMEOUT:
            return 0;
        case WAIT_OBJECT_0 + 1:
            return 1;
        default:
            return -1;
    }
}

void CSocketWait::Forget(socket_t sock) {
    if (sock == watched) watched = kInvalidSocket;
}

#else

namespace {

// A datagram socket on the loopback connected to itself: a byte sent to it
// stays unread, so every later wait on it returns at once.
socket_t MakeWakeSocket() {
    socket_t sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock == kInvalidSocket) return kInvalidSocket;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(sock, (sockaddr*)&address, sizeof(address)) != 0 || getsockname(sock, (sockaddr*)&address, &length) != 0 ||
        connect(sock, (sockaddr*)&address, sizeof(address)) != 0 || !set_nonblocking(sock, true)) {
        close_socket(sock);
        return kInvalidSocket;
    }
    return sock;
}

}  // namespace

CSocketWait::CSocketWait() : wakeSock(MakeWakeSocket()) {}

CSocketWait::~CSocketWait() {
    if (wakeSock != kInvalidSocket) close_socket(wakeSock);
}

bool CSocketWait::CanWake() const {
    return wakeSock != kInvalidSocket;
}

void CSocketWait::Wake() {
    if (wakeSock != kInvalidSocket) send(wakeSock, "w", 1, 0);
}

int CSocketWait::Wait(socket_t sock, int milliseconds, bool write) {
    return wait_socket_or_wake(sock, wakeSock, milliseconds, write);
}

void CSocketWait::Forget(socket_t) {}

#endif
