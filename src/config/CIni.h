#pragma once

#include <windows.h>

// The five settings, read once at start-up from the INI file beside the exe.
class CIni {
public:
    static const int kNameSize = 64;  // 63 significant characters and a NUL
    static const int kMaxNames = 10;  // sections kept per file, keys per section

    // A section's name and the names of its keys, in file order.
    struct KeyList {
        char section[kNameSize];
        char keys[kMaxNames][kNameSize];
        int count;
    };

    CIni();
    virtual ~CIni() {}

    // Creates the file with the defaults when it cannot be opened, then reads
    // it. Always true: whatever is missing keeps its default. An empty
    // acceptname and a tmout_ms of 0 or less take their defaults too, with
    // one log line each; the file is left as it is.
    bool Load();

    int timeadjust_min;
    char acceptname[kNameSize];
    // dir, polling_interval and tmout_ms form one block: a starting worker
    // copies it whole.
    char dir[kNameSize];
    int polling_interval;
    int tmout_ms;
    char ini_path[MAX_PATH + 1];
    // Exchange hosts: built-in defaults, overridden by optional keys of the
    // same names in [https]. A new file does not list them.
    char rest_host[kNameSize];
    char stream_host[kNameSize];
    // A PEM file of roots trusted beside the system's, for a private
    // exchange or a test: optional [https] ca_file, relative to the exe's
    // folder unless absolute, here as the full path; empty when not given.
    // A new file does not list it.
    char ca_file[2 * MAX_PATH];

private:
    int ReadKeyNames(const char* section, KeyList* keyListOut);
    bool ReadString(char* field, const KeyList& keyList, const char* key);
    bool ReadInt(int* field, const KeyList& keyList, const char* key);
    bool ReadPath(char* field, size_t fieldSize, const KeyList& keyList, const char* key);
    void ReplaceUnusableValues();
};
