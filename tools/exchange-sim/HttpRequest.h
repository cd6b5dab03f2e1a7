#pragma once

#include <string>
#include <utility>
#include <vector>

// One request head as it came off the wire. Header names and the tokens of
// list-valued headers compare without regard to case (RFC 9110 5.1, 7.6.1).
struct HttpRequest {
    std::string method;
    std::string target;
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string raw;

    // The first header of that name, its value without surrounding blanks,
    // or nullptr.
    const std::string* Header(const char* name) const;
    // Whether a comma-separated header value holds token.
    bool HeaderHasToken(const char* name, const char* token) const;
    // HTTP/1.0 stays open only when asked; HTTP/1.1 unless told to close.
    bool WantsKeepAlive() const;
};

// Heads larger than this are refused rather than buffered without bound.
const size_t kMaxRequestHead = 16384;

// head    := request-line CRLF (field CRLF)* CRLF
// request := method SP target SP "HTTP/" digit "." digit
// field   := name ":" OWS value OWS
// Returns the size of a complete head at the start of data, 0 when more
// bytes are needed, -1 when the head is malformed or too large.
int ParseHttpRequest(const std::string& data, HttpRequest& requestOut);

bool EqualsNoCase(const std::string& a, const char* b);
