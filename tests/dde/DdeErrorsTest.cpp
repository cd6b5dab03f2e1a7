#include <windows.h>
#include <ddeml.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DdeErrors.h"
#include "DdeTestClient.h"
#include "TempWorkingDirectory.h"

// Real DDEML failures, provoked through the client calls, on whichever DDEML
// the test runs against.

TEST(ReportDdeError, NoErrorWritesNothing) {
    TempWorkingDirectory directory;
    DdeTestClient client;
    ReportDdeError(client.Instance());
    EXPECT_TRUE(directory.LogMessages().empty());
}

TEST(ReportDdeError, FailedConnectWritesItsExplanationOnceAndClearsIt) {
    TempWorkingDirectory directory;
    DdeTestClient client;
    ASSERT_EQ(nullptr, client.Connect("VornNobodyServesThis", "a.h"));
    ReportDdeError(client.Instance());
    ReportDdeError(client.Instance());
    EXPECT_EQ(std::vector<std::string>{"クライアントが対話を確立しようとして失敗しました。\r\n"},
              directory.LogMessages());
}

TEST(ReportDdeError, UnknownInstanceWritesTheSixCausesOfABadParameterInOrder) {
    TempWorkingDirectory directory;
    ReportDdeError(0);
    const std::vector<std::string> expected = {
        "DDEML がパラメータを有効にできませんでした。次の理由が考えられます。\r\n",
        "トランザクションが要求するものとは異なる項目名のハンドルで初期化したデータハンドルを使ったため。\r\n",
        "トランザクションが要求するものとは異なるクリップボードデータ形式で初期化したデータハンドルを使ったため。\r\n",
        "サーバー側関数でクライアント側の対話ハンドルを使ったか、クライアント側でサーバー側の対話ハンドルを使ったため。"
        "\r\n",
        "解放されたデータハンドルまたは文字列ハンドルを使ったため。\r\n",
        "アプリケーションの複数のインスタンスが同じオブジェクトを使ったため。\r\n",
    };
    EXPECT_EQ(expected, directory.LogMessages());
}

TEST(ReportDdeError, TextsAreShiftJisBytes) {
    TempWorkingDirectory directory;
    DdeTestClient client;
    client.Connect("VornNobodyServesThis", "a.h");
    ReportDdeError(client.Instance());
    // "クライアント" in code page 932.
    const std::string katakana = "\x83\x4e\x83\x89\x83\x43\x83\x41\x83\x93\x83\x67";
    std::vector<std::string> messages = directory.LogMessages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(0u, messages[0].find(katakana));
}
