#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "CWatchView.h"
#include "WatchOptions.h"

// One flushed line per update on `out`, messages on `err`.
class CLineView : public CWatchView {
public:
    // With a clock, the first column is its reading at receipt instead of the
    // milliseconds since start.
    CLineView(FILE* out, FILE* err, const std::vector<WatchLink>& links, bool hex, long long (*clock)() = nullptr);

    // "<ms>\t<topic>\t<item>\t<value>\n"
    std::string FormatUpdate(size_t link, DWORD ms, const std::string& data) const;
    // The text up to its NUL with tab, CR, LF and backslash escaped; or,
    // with `hex`, every byte received as two hex digits.
    static std::string FormatValue(const std::string& data, bool hex);

    void OnNoConversation(const std::string& service, const std::string& topic, UINT error) override;
    void OnLinked(size_t link, bool accepted, UINT error) override;
    void OnUpdate(size_t link, DWORD ms, const std::string& data) override;
    void OnNoData(size_t link, UINT error) override;
    void OnServerEnded(const std::string& topic) override;

private:
    void Message(const char* format, ...) __attribute__((format(printf, 2, 3)));
    std::string Name(size_t link) const;

    FILE* out;
    FILE* err;
    std::vector<WatchLink> links;
    bool hex;
    long long (*clock)();
};
