#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "ScratchFolder.h"

// These expectations were taken from Windows' profile functions as Wine
// implements them; the same suite runs against our stand-in natively, so the
// INI file a user sees is the same whichever build wrote it.
namespace {

// A returned name list with its closing NULs, as one comparable string.
std::string ListOf(const char* buffer, DWORD length) {
    return std::string(buffer, length + 1);
}

class ProfileTest : public ::testing::Test {
protected:
    void Write(const char* section, const char* key, const char* value) {
        ASSERT_TRUE(WritePrivateProfileStringA(section, key, value, file.c_str()));
    }

    std::string Content() const { return ScratchFolder::ReadFile(file); }

    // The five keys a new configuration file gets, in the order it gets them.
    void WriteDefaults() {
        Write("common", "timeadjust_min", "540");
        Write("ddeserver", "acceptname", "VORN");
        Write("https", "dir", "/api/1/");
        Write("https", "polling_interval", "5");
        Write("https", "tmout_ms", "5000");
    }

    ScratchFolder folder;
    std::string file = folder.PathOf("test.ini");
    char buffer[4096];
};

const char kDefaultsFile[] =
    "[common]\r\ntimeadjust_min=540\r\n"
    "[ddeserver]\r\nacceptname=VORN\r\n"
    "[https]\r\ndir=/api/1/\r\npolling_interval=5\r\ntmout_ms=5000\r\n";

TEST_F(ProfileTest, NewFileHoldsSectionsAndKeysInWriteOrderWithCrlf) {
    WriteDefaults();
    EXPECT_EQ(kDefaultsFile, Content());
}

TEST_F(ProfileTest, NamesMatchWithoutCaseAndNewKeysGoToTheEndOfTheirSection) {
    WriteDefaults();
    Write("COMMON", "extra", "x");
    Write("ddeserver", "ACCEPTNAME", "  spaced value  ");
    Write("new", "k", "v");
    EXPECT_EQ(
        "[common]\r\ntimeadjust_min=540\r\nextra=x\r\n"
        "[ddeserver]\r\nacceptname=spaced value\r\n"
        "[https]\r\ndir=/api/1/\r\npolling_interval=5\r\ntmout_ms=5000\r\n"
        "[new]\r\nk=v\r\n",
        Content());
}

TEST_F(ProfileTest, NullValueDeletesKeyAndNullKeyDeletesSection) {
    WriteDefaults();
    Write("https", "polling_interval", nullptr);
    Write("ddeserver", nullptr, nullptr);
    EXPECT_EQ("[common]\r\ntimeadjust_min=540\r\n[https]\r\ndir=/api/1/\r\ntmout_ms=5000\r\n", Content());
}

// Windows ends a cut list with two NULs; Wine writes only the first, so a
// reader must not count on the second.
TEST_F(ProfileTest, NameListsEndWithAnEmptyNameAndAreCutToTheBuffer) {
    WriteDefaults();
    DWORD length = GetPrivateProfileSectionNamesA(buffer, sizeof(buffer), file.c_str());
    EXPECT_EQ(std::string("common\0ddeserver\0https\0\0", 24), ListOf(buffer, length));

    length = GetPrivateProfileStringA("https", nullptr, "", buffer, sizeof(buffer), file.c_str());
    EXPECT_EQ(std::string("dir\0polling_interval\0tmout_ms\0\0", 31), ListOf(buffer, length));

    length = GetPrivateProfileSectionNamesA(buffer, 10, file.c_str());
    EXPECT_EQ(8u, length);
    EXPECT_EQ(std::string("common\0d\0", 9), std::string(buffer, 9));

    length = GetPrivateProfileStringA("https", nullptr, "", buffer, 12, file.c_str());
    EXPECT_EQ(10u, length);
    EXPECT_EQ(std::string("dir\0pollin\0", 11), std::string(buffer, 11));
}

TEST_F(ProfileTest, ValuesAreCutToTheBufferAndDefaultsLoseTrailingBlanks) {
    WriteDefaults();
    EXPECT_EQ(3u, GetPrivateProfileStringA("https", "dir", "", buffer, 4, file.c_str()));
    EXPECT_STREQ("/ap", buffer);
    EXPECT_EQ(7u, GetPrivateProfileStringA("HTTPS", "DIR", "", buffer, 64, file.c_str()));
    EXPECT_STREQ("/api/1/", buffer);
    EXPECT_EQ(3u, GetPrivateProfileStringA("https", "nokey", "def  ", buffer, 64, file.c_str()));
    EXPECT_STREQ("def", buffer);
    EXPECT_EQ(4u, GetPrivateProfileStringA("nosection", nullptr, "dflt", buffer, 64, file.c_str()));
    EXPECT_STREQ("dflt", buffer);
}

TEST_F(ProfileTest, MissingFileGivesDefaultsAndEmptyLists) {
    std::string missing = folder.PathOf("missing.ini");
    EXPECT_EQ(4u, GetPrivateProfileStringA("https", "dir", "fall ", buffer, 64, missing.c_str()));
    EXPECT_STREQ("fall", buffer);
    EXPECT_EQ(0u, GetPrivateProfileSectionNamesA(buffer, sizeof(buffer), missing.c_str()));
    EXPECT_EQ('\0', buffer[0]);
    EXPECT_EQ(-1, (int)GetPrivateProfileIntA("https", "tmout_ms", -1, missing.c_str()));
}

TEST_F(ProfileTest, IntegersReadALeadingSignedDecimalNumber) {
    struct Case {
        const char* value;
        int expected;
    };
    // clang-format off
    static const Case kCases[] = {
        {"-3",         -3},
        {"12abc",      12},
        {"abc",         0},
        {"",           -1},  // empty reads as missing: the default
        {"+7",          7},
        {"\"42\"",     42},  // quotes are taken off before the number is read
        {"4294967295", -1},  // wraps at 32 bits
    };
    // clang-format on
    for (const Case& c : kCases) {
        Write("ints", "key", c.value);
        EXPECT_EQ(c.expected, (int)GetPrivateProfileIntA("ints", "key", -1, file.c_str())) << c.value;
    }
    EXPECT_EQ(-1, (int)GetPrivateProfileIntA("ints", "absent", -1, file.c_str()));
}

TEST_F(ProfileTest, HandWrittenFilesKeepCommentsAndLoseBlankLinesOnWrite) {
    ScratchFolder::WriteFile(file, "; settings\n[https]\n\n  dir = /x/ \n;old=1\nflag\n\n[common]\ntimeadjust_min=0\n");
    EXPECT_EQ(3u, GetPrivateProfileStringA("https", "dir", "", buffer, 64, file.c_str()));
    EXPECT_STREQ("/x/", buffer);
    DWORD length = GetPrivateProfileStringA("https", nullptr, "", buffer, sizeof(buffer), file.c_str());
    // A line without "=" is kept in the file but is no key.
    EXPECT_EQ(std::string("dir\0\0", 5), ListOf(buffer, length));

    Write("https", "tmout_ms", "1");
    EXPECT_EQ("; settings\r\n[https]\r\ndir=/x/\r\n;old=1\r\nflag\r\ntmout_ms=1\r\n[common]\r\ntimeadjust_min=0\r\n",
              Content());
}

}  // namespace
