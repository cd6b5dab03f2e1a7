#include <windows.h>

#include <wincrypt.h>

#include <string>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const size_t kLineLength = 64;

std::string EncodeBase64(const BYTE* binary, DWORD size) {
    std::string out;
    for (DWORD at = 0; at < size; at += 3) {
        DWORD left = size - at;
        DWORD group = (DWORD)binary[at] << 16;
        if (left > 1) group |= (DWORD)binary[at + 1] << 8;
        if (left > 2) group |= binary[at + 2];
        out.push_back(kAlphabet[(group >> 18) & 63]);
        out.push_back(kAlphabet[(group >> 12) & 63]);
        out.push_back(left > 1 ? kAlphabet[(group >> 6) & 63] : '=');
        out.push_back(left > 2 ? kAlphabet[group & 63] : '=');
    }
    return out;
}

std::string BreakLines(const std::string& encoded, const char* lineEnd) {
    std::string out;
    for (size_t at = 0; at < encoded.size(); at += kLineLength) {
        out.append(encoded, at, kLineLength);
        out.append(lineEnd);
    }
    return out;
}

}  // namespace

BOOL CryptBinaryToStringA(const BYTE* binary, DWORD binarySize, DWORD flags, LPSTR text, DWORD* size) {
    if ((flags & 0xFFFF) != CRYPT_STRING_BASE64 || !size || (!binary && binarySize != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string encoded = EncodeBase64(binary, binarySize);
    if (!(flags & CRYPT_STRING_NOCRLF)) encoded = BreakLines(encoded, (flags & CRYPT_STRING_NOCR) ? "\n" : "\r\n");
    if (!text) {
        *size = (DWORD)encoded.size() + 1;
        return TRUE;
    }
    if (*size < encoded.size() + 1) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    encoded.copy(text, encoded.size());
    text[encoded.size()] = '\0';
    *size = (DWORD)encoded.size();
    return TRUE;
}
