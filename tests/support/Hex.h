#pragma once

#include <string>

// bytes as lower-case hexadecimal digits, two a byte: "\x01\xab" gives
// "01ab". How the cross-process suite and its DDE host write data that may
// hold NULs and bytes of any code page.
inline std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes)
        text += std::string{kDigits[c >> 4], kDigits[c & 15]};
    return text;
}
