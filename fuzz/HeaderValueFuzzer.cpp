// The header lookups, and the cookie the REST worker takes from a response
// and sends back in its next request.
// input := header-name "\n" response-text
#include <string>

#include "CHttpsPublicThread.h"
#include "FuzzSupport.h"
#include "HttpResponse.h"

namespace {

// 0: no room even for the NUL, so nothing may be written.
const int kDestSizes[] = {0, 1, 2, 16, CHttpsThread::kCookieSize};
const char kPreviousCookie[] = "vornsim=previous";
const char kRequestStart[] = "GET /api/1/ticker/btc_jpy HTTP/1.0\r\nHost: localhost\r\nCookie: ";

CHttpsPublicThread& Worker() {
    static CHttpsPublicThread* worker = [] {
        CHttpsPublicThread* made = new CHttpsPublicThread;
        made->SetTopic("ticker.btc_jpy.h");
        snprintf(made->apiDir, sizeof(made->apiDir), "/api/1/");
        snprintf(made->host, sizeof(made->host), "localhost");
        return made;
    }();
    return *worker;
}

// Where the header block ends: the first line that is empty, or starts with
// a line break, as the readers take it.
size_t HeaderBlockEnd(const std::string& text) {
    for (size_t line = 0; line < text.size();) {
        if (text[line] == '\r' || text[line] == '\n') return line;
        size_t next = text.find('\n', line);
        if (next == std::string::npos) return text.size();
        line = next + 1;
    }
    return text.size();
}

void CheckFindHeaderValue(const HeapText& name, const HeapText& text) {
    std::string headers = std::string(text.get()).substr(0, HeaderBlockEnd(text.get()));
    for (int destSize : kDestSizes) {
        OutBuffer dest(destSize);
        int copied = FindHeaderValue(dest.get(), destSize, name.get(), text.get());
        if (copied < 0 || destSize == 0) {
            FUZZ_CHECK(copied == -1);
            FUZZ_CHECK(dest.Untouched());
            continue;
        }
        FUZZ_CHECK(dest.Terminated());
        FUZZ_CHECK(copied == (int)dest.Text().size());
        // One line's value, and only from the header block.
        FUZZ_CHECK(dest.Text().find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(headers.find(dest.Text()) != std::string::npos);
    }
}

void CheckGetHeaderValue(const HeapText& name, const HeapText& text) {
    bool occurs = strstr(text.get(), name.get()) != nullptr;
    for (int destSize : kDestSizes) {
        OutBuffer dest(destSize);
        int copied = CHttpsThread::GetHeaderValue(dest.get(), destSize, name.get(), text.get());
        if (!occurs || destSize == 0) {
            FUZZ_CHECK(copied == 0);
            FUZZ_CHECK(dest.Untouched());
            continue;
        }
        FUZZ_CHECK(dest.Terminated());
        FUZZ_CHECK(copied == (int)dest.Text().size());
        FUZZ_CHECK(dest.Text().find('\r') == std::string::npos);
    }
}

// The request must stay one request whatever the server set: a cookie that
// brought a line break along would let the server write headers of its own.
void CheckCookieRequest(const HeapText& text) {
    CHttpsPublicThread& worker = Worker();
    snprintf(worker.cookie, sizeof(worker.cookie), "%s", kPreviousCookie);
    int copied = FindHeaderValue(worker.cookie, CHttpsThread::kCookieSize, "Set-Cookie:", text.get());
    if (copied < 0) FUZZ_CHECK(strcmp(worker.cookie, kPreviousCookie) == 0);
    FUZZ_CHECK(strnlen(worker.cookie, sizeof(worker.cookie)) < sizeof(worker.cookie));

    OutBuffer request(CHttpsThread::kRequestSize);
    FUZZ_CHECK(worker.MakeRequest(request.get()));
    FUZZ_CHECK(request.Terminated());
    std::string sent = request.Text();
    FUZZ_CHECK(sent.compare(0, strlen(kRequestStart), kRequestStart) == 0);
    FUZZ_CHECK(sent.find("\r\n\r\n") == sent.size() - 4);
    std::string cookieLine =
        sent.substr(strlen(kRequestStart), sent.find("\r\n", strlen(kRequestStart)) - strlen(kRequestStart));
    FUZZ_CHECK(cookieLine == worker.cookie || cookieLine.empty());
    for (size_t i = 0; i < sent.size(); ++i) {
        if (sent[i] == '\r') FUZZ_CHECK(sent[i + 1] == '\n');
        if (sent[i] == '\n') FUZZ_CHECK(i > 0 && sent[i - 1] == '\r');
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> fields = SplitFields(data, size, 2);
    HeapText name(fields[0]);
    HeapText text(fields[1]);
    CheckFindHeaderValue(name, text);
    CheckGetHeaderValue(name, text);
    CheckCookieRequest(text);
    return 0;
}
