#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CIni.h"
#include "ScratchFolder.h"
#include "TempWorkingDirectory.h"

namespace {

class IniTest : public ::testing::Test {
protected:
    // Points the configuration at a file in the scratch folder, with content
    // (none at all when content is null), and loads it.
    void LoadFrom(const char* content) {
        std::string path = folder.PathOf("vornfeed.ini");
        if (content) ScratchFolder::WriteFile(path, content);
        snprintf(ini.ini_path, sizeof(ini.ini_path), "%s", path.c_str());
        ASSERT_TRUE(ini.Load());
    }

    ScratchFolder folder;
    CIni ini;
};

TEST(IniPathTest, IsTheProgramPathWithIniInPlaceOfItsLastThreeCharacters) {
    char program[MAX_PATH + 1] = {};
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    std::string expected(program);
    expected.replace(expected.size() - 3, 3, "ini");
    CIni ini;
    EXPECT_EQ(expected, ini.ini_path);
}

TEST_F(IniTest, MissingFileIsCreatedWithTheDefaultsAndReadBack) {
    LoadFrom(nullptr);
    EXPECT_EQ(
        "[common]\r\ntimeadjust_min=540\r\n[ddeserver]\r\nacceptname=VORN\r\n"
        "[https]\r\ndir=/api/1/\r\npolling_interval=5\r\ntmout_ms=5000\r\n",
        ScratchFolder::ReadFile(ini.ini_path));
    EXPECT_EQ(540, ini.timeadjust_min);
    EXPECT_STREQ("VORN", ini.acceptname);
    EXPECT_STREQ("/api/1/", ini.dir);
    EXPECT_EQ(5, ini.polling_interval);
    EXPECT_EQ(5000, ini.tmout_ms);
    // The exchange hosts are not written: a new file stays as users know it.
    EXPECT_STREQ(VORNFEED_REST_HOST, ini.rest_host);
}

TEST_F(IniTest, ReadsEverySettingFromAnExistingFileWithoutRewritingIt) {
    const char content[] =
        "[common]\r\ntimeadjust_min=-60\r\n[ddeserver]\r\nacceptname=VORN2\r\n"
        "[https]\r\ndir=/v2/\r\npolling_interval=12\r\ntmout_ms=2500\r\n"
        "rest_host=api.example.test\r\nstream_host=ws.example.test\r\n";
    LoadFrom(content);
    EXPECT_EQ(-60, ini.timeadjust_min);
    EXPECT_STREQ("VORN2", ini.acceptname);
    EXPECT_STREQ("/v2/", ini.dir);
    EXPECT_EQ(12, ini.polling_interval);
    EXPECT_EQ(2500, ini.tmout_ms);
    EXPECT_STREQ("api.example.test", ini.rest_host);
    EXPECT_STREQ("ws.example.test", ini.stream_host);
    EXPECT_EQ(content, ScratchFolder::ReadFile(ini.ini_path));
}

// A relative ca_file is found beside the exe wherever the server was started
// from. An exe named 表 ends its name in a byte that reads as '\\' on its own.
TEST_F(IniTest, CaFileIsTakenFromTheExeFolderUnlessAbsolute) {
    const std::string here = folder.PathOf("");
    struct Case {
        const char* iniName;
        const char* value;  // null: no ca_file key
        std::string expected;
    };
    const Case cases[] = {
        {"none.ini", nullptr, ""},
        {"empty.ini", "", ""},
        {"relative.ini", "certs\\ca.pem", here + "certs\\ca.pem"},
        {"drive.ini", "C:\\roots\\ca.pem", "C:\\roots\\ca.pem"},
        {"unc.ini", "\\\\server\\share\\ca.pem", "\\\\server\\share\\ca.pem"},
        {"slash.ini", "/etc/roots/ca.pem", "/etc/roots/ca.pem"},
        {"\x95\x5c.ini", "ca.pem", here + "ca.pem"},
    };
    for (const Case& c : cases) {
        // Written through the profile functions, which take the name in the
        // ANSI code page as the server's own calls do.
        std::string path = here + c.iniName;
        ASSERT_TRUE(WritePrivateProfileStringA("https", "tmout_ms", "2500", path.c_str()));
        if (c.value) {
            ASSERT_TRUE(WritePrivateProfileStringA("https", "ca_file", c.value, path.c_str()));
        }
        CIni read;
        snprintf(read.ini_path, sizeof(read.ini_path), "%s", path.c_str());
        ASSERT_TRUE(read.Load());
        EXPECT_EQ(c.expected, read.ca_file) << c.iniName << " " << (c.value ? c.value : "(none)");
    }
}

TEST_F(IniTest, SectionNamesInCapitalsAreNotRecognised) {
    LoadFrom("[HTTPS]\r\ndir=/caps/\r\npolling_interval=30\r\n");
    EXPECT_STREQ("/api/1/", ini.dir);
    EXPECT_EQ(5, ini.polling_interval);
}

TEST_F(IniTest, NamesMatchBySubstringInFileOrder) {
    // [https_extra] makes [https] be read; in it dir_old stands before dir.
    LoadFrom("[https_extra]\r\nx=1\r\n[https]\r\ndir_old=/old/\r\ndir=/new/\r\n[ddeserver]\r\nxacceptname2=SUB\r\n");
    EXPECT_STREQ("/old/", ini.dir);
    EXPECT_STREQ("SUB", ini.acceptname);
}

TEST_F(IniTest, PollingIntervalNeverFallsBelowFiveSeconds) {
    struct Case {
        const char* value;
        int expected;
    };
    const Case cases[] = {{"0", 5}, {"-3", 5}, {"4", 5}, {"10", 10}};
    for (const Case& c : cases) {
        ini = CIni();
        std::string text = std::string("[https]\r\npolling_interval=") + c.value + "\r\n";
        LoadFrom(text.c_str());
        EXPECT_EQ(c.expected, ini.polling_interval) << c.value;
    }
}

TEST_F(IniTest, MinusOneCountsAsMissingAndTheNextMatchingKeyIsTried) {
    LoadFrom("[common]\r\ntimeadjust_min=-1\r\ntimeadjust_min2=30\r\n");
    EXPECT_EQ(30, ini.timeadjust_min);
    ini = CIni();
    LoadFrom("[common]\r\ntimeadjust_min=-1\r\n");
    EXPECT_EQ(540, ini.timeadjust_min);
}

TEST_F(IniTest, TextValuesCanBeEmptyAndAreCutTo63Characters) {
    std::string seventy(70, 'a');
    std::string content = "[ddeserver]\r\nacceptname=" + seventy + "\r\n[https]\r\ndir=\r\n";
    LoadFrom(content.c_str());
    EXPECT_STREQ("", ini.dir);
    EXPECT_EQ(std::string(63, 'a'), ini.acceptname);
}

// A tmout_ms of 0 or less ends every read at once, so no cell would ever
// update; an empty acceptname offers no DDE service at all. Either falls
// back to its default with one log line, written once however often its
// section is read, and the file keeps what the user wrote.
TEST_F(IniTest, UnusableTimeoutOrServiceNameFallsBackToItsDefaultWithALogLine) {
    const std::string zeroTimeout = "tmout_ms=0 は使えないため既定値 5000 を使用\r\n";
    const std::string negativeTimeout = "tmout_ms=-250 は使えないため既定値 5000 を使用\r\n";
    const std::string noName = "acceptname が空のため既定値 VORN を使用\r\n";
    struct Case {
        const char* content;
        int tmout_ms;
        const char* acceptname;
        std::vector<std::string> log;
        const char* why;
    };
    const Case cases[] = {
        {"[https]\r\ntmout_ms=0\r\n", 5000, "VORN", {zeroTimeout}, "zero"},
        {"[https]\r\ntmout_ms=-250\r\n", 5000, "VORN", {negativeTimeout}, "negative"},
        {"[https]\r\ntmout_ms=1\r\n", 1, "VORN", {}, "the least usable time-out"},
        {"[https]\r\ntmout_ms=0\r\n[https_extra]\r\nx=1\r\n", 5000, "VORN", {zeroTimeout}, "[https] read twice"},
        {"[ddeserver]\r\nacceptname=\r\n", 5000, "VORN", {noName}, "empty name"},
        {"[ddeserver]\r\nacceptname=  \t \r\n", 5000, "VORN", {noName}, "blanks are no name"},
        {"[https]\r\ntmout_ms=0\r\n[ddeserver]\r\nacceptname=\r\n", 5000, "VORN", {noName, zeroTimeout}, "both"},
    };
    for (const Case& c : cases) {
        TempWorkingDirectory cwd;
        ini = CIni();
        LoadFrom(c.content);
        EXPECT_EQ(c.tmout_ms, ini.tmout_ms) << c.why;
        EXPECT_STREQ(c.acceptname, ini.acceptname) << c.why;
        EXPECT_EQ(c.log, cwd.LogMessages()) << c.why;
        EXPECT_EQ(c.content, ScratchFolder::ReadFile(ini.ini_path)) << c.why;
    }
}

}  // namespace
