// Arbitrary file bytes as the INI file: the settings read from them, and
// the profile functions' lists and values underneath.
// input := the file
#include <windows.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "CIni.h"
#include "FuzzSupport.h"

namespace {

const DWORD kListSizes[] = {1, 2, 3, 16, 4096};
const DWORD kValueSizes[] = {1, 2, 64};
// Every profile call reads the whole file again: the deeper checks take the
// first few names only, as the settings do, to keep the runs fast.
const size_t kNamesChecked = 4;

std::string g_iniPath;

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool FieldTerminated(const char* field) {
    return strnlen(field, CIni::kNameSize) < (size_t)CIni::kNameSize;
}

// A name list is cut to the buffer and still ends with two NULs.
std::vector<std::string> CheckNameList(DWORD size, const char* section) {
    OutBuffer list(size);
    DWORD length = section ? GetPrivateProfileStringA(section, nullptr, "", list.get(), size, g_iniPath.c_str())
                           : GetPrivateProfileSectionNamesA(list.get(), size, g_iniPath.c_str());
    FUZZ_CHECK(length < size || length == 0);
    FUZZ_CHECK(list.get()[length] == '\0');
    // Whole, the last name's NUL comes before it; cut, one more follows it.
    // An empty answer (a section that is not there gives the default) needs
    // only the one.
    if (length > 0) FUZZ_CHECK(list.get()[length - 1] == '\0' || list.get()[length + 1] == '\0');
    std::vector<std::string> names;
    for (const char* p = list.get(); p < list.get() + length && *p; p += strlen(p) + 1)
        names.push_back(p);
    return names;
}

void CheckValue(const std::string& section, const std::string& key) {
    for (DWORD size : kValueSizes) {
        OutBuffer value(size);
        DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), "", value.get(), size, g_iniPath.c_str());
        FUZZ_CHECK(length < size && value.get()[length] == '\0');
    }
}

void CheckProfile() {
    for (DWORD size : kListSizes)
        CheckNameList(size, nullptr);
    std::vector<std::string> sections = CheckNameList(4096, nullptr);
    sections.resize(std::min(sections.size(), kNamesChecked));
    for (const std::string& section : sections) {
        CheckNameList(2, section.c_str());
        std::vector<std::string> keys = CheckNameList(4096, section.c_str());
        keys.resize(std::min(keys.size(), kNamesChecked));
        for (const std::string& key : keys)
            CheckValue(section, key);
    }
}

void RemoveFolder() {
    std::string folder = g_iniPath.substr(0, g_iniPath.rfind('/'));
    unlink(g_iniPath.c_str());
    rmdir(folder.c_str());
}

}  // namespace

// The file lives in a new folder, in memory where the system has /dev/shm
// (every profile call reads the file again; on disk the runs wait on it).
// Unusable values write log lines below the working directory: fuzz.sh
// runs the target where a file named "log" stands in the way, so that they
// are dropped instead of filling the disk.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    struct stat shm;
    std::string folder = stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) ? "/dev/shm/vornfeed-ini-XXXXXX"
                                                                             : "/tmp/vornfeed-ini-XXXXXX";
    if (!mkdtemp(&folder[0])) abort();
    g_iniPath = folder + "/vornfeed.ini";
    atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes((const char*)data, size);
    std::ofstream(g_iniPath, std::ios::binary | std::ios::trunc) << bytes;

    CIni ini;
    snprintf(ini.ini_path, sizeof(ini.ini_path), "%s", g_iniPath.c_str());
    FUZZ_CHECK(ini.Load());
    FUZZ_CHECK(FieldTerminated(ini.acceptname) && FieldTerminated(ini.dir));
    FUZZ_CHECK(FieldTerminated(ini.rest_host) && FieldTerminated(ini.stream_host));
    FUZZ_CHECK(ini.acceptname[0] != '\0');
    FUZZ_CHECK(ini.polling_interval >= 5 && ini.tmout_ms > 0);
    // Reading never rewrites the user's file.
    FUZZ_CHECK(ReadFile(g_iniPath) == bytes);
    CheckProfile();
    return 0;
}
