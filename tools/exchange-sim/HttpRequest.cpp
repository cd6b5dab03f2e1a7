#include "HttpRequest.h"

#include <cctype>
#include <cstring>

bool EqualsNoCase(const std::string& a, const char* b) {
    if (a.size() != strlen(b)) return false;
    for (size_t i = 0; i < a.size(); i++) {
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
    }
    return true;
}

static std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

const std::string* HttpRequest::Header(const char* name) const {
    for (const auto& header : headers) {
        if (EqualsNoCase(header.first, name)) return &header.second;
    }
    return nullptr;
}

bool HttpRequest::HeaderHasToken(const char* name, const char* token) const {
    const std::string* value = Header(name);
    if (!value) return false;
    size_t start = 0;
    while (start <= value->size()) {
        size_t comma = value->find(',', start);
        if (comma == std::string::npos) comma = value->size();
        if (EqualsNoCase(Trim(value->substr(start, comma - start)), token)) return true;
        start = comma + 1;
    }
    return false;
}

bool HttpRequest::WantsKeepAlive() const {
    if (version == "HTTP/1.0") return HeaderHasToken("Connection", "keep-alive");
    return !HeaderHasToken("Connection", "close");
}

static bool IsToken(const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : text) {
        if (c <= ' ' || c >= 127 || strchr("()<>@,;:\\\"/[]?={}", c)) return false;
    }
    return true;
}

static bool ParseRequestLine(const std::string& line, HttpRequest& request) {
    const size_t firstSpace = line.find(' ');
    const size_t lastSpace = line.rfind(' ');
    if (firstSpace == std::string::npos || lastSpace == firstSpace) return false;
    request.method = line.substr(0, firstSpace);
    request.target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    request.version = line.substr(lastSpace + 1);
    if (!IsToken(request.method) || request.target.empty()) return false;
    if (request.target.find(' ') != std::string::npos) return false;
    const std::string& v = request.version;
    return v.size() == 8 && v.compare(0, 5, "HTTP/") == 0 && isdigit(static_cast<unsigned char>(v[5])) && v[6] == '.' &&
           isdigit(static_cast<unsigned char>(v[7]));
}

static bool ParseField(const std::string& line, HttpRequest& request) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    // RFC 9112 5.1: no white space between the field name and the colon.
    const std::string name = line.substr(0, colon);
    if (!IsToken(name)) return false;
    request.headers.emplace_back(name, Trim(line.substr(colon + 1)));
    return true;
}

int ParseHttpRequest(const std::string& data, HttpRequest& requestOut) {
    const size_t end = data.find("\r\n\r\n");
    if (end == std::string::npos) return data.size() > kMaxRequestHead ? -1 : 0;
    const size_t headSize = end + 4;
    if (headSize > kMaxRequestHead) return -1;
    HttpRequest request;
    request.raw = data.substr(0, headSize);
    size_t lineStart = 0;
    size_t lineEnd = data.find("\r\n");
    if (!ParseRequestLine(data.substr(0, lineEnd), request)) return -1;
    while (lineEnd < end) {
        lineStart = lineEnd + 2;
        lineEnd = data.find("\r\n", lineStart);
        if (!ParseField(data.substr(lineStart, lineEnd - lineStart), request)) return -1;
    }
    requestOut = request;
    return static_cast<int>(headSize);
}
