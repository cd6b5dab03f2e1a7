#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "CLog.h"
#include "ScratchFolder.h"
#include "TempWorkingDirectory.h"

#ifdef _WIN32
#include <share.h>
#else
#include <sys/file.h>
#endif

namespace {

TEST(LogTest, FirstEntryMakesTheDayFolderAndFileAndLaterOnesAppend) {
    TempWorkingDirectory cwd;
    EXPECT_TRUE(CLog::Write("first\r\n"));
    EXPECT_TRUE(CLog::Write("%sスレッド生成\r\n", "ticker.btc_jpy.h"));
    EXPECT_TRUE(CLog::Write("no line end"));
    EXPECT_TRUE(CLog::Write("runs on\r\n"));
    std::vector<std::string> messages = cwd.LogMessages();
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ("first\r\n", messages[0]);
    EXPECT_EQ("ticker.btc_jpy.hスレッド生成\r\n", messages[1]);
    // The writer adds no line end of its own.
    EXPECT_EQ(0u, messages[2].find("no line end"));
    EXPECT_NE(std::string::npos, messages[2].find(",runs on\r\n"));
}

TEST(LogTest, EntryStartsWithTheLocalTimeAndAComma) {
    TempWorkingDirectory cwd;
    CLog::Write("x\r\n");
    std::string text = ScratchFolder::ReadFile(cwd.LogPath());
    ASSERT_EQ(27u, text.size());
    int year, month, day, hour, minute, second, millis;
    char comma = 0;
    ASSERT_EQ(8, sscanf(text.c_str(), "%4d/%2d/%2d %2d:%2d:%2d.%3d%c", &year, &month, &day, &hour, &minute, &second,
                        &millis, &comma));
    EXPECT_EQ(',', comma);
    EXPECT_EQ('/', text[4]);
    EXPECT_EQ(' ', text[10]);
    EXPECT_EQ('.', text[19]);
}

// Log texts are compiled to the Japanese ANSI code page; the file must hold
// Shift_JIS bytes, not the UTF-8 of the source.
TEST(LogTest, JapaneseTextsReachTheFileAsShiftJisBytes) {
    TempWorkingDirectory cwd;
    CLog::Write("起動\r\n");
    std::string text = ScratchFolder::ReadFile(cwd.LogPath());
    ASSERT_GE(text.size(), 6u);
    EXPECT_EQ(std::string("\x8B\x4E\x93\xAE\x0D\x0A"), text.substr(text.size() - 6));
}

// Entries of our own threads queue for the file instead of dropping each
// other; every one of them arrives whole.
TEST(LogTest, EntriesWrittenAtOnceByTwoThreadsAreAllKept) {
    TempWorkingDirectory cwd;
    const int kPerThread = 200;
    auto writer = [](char tag) {
        for (int i = 0; i < kPerThread; ++i)
            CLog::Write("%c%d\r\n", tag, i);
    };
    std::thread first(writer, 'a');
    std::thread second(writer, 'b');
    first.join();
    second.join();
    std::vector<std::string> messages = cwd.LogMessages();
    ASSERT_EQ(2u * kPerThread, messages.size());
    int nextA = 0, nextB = 0;
    for (const std::string& message : messages) {
        int& next = message[0] == 'a' ? nextA : nextB;
        EXPECT_EQ(message.substr(1), std::to_string(next++) + "\r\n");
    }
}

// Another program holding the file loses our entries, and only those.
TEST(LogTest, EntryIsDroppedWhileAnotherHolderHasTheFileOpen) {
    TempWorkingDirectory cwd;
    ASSERT_TRUE(CLog::Write("before\r\n"));
#ifdef _WIN32
    FILE* holder = _fsopen(cwd.LogPath().c_str(), "rb", _SH_DENYRW);
    ASSERT_NE(nullptr, holder);
#else
    FILE* holder = fopen(cwd.LogPath().c_str(), "rb");
    ASSERT_NE(nullptr, holder);
    ASSERT_EQ(0, flock(fileno(holder), LOCK_EX));
#endif
    EXPECT_FALSE(CLog::Write("lost\r\n"));
    fclose(holder);
    EXPECT_TRUE(CLog::Write("after\r\n"));
    std::vector<std::string> expected = {"before\r\n", "after\r\n"};
    EXPECT_EQ(expected, cwd.LogMessages());
}

// A run that goes past midnight writes to two day folders; the reader finds
// both, whatever the date is when it reads.
TEST(LogTest, ReaderFindsTheDaysTheWriterUsedNotToday) {
    TempWorkingDirectory cwd;
    for (const char* day : {"20240102", "20231231"}) {
        std::string folder = std::string("log/") + day;
        std::filesystem::create_directories(folder);
        ScratchFolder::WriteFile(folder + "/vornlog.log", std::string("2024/01/02 00:00:00.001,") + day + "\r\n");
    }
    EXPECT_EQ((std::vector<std::string>{"20231231\r\n", "20240102\r\n"}), cwd.LogMessages());
    EXPECT_EQ("20240102\r\n", ScratchFolder::ReadFile(cwd.LogPath()).substr(24));
}

}  // namespace
