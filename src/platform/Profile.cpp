// Private-profile (INI) functions for systems without them. They follow what
// Windows and Wine do, down to the bytes of the file: names match without
// regard to ASCII case, values lose surrounding blanks, lists are cut to the
// buffer with their two closing NULs kept, and every write rewrites the file
// from its parsed form (blank lines go, comments stay), with CRLF line ends.
#include <windows.h>

#include <strings.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ProfileKey {
    std::string name;
    std::string value;
    bool hasValue;  // a line without "=" is kept in the file but listed as no key
};

// The lines before the first section header form a section with no name.
struct ProfileSection {
    std::string name;
    std::vector<ProfileKey> keys;
};

using Profile = std::vector<ProfileSection>;

// One process-wide lock: the file is read and rewritten whole on each call.
std::mutex g_profileLock;

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool SameName(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

bool IsComment(const ProfileKey& key) {
    return !key.name.empty() && key.name[0] == ';';
}

void ParseLine(const std::string& rawLine, Profile& profile) {
    std::string line = Trim(rawLine);
    if (line.empty()) return;
    if (line[0] == '[') {
        size_t close = line.find(']');
        std::string name = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        profile.push_back(ProfileSection{Trim(name), {}});
        return;
    }
    if (profile.empty()) profile.push_back(ProfileSection());
    size_t equals = line.find('=');
    if (line[0] == ';' || equals == std::string::npos) {
        profile.back().keys.push_back(ProfileKey{line, std::string(), false});
        return;
    }
    profile.back().keys.push_back(ProfileKey{Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)), true});
}

// False when the file cannot be read; the profile is then empty.
bool LoadProfile(const char* fileName, Profile& profile) {
    std::ifstream file(fileName, std::ios::binary);
    if (!file) return false;
    std::string line;
    while (std::getline(file, line))
        ParseLine(line, profile);
    return true;
}

bool SaveProfile(const char* fileName, const Profile& profile) {
    std::ostringstream text;
    for (const ProfileSection& section : profile) {
        if (!section.name.empty()) text << '[' << section.name << "]\r\n";
        for (const ProfileKey& key : section.keys) {
            text << key.name;
            if (key.hasValue) text << '=' << key.value;
            text << "\r\n";
        }
    }
    std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
    if (!file) return false;
    file << text.str();
    return static_cast<bool>(file.flush());
}

ProfileSection* FindSection(Profile& profile, const char* name) {
    for (ProfileSection& section : profile) {
        if (SameName(section.name, name)) return &section;
    }
    return nullptr;
}

ProfileKey* FindKey(ProfileSection& section, const char* name) {
    for (ProfileKey& key : section.keys) {
        if (!IsComment(key) && SameName(key.name, name)) return &key;
    }
    return nullptr;
}

// Copies names into buffer as a NUL-separated list ended by an empty name.
// A list that does not fit is cut to size - 2 characters and still ends with
// two NULs; that length is returned, as Windows does.
DWORD CopyNameList(const std::vector<std::string>& names, LPSTR buffer, DWORD size) {
    if (!buffer || size == 0) return 0;
    std::string list;
    for (const std::string& name : names)
        list.append(name).push_back('\0');
    if (list.size() + 1 <= size) {
        memcpy(buffer, list.data(), list.size());
        buffer[list.size()] = '\0';
        if (list.empty() && size > 1) buffer[1] = '\0';
        return (DWORD)list.size();
    }
    if (size < 2) {
        buffer[0] = '\0';
        return 0;
    }
    memcpy(buffer, list.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
}

// Copies text, cut to the buffer, with a NUL; returns the characters copied.
DWORD CopyValue(const std::string& text, LPSTR buffer, DWORD size) {
    if (!buffer || size == 0) return 0;
    DWORD length = (DWORD)std::min<size_t>(text.size(), size - 1);
    memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return length;
}

// A value in matching single or double quotes is read without them.
std::string Unquote(const std::string& value) {
    if (value.size() < 2) return value;
    char first = value.front();
    if ((first == '"' || first == '\'') && value.back() == first) return value.substr(1, value.size() - 2);
    return value;
}

std::vector<std::string> SectionNames(const Profile& profile) {
    std::vector<std::string> names;
    for (const ProfileSection& section : profile) {
        if (!section.name.empty()) names.push_back(section.name);
    }
    return names;
}

std::vector<std::string> KeyNames(const ProfileSection& section) {
    std::vector<std::string> names;
    for (const ProfileKey& key : section.keys) {
        if (key.hasValue && !IsComment(key)) names.push_back(key.name);
    }
    return names;
}

// A leading decimal number with an optional sign, wrapping like the 32-bit
// conversion Windows uses; no digits give 0.
UINT ParseProfileInt(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    UINT value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + (UINT)(text[i] - '0');
    return negative ? 0u - value : value;
}

}  // namespace

DWORD GetPrivateProfileStringA(LPCSTR section,
                               LPCSTR key,
                               LPCSTR defaultValue,
                               LPSTR returned,
                               DWORD size,
                               LPCSTR fileName) {
    std::lock_guard<std::mutex> guard(g_profileLock);
    Profile profile;
    LoadProfile(fileName, profile);
    if (!section) return CopyNameList(SectionNames(profile), returned, size);
    std::string fallback = defaultValue ? defaultValue : "";
    fallback.erase(fallback.find_last_not_of(' ') + 1);
    ProfileSection* found = FindSection(profile, section);
    if (!found) return CopyValue(fallback, returned, size);
    if (!key) return CopyNameList(KeyNames(*found), returned, size);
    ProfileKey* entry = FindKey(*found, key);
    if (!entry) return CopyValue(fallback, returned, size);
    return CopyValue(Unquote(entry->value), returned, size);
}

UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT defaultValue, LPCSTR fileName) {
    char value[64];
    if (GetPrivateProfileStringA(section, key, "", value, sizeof(value), fileName) == 0) return (UINT)defaultValue;
    return ParseProfileInt(value);
}

DWORD GetPrivateProfileSectionNamesA(LPSTR returned, DWORD size, LPCSTR fileName) {
    std::lock_guard<std::mutex> guard(g_profileLock);
    Profile profile;
    LoadProfile(fileName, profile);
    return CopyNameList(SectionNames(profile), returned, size);
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR fileName) {
    if (!section || !fileName) return FALSE;
    std::lock_guard<std::mutex> guard(g_profileLock);
    Profile profile;
    LoadProfile(fileName, profile);
    ProfileSection* found = FindSection(profile, section);
    if (!key) {
        if (found) profile.erase(profile.begin() + (found - profile.data()));
        return SaveProfile(fileName, profile);
    }
    if (!value) {
        if (!found) return TRUE;
        ProfileKey* entry = FindKey(*found, key);
        if (entry) found->keys.erase(found->keys.begin() + (entry - found->keys.data()));
        return SaveProfile(fileName, profile);
    }
    if (!found) {
        profile.push_back(ProfileSection{section, {}});
        found = &profile.back();
    }
    ProfileKey* entry = FindKey(*found, key);
    if (entry) {
        entry->value = Trim(value);
        entry->hasValue = true;
    } else {
        found->keys.push_back(ProfileKey{key, Trim(value), true});
    }
    return SaveProfile(fileName, profile);
}
