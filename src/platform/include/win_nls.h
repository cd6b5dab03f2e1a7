// Code-page conversion: UTF-8 to UTF-16 and UTF-16 to the ANSI code page.
#pragma once

#include "win_types.h"

#define CP_ACP 0
#define CP_UTF8 65001

#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_NO_UNICODE_TRANSLATION 1113

#define MB_ERR_INVALID_CHARS 0x00000008

typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;

// The ANSI code page of the stand-in is 932 (Shift_JIS as Windows extends
// it), the code page of the Japanese systems the server is written for.
UINT GetACP();

// Whether c starts a two-byte character in code page 932: its second byte
// may be any of 0x40-0xFC, '\\' among them.
BOOL IsDBCSLeadByte(BYTE c);

// Only CP_UTF8 is taken. As on Windows, invalid sequences become U+FFFD
// unless MB_ERR_INVALID_CHARS is given, a count of -1 includes the NUL, a
// wideSize of 0 asks for the size needed, and a short buffer fails with
// ERROR_INSUFFICIENT_BUFFER. One WCHAR element holds one UTF-16 unit, so
// counts match Windows although wchar_t is wider here.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int count, LPWSTR wide, int wideSize);

// Only CP_ACP (932) is taken. Characters the code page lacks become the
// default character "?" (or defaultChar), and usedDefault says whether any did.
int WideCharToMultiByte(UINT codePage,
                        DWORD flags,
                        LPCWSTR wide,
                        int count,
                        LPSTR text,
                        int textSize,
                        LPCSTR defaultChar,
                        BOOL* usedDefault);
