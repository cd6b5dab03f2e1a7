#pragma once

// On the product's socket wrappers, for the suites that link them.
#include "Socket.h"

// A loopback port that is bound but never listens: connections to it are
// refused for as long as this holds it, whatever else runs on the machine.
class ClosedPort {
public:
    ClosedPort() : sock(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)), port(0) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(address);
        if (sock == kInvalidSocket || bind(sock, (sockaddr*)&address, size) != 0 ||
            getsockname(sock, (sockaddr*)&address, &size) != 0)
            return;
        port = ntohs(address.sin_port);
    }
    ~ClosedPort() {
        if (sock != kInvalidSocket) close_socket(sock);
    }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    int Port() const { return port; }

private:
    socket_t sock;
    int port;
};
