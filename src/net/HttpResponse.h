#pragma once

// Reading HTTP/1.x responses from a byte stream into one fixed buffer, and
// the header checks both workers make. Header names and the tokens close,
// chunked and upgrade are matched without regard to case, as HTTP wants.
class CByteStream;

// Copies the value of the first header line named name (with its colon, as
// "Set-Cookie:") in the header block at the start of text: what follows the
// colon, leading blank included, up to the end of the line, cut to
// destSize - 1 characters. Returns the number copied, or -1 with dest
// untouched when there is no such line or destSize leaves no room for the
// NUL. Lines after the empty line that ends the headers are body and never
// match.
int FindHeaderValue(char* dest, int destSize, const char* name, const char* text);

// True when token occurs in text, compared without regard to ASCII case.
bool ContainsNoCase(const char* text, const char* token);

// The status code of the status line "HTTP/1.x nnn ..." at the start of
// text, or 0 when text does not start with one.
int ParseStatusCode(const char* text);

// Reads a header block byte by byte, so that nothing after it is taken
// from the stream, into buffer (size bytes with a NUL). Returns its length
// with the empty line; 0 when the stream ended or the time ran out first;
// -1 when the stream failed or the block does not fit.
int ReadHttpHeaders(CByteStream& stream, char* buffer, int size);

struct HttpResponse {
    int length = 0;          // bytes in the buffer; a NUL follows them
    bool complete = false;   // the whole response arrived (perhaps cut, see truncated)
    bool truncated = false;  // the body did not fit and was cut after a whole value
    bool reusable = false;   // the connection can carry the next request
};

// Reads one response: the headers, then a body framed by Content-Length,
// by chunks (stored unchunked) or by the end of the connection. A body too
// large for the buffer is cut back after its last "," "}" or "]" so that no
// value is left half there. An incomplete response leaves complete false.
// Returns false when the stream failed or the header block does not fit.
bool ReadHttpResponse(CByteStream& stream, char* buffer, int size, HttpResponse* out);
