#include <windows.h>

#include "CIni.h"

#include <cstdio>
#include <cstring>

#include "CLog.h"

#ifndef VORNFEED_REST_HOST
#define VORNFEED_REST_HOST "localhost"
#endif
#ifndef VORNFEED_STREAM_HOST
#define VORNFEED_STREAM_HOST "localhost"
#endif

namespace {

const DWORD kListBufferSize = 4096;
const int kDefaultTmoutMs = 5000;
const char kDefaultAcceptname[] = "VORN";

void CopyName(char* dest, const char* src) {
    snprintf(dest, CIni::kNameSize, "%s", src);
}

// Splits a profile name list (NUL-separated, ended by an empty name) into at
// most kMaxNames names of at most 63 characters; the rest are ignored.
int SplitNameList(const char* list, char (*names)[CIni::kNameSize]) {
    int count = 0;
    for (const char* p = list; *p != '\0' && count < CIni::kMaxNames; p += strlen(p) + 1)
        CopyName(names[count++], p);
    return count;
}

bool IsAbsolutePath(const char* path) {
    bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':';
    return drive || path[0] == '\\' || path[0] == '/';
}

// The length of a file path's folder, up to and including its last
// separator. The second byte of a two-byte character can be '\\' (as in
// 表), so those are stepped over whole.
size_t FolderLength(const char* filePath) {
    size_t folder = 0;
    for (size_t i = 0; filePath[i] != '\0'; ++i) {
        if (IsDBCSLeadByte((BYTE)filePath[i]) && filePath[i + 1] != '\0')
            ++i;
        else if (filePath[i] == '\\' || filePath[i] == '/')
            folder = i + 1;
    }
    return folder;
}

}  // namespace

CIni::CIni() {
    memset(ini_path, 0, sizeof(ini_path));
    GetModuleFileNameA(nullptr, ini_path, MAX_PATH);
    size_t length = strlen(ini_path);
    if (length >= 3) memcpy(ini_path + length - 3, "ini", 3);

    timeadjust_min = 540;
    CopyName(acceptname, kDefaultAcceptname);
    CopyName(dir, "/api/1/");
    polling_interval = 5;
    tmout_ms = kDefaultTmoutMs;
    CopyName(rest_host, VORNFEED_REST_HOST);
    CopyName(stream_host, VORNFEED_STREAM_HOST);
    ca_file[0] = '\0';
}

bool CIni::Load() {
    if (FILE* file = fopen(ini_path, "rb")) {
        fclose(file);
    } else {
        char number[16];
        snprintf(number, sizeof(number), "%d", timeadjust_min);
        WritePrivateProfileStringA("common", "timeadjust_min", number, ini_path);
        WritePrivateProfileStringA("ddeserver", "acceptname", acceptname, ini_path);
        WritePrivateProfileStringA("https", "dir", dir, ini_path);
        snprintf(number, sizeof(number), "%d", polling_interval);
        WritePrivateProfileStringA("https", "polling_interval", number, ini_path);
        snprintf(number, sizeof(number), "%d", tmout_ms);
        WritePrivateProfileStringA("https", "tmout_ms", number, ini_path);
    }

    char list[kListBufferSize] = {};
    GetPrivateProfileSectionNamesA(list, kListBufferSize, ini_path);
    char sections[kMaxNames][kNameSize];
    int sectionCount = SplitNameList(list, sections);

    // Section names match by substring, and always read the fixed section:
    // a [https_extra] makes [https] be read.
    for (int i = 0; i < sectionCount; ++i) {
        KeyList keys;
        if (strstr(sections[i], "common")) {
            ReadKeyNames("common", &keys);
            ReadInt(&timeadjust_min, keys, "timeadjust_min");
        } else if (strstr(sections[i], "ddeserver")) {
            ReadKeyNames("ddeserver", &keys);
            ReadString(acceptname, keys, "acceptname");
        } else if (strstr(sections[i], "https")) {
            ReadKeyNames("https", &keys);
            ReadString(dir, keys, "dir");
            ReadInt(&polling_interval, keys, "polling_interval");
            if (polling_interval < 5) polling_interval = 5;
            ReadInt(&tmout_ms, keys, "tmout_ms");
            ReadString(rest_host, keys, "rest_host");
            ReadString(stream_host, keys, "stream_host");
            ReadPath(ca_file, sizeof(ca_file), keys, "ca_file");
        }
    }
    ReplaceUnusableValues();
    return true;
}

// Either value leaves the server running but of no use (no service to
// connect to, or reads that end before any data can come), with nothing to
// show the user why. The file keeps what the user wrote.
void CIni::ReplaceUnusableValues() {
    if (acceptname[0] == '\0') {
        CLog::Write("acceptname が空のため既定値 %s を使用\r\n", kDefaultAcceptname);
        CopyName(acceptname, kDefaultAcceptname);
    }
    if (tmout_ms <= 0) {
        CLog::Write("tmout_ms=%d は使えないため既定値 %d を使用\r\n", tmout_ms, kDefaultTmoutMs);
        tmout_ms = kDefaultTmoutMs;
    }
}

int CIni::ReadKeyNames(const char* section, KeyList* keyListOut) {
    CopyName(keyListOut->section, section);
    char list[kListBufferSize] = {};
    GetPrivateProfileStringA(section, nullptr, "", list, kListBufferSize, ini_path);
    keyListOut->count = SplitNameList(list, keyListOut->keys);
    return keyListOut->count;
}

// Key names match by substring too: for "dir", a dir_old standing first wins.
bool CIni::ReadString(char* field, const KeyList& keyList, const char* key) {
    for (int i = 0; i < keyList.count; ++i) {
        if (!strstr(keyList.keys[i], key)) continue;
        char value[kNameSize] = {};
        GetPrivateProfileStringA(keyList.section, keyList.keys[i], "", value, kNameSize, ini_path);
        CopyName(field, value);
        return true;
    }
    return false;
}

// A relative path is taken from the exe's folder, not the working
// directory: the server may be started from anywhere, and a file beside the
// exe is what the user can see and keep with it.
bool CIni::ReadPath(char* field, size_t fieldSize, const KeyList& keyList, const char* key) {
    for (int i = 0; i < keyList.count; ++i) {
        if (!strstr(keyList.keys[i], key)) continue;
        char value[MAX_PATH + 1] = {};
        GetPrivateProfileStringA(keyList.section, keyList.keys[i], "", value, sizeof(value), ini_path);
        if (value[0] == '\0' || IsAbsolutePath(value))
            snprintf(field, fieldSize, "%s", value);
        else
            snprintf(field, fieldSize, "%.*s%s", (int)FolderLength(ini_path), ini_path, value);
        return true;
    }
    return false;
}

// -1 stands for "missing", so a key holding -1 gives way to the next match.
bool CIni::ReadInt(int* field, const KeyList& keyList, const char* key) {
    for (int i = 0; i < keyList.count; ++i) {
        if (!strstr(keyList.keys[i], key)) continue;
        int value = (int)GetPrivateProfileIntA(keyList.section, keyList.keys[i], -1, ini_path);
        if (value == -1) continue;
        *field = value;
        return true;
    }
    return false;
}
