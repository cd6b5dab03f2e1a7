// Stand-in for <wincrypt.h>: the Base64 encoder of crypt32.
#pragma once

#include "win_types.h"

#define CRYPT_STRING_BASE64 0x00000001
#define CRYPT_STRING_NOCRLF 0x40000000
#define CRYPT_STRING_NOCR 0x80000000

#define ERROR_MORE_DATA 234

// Base64 (RFC 4648 alphabet, padded) broken into lines of 64 characters, each
// line ended with CR LF (LF alone with CRYPT_STRING_NOCR, no breaks at all
// with CRYPT_STRING_NOCRLF). With text NULL, *size receives the length
// needed including the NUL; otherwise *size must hold the buffer's length and
// receives the length written without the NUL.
BOOL CryptBinaryToStringA(const BYTE* binary, DWORD binarySize, DWORD flags, LPSTR text, DWORD* size);
