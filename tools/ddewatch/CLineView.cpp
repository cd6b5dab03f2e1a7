#include <windows.h>

#include "CLineView.h"

#include <cstdarg>

CLineView::CLineView(FILE* out, FILE* err, const std::vector<WatchLink>& links, bool hex, long long (*clock)())
    : out(out), err(err), links(links), hex(hex), clock(clock) {}

std::string CLineView::FormatValue(const std::string& data, bool hex) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    if (hex) {
        for (unsigned char c : data) {
            text += kDigits[c >> 4];
            text += kDigits[c & 15];
        }
        return text;
    }
    for (char c : data) {
        if (c == '\0') break;
        if (c == '\t')
            text += "\\t";
        else if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else if (c == '\\')
            text += "\\\\";
        else
            text += c;
    }
    return text;
}

std::string CLineView::FormatUpdate(size_t link, DWORD ms, const std::string& data) const {
    return (clock ? std::to_string(clock()) : std::to_string(ms)) + "\t" + links[link].topic + "\t" + links[link].item +
           "\t" + FormatValue(data, hex) + "\n";
}

std::string CLineView::Name(size_t link) const {
    return links[link].topic + "!" + links[link].item;
}

void CLineView::Message(const char* format, ...) {
    fputs("ddewatch: ", err);
    va_list args;
    va_start(args, format);
    vfprintf(err, format, args);
    va_end(args);
    fputc('\n', err);
    fflush(err);
}

void CLineView::OnNoConversation(const std::string& service, const std::string& topic, UINT error) {
    Message("service %s did not accept a conversation on topic %s (DDEML error 0x%04X)", service.c_str(), topic.c_str(),
            error);
}

void CLineView::OnLinked(size_t link, bool accepted, UINT error) {
    if (accepted)
        Message("linked %s", Name(link).c_str());
    else
        Message("link refused: %s (DDEML error 0x%04X)", Name(link).c_str(), error);
}

void CLineView::OnUpdate(size_t link, DWORD ms, const std::string& data) {
    std::string line = FormatUpdate(link, ms, data);
    fwrite(line.data(), 1, line.size(), out);
    fflush(out);
}

void CLineView::OnNoData(size_t link, UINT error) {
    Message("no data for %s (DDEML error 0x%04X)", Name(link).c_str(), error);
}

void CLineView::OnServerEnded(const std::string& topic) {
    Message("the server ended the conversation on topic %s", topic.c_str());
}
