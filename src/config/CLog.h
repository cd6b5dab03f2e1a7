#pragma once

// The daily log: "log/YYYYMMDD/vornlog.log" under the current working
// directory, one time-stamped entry per call, written from any thread.
class CLog {
public:
    // printf-style; the message carries its own "\r\n". Returns false when
    // the file could not be opened and the entry was dropped.
    static bool Write(const char* format, ...) __attribute__((format(printf, 1, 2)));

private:
    static bool MakeDayFolder(char* path, const char* folderName);
    static bool AppendEntry(const char* folder, const char* stem, const char* message, const char* extension);
};
