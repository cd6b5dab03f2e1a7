// The DDE Management Library, in-process: instances, string handles,
// conversations, advise loops and data handles with DDEML's own constants.
// Server and client instances of one process talk to each other directly;
// transactions are answered before the calling function returns.
#pragma once

#include "win_types.h"

VORN_DECLARE_HANDLE(HCONV);
VORN_DECLARE_HANDLE(HCONVLIST);
VORN_DECLARE_HANDLE(HSZ);
VORN_DECLARE_HANDLE(HDDEDATA);

#define CF_TEXT 1
#define CF_UNICODETEXT 13

#define CP_WINANSI 1004
#define CP_WINUNICODE 1200

#define XTYPF_NOBLOCK 0x0002
#define XTYPF_NODATA 0x0004
#define XTYPF_ACKREQ 0x0008

#define XCLASS_MASK 0xFC00
#define XCLASS_BOOL 0x1000
#define XCLASS_DATA 0x2000
#define XCLASS_FLAGS 0x4000
#define XCLASS_NOTIFICATION 0x8000

#define XTYP_ERROR (0x0000 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_ADVDATA (0x0010 | XCLASS_FLAGS)
#define XTYP_ADVREQ (0x0020 | XCLASS_DATA | XTYPF_NOBLOCK)
#define XTYP_ADVSTART (0x0030 | XCLASS_BOOL)
#define XTYP_ADVSTOP (0x0040 | XCLASS_NOTIFICATION)
#define XTYP_EXECUTE (0x0050 | XCLASS_FLAGS)
#define XTYP_CONNECT (0x0060 | XCLASS_BOOL | XTYPF_NOBLOCK)
#define XTYP_CONNECT_CONFIRM (0x0070 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_XACT_COMPLETE (0x0080 | XCLASS_NOTIFICATION)
#define XTYP_POKE (0x0090 | XCLASS_FLAGS)
#define XTYP_REGISTER (0x00A0 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_REQUEST (0x00B0 | XCLASS_DATA)
#define XTYP_DISCONNECT (0x00C0 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_UNREGISTER (0x00D0 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_WILDCONNECT (0x00E0 | XCLASS_DATA | XTYPF_NOBLOCK)
#define XTYP_MONITOR (0x00F0 | XCLASS_NOTIFICATION | XTYPF_NOBLOCK)
#define XTYP_MASK 0x00F0

#define DDE_FACK 0x8000
#define DDE_FBUSY 0x4000
#define DDE_FNOTPROCESSED 0x0000

#define TIMEOUT_ASYNC 0xFFFFFFFF

#define APPCLASS_STANDARD 0x00000000L
#define APPCLASS_MONITOR 0x00000001L
#define APPCMD_CLIENTONLY 0x00000010L
#define APPCMD_FILTERINITS 0x00000020L
#define CBF_FAIL_SELFCONNECTIONS 0x00001000
#define CBF_SKIP_DISCONNECTS 0x00200000

#define DNS_REGISTER 0x0001
#define DNS_UNREGISTER 0x0002
#define DNS_FILTERON 0x0004
#define DNS_FILTEROFF 0x0008

#define HDATA_APPOWNED 0x0001

#define DMLERR_NO_ERROR 0
#define DMLERR_FIRST 0x4000
#define DMLERR_ADVACKTIMEOUT 0x4000
#define DMLERR_BUSY 0x4001
#define DMLERR_DATAACKTIMEOUT 0x4002
#define DMLERR_DLL_NOT_INITIALIZED 0x4003
#define DMLERR_DLL_USAGE 0x4004
#define DMLERR_EXECACKTIMEOUT 0x4005
#define DMLERR_INVALIDPARAMETER 0x4006
#define DMLERR_LOW_MEMORY 0x4007
#define DMLERR_MEMORY_ERROR 0x4008
#define DMLERR_NOTPROCESSED 0x4009
#define DMLERR_NO_CONV_ESTABLISHED 0x400a
#define DMLERR_POKEACKTIMEOUT 0x400b
#define DMLERR_POSTMSG_FAILED 0x400c
#define DMLERR_REENTRANCY 0x400d
#define DMLERR_SERVER_DIED 0x400e
#define DMLERR_SYS_ERROR 0x400f
#define DMLERR_UNADVACKTIMEOUT 0x4010
#define DMLERR_UNFOUND_QUEUE_ID 0x4011
#define DMLERR_LAST 0x4011

struct CONVCONTEXT {
    UINT cb;
    UINT wFlags;
    UINT wCountryID;
    int iCodePage;
    DWORD dwLangID;
    DWORD dwSecurity;
};
typedef CONVCONTEXT* PCONVCONTEXT;

typedef HDDEDATA(CALLBACK* PFNCALLBACK)(UINT type,
                                        UINT format,
                                        HCONV conv,
                                        HSZ hsz1,
                                        HSZ hsz2,
                                        HDDEDATA data,
                                        ULONG_PTR data1,
                                        ULONG_PTR data2);

UINT DdeInitializeA(LPDWORD instanceId, PFNCALLBACK callback, DWORD afCmd, DWORD reserved);
BOOL DdeUninitialize(DWORD instanceId);
UINT DdeGetLastError(DWORD instanceId);
HDDEDATA DdeNameService(DWORD instanceId, HSZ service, HSZ reserved, UINT afCmd);

// String handles are shared by all instances, like the atoms behind them:
// texts that differ only in ASCII letter case share one handle, which lives
// while any instance holds it. A text made again after its last release gets
// a new handle, so a handle kept past its release stays unknown.
HSZ DdeCreateStringHandleA(DWORD instanceId, LPCSTR text, int codePage);
DWORD DdeQueryStringA(DWORD instanceId, HSZ hsz, LPSTR text, DWORD size, int codePage);
BOOL DdeKeepStringHandle(DWORD instanceId, HSZ hsz);
BOOL DdeFreeStringHandle(DWORD instanceId, HSZ hsz);
int DdeCmpStringHandles(HSZ hsz1, HSZ hsz2);

HCONV DdeConnect(DWORD instanceId, HSZ service, HSZ topic, PCONVCONTEXT context);
BOOL DdeDisconnect(HCONV conv);
// Synchronous transactions only; XTYP_ADVDATA reaches the client's callback
// from within the server's DdePostAdvise.
HDDEDATA DdeClientTransaction(LPBYTE data,
                              DWORD size,
                              HCONV conv,
                              HSZ item,
                              UINT format,
                              UINT type,
                              DWORD timeout,
                              LPDWORD result);
BOOL DdePostAdvise(DWORD instanceId, HSZ topic, HSZ item);

HDDEDATA
DdeCreateDataHandle(DWORD instanceId, LPBYTE source, DWORD size, DWORD offset, HSZ item, UINT format, UINT afCmd);
DWORD DdeGetData(HDDEDATA data, LPBYTE destination, DWORD size, DWORD offset);
LPBYTE DdeAccessData(HDDEDATA data, LPDWORD size);
BOOL DdeUnaccessData(HDDEDATA data);
BOOL DdeFreeDataHandle(HDDEDATA data);

// Test seam: the next call of the named DDEML function (e.g. "DdePostAdvise")
// fails and leaves `error` as the instance's last error.
void VornDdeFailNextCall(const char* function, UINT error);
