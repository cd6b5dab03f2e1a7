#include "HttpResponse.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "CByteStream.h"

namespace {

const int kValueSize = 64;       // Content-Length, Transfer-Encoding, Connection values
const int kChunkLineSize = 256;  // a chunk-size line with its extensions

bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        if (tolower((unsigned char)*text) != tolower((unsigned char)*prefix)) return false;
    }
    return true;
}

bool EndsHeaders(const char* buffer, int length) {
    if (length >= 4 && memcmp(buffer + length - 4, "\r\n\r\n", 4) == 0) return true;
    return length >= 2 && memcmp(buffer + length - 2, "\n\n", 2) == 0;
}

// Reads a line of at most size - 1 bytes up to and including its LF.
// Returns false when the stream failed, ended or ran out of time first.
bool ReadLine(CByteStream& stream, char* line, int size) {
    int length = 0;
    while (length < size - 1) {
        if (stream.Read(line + length, 1) != 1) return false;
        if (line[length++] == '\n') {
            line[length] = '\0';
            return true;
        }
    }
    return false;
}

bool IsInterim(int status) {
    return status >= 100 && status < 200 && status != 101;
}

// Statuses whose responses never carry a body.
bool HasNoBody(int status) {
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

// A body framing and how far it got.
struct Body {
    char* start;
    int space;  // bytes the buffer has for the body, NUL excluded
    int length = 0;
    bool complete = false;
    bool truncated = false;
    bool failed = false;
};

void ReadSized(CByteStream& stream, long size, Body* body) {
    if (size < 0) return;
    int wanted = size > body->space ? body->space : (int)size;
    int got = stream.Read(body->start, wanted);
    if (got < 0) {
        body->failed = true;
        return;
    }
    body->length = got;
    body->truncated = wanted < size && got == wanted;
    body->complete = got == wanted;
}

// chunk := hex-size [";" extension] CRLF data CRLF; the last has size 0 and
// is followed by trailer lines and an empty line.
void ReadChunked(CByteStream& stream, Body* body) {
    char line[kChunkLineSize];
    for (;;) {
        if (!ReadLine(stream, line, sizeof(line))) return;
        char* end = nullptr;
        long size = strtol(line, &end, 16);
        if (end == line || size < 0) return;
        if (size == 0) break;
        int space = body->space - body->length;
        int wanted = size > space ? space : (int)size;
        int got = stream.Read(body->start + body->length, wanted);
        if (got < 0) body->failed = true;
        if (got != wanted) return;
        body->length += got;
        if (wanted < size) {
            body->truncated = body->complete = true;
            return;
        }
        if (!ReadLine(stream, line, sizeof(line))) return;
    }
    do {
        if (!ReadLine(stream, line, sizeof(line))) return;
    } while (line[0] != '\r' && line[0] != '\n');
    body->complete = true;
}

// Without length or chunks the body ends where the connection does.
void ReadToEnd(CByteStream& stream, Body* body) {
    int got = stream.Read(body->start, body->space);
    if (got < 0) {
        body->failed = true;
        return;
    }
    body->length = got;
    body->complete = stream.Ended() || got == body->space;
    body->truncated = got == body->space && !stream.Ended();
}

int CutAfterLastDelimiter(const char* body, int length) {
    for (int i = length; i > 0; --i) {
        char c = body[i - 1];
        if (c == ',' || c == '}' || c == ']') return i;
    }
    return 0;
}

}  // namespace

int FindHeaderValue(char* dest, int destSize, const char* name, const char* text) {
    if (destSize <= 0) return -1;
    for (const char* line = text; *line && *line != '\r' && *line != '\n';) {
        if (StartsWithNoCase(line, name)) {
            const char* value = line + strlen(name);
            int length = 0;
            while (length < destSize - 1 && value[length] && value[length] != '\r' && value[length] != '\n')
                ++length;
            memcpy(dest, value, length);
            dest[length] = '\0';
            return length;
        }
        const char* next = strchr(line, '\n');
        if (!next) break;
        line = next + 1;
    }
    return -1;
}

bool ContainsNoCase(const char* text, const char* token) {
    for (; *text; ++text) {
        if (StartsWithNoCase(text, token)) return true;
    }
    return *token == '\0';
}

int ParseStatusCode(const char* text) {
    if (strncmp(text, "HTTP/", 5) != 0) return 0;
    const char* blank = strchr(text, ' ');
    if (!blank || !isdigit((unsigned char)blank[1]) || !isdigit((unsigned char)blank[2]) ||
        !isdigit((unsigned char)blank[3]))
        return 0;
    return (blank[1] - '0') * 100 + (blank[2] - '0') * 10 + (blank[3] - '0');
}

int ReadHttpHeaders(CByteStream& stream, char* buffer, int size) {
    int length = 0;
    while (length < size - 1) {
        int got = stream.Read(buffer + length, 1);
        if (got < 0) return -1;
        if (got == 0) return 0;
        ++length;
        buffer[length] = '\0';
        if (EndsHeaders(buffer, length)) return length;
    }
    return -1;
}

bool ReadHttpResponse(CByteStream& stream, char* buffer, int size, HttpResponse* out) {
    *out = HttpResponse();
    int headerLength = 0;
    // An interim response (100 Continue, 103 Early Hints) comes before the
    // real one to the same request; taking it for the answer would leave
    // the real one to be read as the answer to the next request.
    do {
        headerLength = ReadHttpHeaders(stream, buffer, size);
        if (headerLength <= 0) {
            // The part of a block read so far is no response: length 0,
            // and the NUL that follows it.
            if (size > 0) buffer[0] = '\0';
            return headerLength == 0;
        }
    } while (IsInterim(ParseStatusCode(buffer)));
    Body body;
    body.start = buffer + headerLength;
    body.space = size - 1 - headerLength;
    char value[kValueSize];
    bool framed = true;
    if (HasNoBody(ParseStatusCode(buffer))) {
        body.complete = true;
    } else if (FindHeaderValue(value, sizeof(value), "Transfer-Encoding:", buffer) >= 0 &&
               ContainsNoCase(value, "chunked")) {
        ReadChunked(stream, &body);
    } else if (FindHeaderValue(value, sizeof(value), "Content-Length:", buffer) >= 0) {
        ReadSized(stream, strtol(value, nullptr, 10), &body);
    } else {
        framed = false;
        ReadToEnd(stream, &body);
    }
    if (body.truncated) body.length = CutAfterLastDelimiter(body.start, body.length);
    body.start[body.length] = '\0';
    out->length = headerLength + body.length;
    out->complete = body.complete;
    out->truncated = body.truncated;
    bool closing = FindHeaderValue(value, sizeof(value), "Connection:", buffer) >= 0 && ContainsNoCase(value, "close");
    out->reusable = body.complete && !body.truncated && framed && !closing && !stream.Ended();
    return !body.failed;
}
