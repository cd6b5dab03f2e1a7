#pragma once

// Where the HTTP and WebSocket readers take their bytes from and send their
// few replies to: a TLS connection in the workers, hand-made bytes in tests.
class CByteStream {
public:
    virtual ~CByteStream() {}

    // Reads count bytes into buffer. Returns count, or fewer when the peer
    // has closed its side (Ended is then true) or the time for reading ran
    // out; -1 when the connection failed.
    virtual int Read(char* buffer, int count) = 0;
    // True once the peer has closed its side of the connection.
    virtual bool Ended() const = 0;
    // Writes all count bytes; false when they could not be written.
    virtual bool Write(const char* data, int count) = 0;
};
