#include <windows.h>
#include <ddeml.h>

#include "DdeErrors.h"

#include "CLog.h"

namespace {

// One DDEML error code turns into one or more log entries; most codes have one
// explanation, a bad parameter has a list of likely causes.
const int kMaxTextsPerError = 6;

struct DdeErrorText {
    UINT code;
    const char* texts[kMaxTextsPerError];
};

// clang-format off
const DdeErrorText kDdeErrorTexts[] = {
    {DMLERR_ADVACKTIMEOUT, {"同期アドバイズトランザクションの要求がタイムアウトになりました。\r\n"}},
    {DMLERR_BUSY, {"トランザクションへの応答により DDE_FBUSY フラグがセットされました。\r\n"}},
    {DMLERR_DATAACKTIMEOUT, {"同期データトランザクションの要求がタイムアウトになりました。\r\n"}},
    {DMLERR_DLL_NOT_INITIALIZED, {"DdeInitialize 関数を呼び出さずに DDEML 関数を呼び出したか、DDEML 関数に渡したインスタンス識別子が無効です。\r\n"}},
    {DMLERR_DLL_USAGE, {"APPCLASS_MONITOR として初期化されたアプリケーションが DDE（Dynamic Data Exchange）トランザクションを試みたか、APPCMD_CLIENTONLY として初期化されたアプリケーションがサーバートランザクションの実行を試みました。\r\n"}},
    {DMLERR_EXECACKTIMEOUT, {"同期実行トランザクションの要求がタイムアウトになりました。\r\n"}},
    {DMLERR_INVALIDPARAMETER,
     {"DDEML がパラメータを有効にできませんでした。次の理由が考えられます。\r\n",
      "トランザクションが要求するものとは異なる項目名のハンドルで初期化したデータハンドルを使ったため。\r\n",
      "トランザクションが要求するものとは異なるクリップボードデータ形式で初期化したデータハンドルを使ったため。\r\n",
      "サーバー側関数でクライアント側の対話ハンドルを使ったか、クライアント側でサーバー側の対話ハンドルを使ったため。\r\n",
      "解放されたデータハンドルまたは文字列ハンドルを使ったため。\r\n",
      "アプリケーションの複数のインスタンスが同じオブジェクトを使ったため。\r\n"}},
    {DMLERR_LOW_MEMORY, {"DDEMLアプリケーションによってサーバー先行状態（ サーバーアプリケーションがクライアントの処理能力以上にサービスを提供している状態）になり、大量のメモリが消費されました。\r\n"}},
    {DMLERR_MEMORY_ERROR, {"メモリ割り当てに失敗しました。\r\n"}},
    {DMLERR_NOTPROCESSED, {"ランザクションに失敗しました。\r\n"}},
    {DMLERR_NO_CONV_ESTABLISHED, {"クライアントが対話を確立しようとして失敗しました。\r\n"}},
    {DMLERR_POKEACKTIMEOUT, {"同期ポークトランザクションの要求がタイムアウトになりました。\r\n"}},
    {DMLERR_POSTMSG_FAILED, {"関数の内部呼び出しに失敗しました。\r\n"}},
    {DMLERR_REENTRANCY, {"同期トランザクションがすでに進行中のアプリケーションインスタンスで別の同期トランザクションを開始しようとしたか、DdeEnableCallback 関数が DDEML コールバック関数内で呼び出されました。\r\n"}},
    {DMLERR_SERVER_DIED, {"クライアント側が終了した対話でサーバー側トランザクションが試みられたか、トランザクションが完了する前にサーバーが終了しました。\r\n"}},
    {DMLERR_SYS_ERROR, {"DDEMLで内部エラーが発生しました。\r\n"}},
    {DMLERR_UNADVACKTIMEOUT, {"アドバイズトランザクションの終了要求がタイムアウトになりました。\r\n"}},
    {DMLERR_UNFOUND_QUEUE_ID, {"DDEML 関数に渡されたトランザクション識別子が無効です。アプリケーションが XTYP_XACT_COMPLETE コールバックから戻ると、そのコールバック関数のトランザクション識別子は無効になります。\r\n"}},
};
// clang-format on

}  // namespace

void ReportDdeError(DWORD instanceId) {
    UINT code = DdeGetLastError(instanceId);
    for (const DdeErrorText& row : kDdeErrorTexts) {
        if (row.code != code) continue;
        for (const char* text : row.texts) {
            if (text) CLog::Write("%s", text);
        }
        return;
    }
}
