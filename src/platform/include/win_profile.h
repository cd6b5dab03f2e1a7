// Private-profile (INI file) functions with Windows' behaviour.
#pragma once

#include "win_types.h"

DWORD GetPrivateProfileStringA(LPCSTR section,
                               LPCSTR key,
                               LPCSTR defaultValue,
                               LPSTR returned,
                               DWORD size,
                               LPCSTR fileName);
UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT defaultValue, LPCSTR fileName);
DWORD GetPrivateProfileSectionNamesA(LPSTR returned, DWORD size, LPCSTR fileName);
BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName);
