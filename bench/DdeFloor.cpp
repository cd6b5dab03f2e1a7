// ddefloor: the least a DDE relay of the exchange's data can do, to measure
// the server against. One thread per topic reads the exchange (the stream's
// WebSocket frames, or a REST document every interval over one kept-alive
// connection) and posts each document to the window; the window keeps it as
// the topic's latest and calls DdePostAdvise for every linked item; the
// advise request finds the item's value by a plain text search. No item
// table, no value conversion, no logging, no reconnection, no certificate
// check, and at exit no goodbye to the exchange.
//
//   ddefloor [--service NAME] [--rest-host H] [--stream-host H] [--interval S]
//
// Serves topics ending in .r (stream of the pair before it) and .h
// (REST FUNCTION.PAIR.h). Its hidden window has the service name as class,
// and takes the server's menu command "exit", so vornctl drives it as well.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <ddeml.h>

#include <openssl/ssl.h>
#include <process.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const UINT kExitCommand = 40005;
const UINT kDocumentMessage = WM_APP + 1;

struct Settings {
    std::string service = "VORN";
    std::string restHost = "localhost";
    std::string streamHost = "localhost";
    int intervalSeconds = 5;
};

struct Topic {
    std::string name;  // lower case
    HSZ handle = nullptr;
    std::vector<HSZ> items;
    std::string document;
    SOCKET socket = INVALID_SOCKET;
};

Settings g_settings;
DWORD g_instance = 0;
HWND g_window = nullptr;
SSL_CTX* g_tls = nullptr;
// At most 33 topics (32 and the server's status topic); never shrinks, so
// workers may hold an index.
Topic g_topics[64];
LONG g_topicCount = 0;

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

bool EndsWith(const std::string& text, const char* tail) {
    const size_t size = strlen(tail);
    return text.size() >= size && text.compare(text.size() - size, size, tail) == 0;
}

std::string HandleText(HSZ handle) {
    char text[256] = {};
    DdeQueryStringA(g_instance, handle, text, sizeof text, CP_WINANSI);
    return text;
}

SSL* Connect(const std::string& host, const char* port, SOCKET* socketOut) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port, &hints, &found) != 0) return nullptr;
    SOCKET s = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    const bool connected = s != INVALID_SOCKET && connect(s, found->ai_addr, (int)found->ai_addrlen) == 0;
    freeaddrinfo(found);
    if (!connected) return nullptr;
    *socketOut = s;
    SSL* ssl = SSL_new(g_tls);
    SSL_set_fd(ssl, (int)s);
    SSL_set_tlsext_host_name(ssl, host.c_str());
    if (SSL_connect(ssl) != 1) return nullptr;
    return ssl;
}

bool WriteAll(SSL* ssl, const std::string& text) {
    return SSL_write(ssl, text.data(), (int)text.size()) == (int)text.size();
}

// Appends what arrives to `buffer`; false when the connection ended.
bool ReadMore(SSL* ssl, std::string& buffer) {
    char chunk[16384];
    const int got = SSL_read(ssl, chunk, sizeof chunk);
    if (got <= 0) return false;
    buffer.append(chunk, got);
    return true;
}

bool ReadHead(SSL* ssl, std::string& buffer, std::string& headOut) {
    size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
        if (!ReadMore(ssl, buffer)) return false;
    headOut = buffer.substr(0, end + 4);
    buffer.erase(0, end + 4);
    return true;
}

void Post(long topic, std::string document) {
    PostMessageA(g_window, kDocumentMessage, (WPARAM)topic, (LPARAM) new std::string(std::move(document)));
}

void Stream(long topic, const std::string& pair) {
    SSL* ssl = Connect(g_settings.streamHost, "8888", &g_topics[topic].socket);
    if (!ssl) return;
    if (!WriteAll(ssl, "GET /stream?currency_pair=" + pair + " HTTP/1.1\r\nHost: " + g_settings.streamHost +
                           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
                           "ZGRlZmxvb3ItYmVuY2gtMDE=\r\nSec-WebSocket-Version: 13\r\n\r\n"))
        return;
    std::string buffer, head;
    if (!ReadHead(ssl, buffer, head)) return;
    for (;;) {
        // The exchange's frames are unmasked; only text frames carry data.
        while (buffer.size() < 2)
            if (!ReadMore(ssl, buffer)) return;
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
        size_t headSize = 2;
        unsigned long long length = bytes[1] & 0x7f;
        if (length == 126) headSize = 4;
        if (length == 127) headSize = 10;
        while (buffer.size() < headSize)
            if (!ReadMore(ssl, buffer)) return;
        bytes = reinterpret_cast<const unsigned char*>(buffer.data());
        if (headSize > 2) {
            length = 0;
            for (size_t i = 2; i < headSize; i++)
                length = (length << 8) | bytes[i];
        }
        const int opcode = bytes[0] & 0x0f;
        while (buffer.size() < headSize + length)
            if (!ReadMore(ssl, buffer)) return;
        if (opcode == 1) Post(topic, buffer.substr(headSize, (size_t)length));
        buffer.erase(0, headSize + (size_t)length);
    }
}

void Poll(long topic, const std::string& function, const std::string& pair) {
    SSL* ssl = Connect(g_settings.restHost, "443", &g_topics[topic].socket);
    if (!ssl) return;
    const std::string request = "GET /api/1/" + function + "/" + pair + " HTTP/1.1\r\nHost: " + g_settings.restHost +
                                "\r\nConnection: keep-alive\r\n\r\n";
    std::string buffer, head;
    for (;;) {
        if (!WriteAll(ssl, request) || !ReadHead(ssl, buffer, head)) return;
        const size_t at = Lower(head).find("content-length:");
        const size_t length = at == std::string::npos ? 0 : strtoul(head.c_str() + at + 15, nullptr, 10);
        while (buffer.size() < length)
            if (!ReadMore(ssl, buffer)) return;
        Post(topic, buffer.substr(0, length));
        buffer.erase(0, length);
        Sleep(g_settings.intervalSeconds * 1000);
    }
}

unsigned __stdcall Worker(void* argument) {
    const long topic = (long)(INT_PTR)argument;
    const std::string name = g_topics[topic].name;
    const size_t dot = name.find('.');
    if (EndsWith(name, ".r")) {
        Stream(topic, name.substr(0, name.size() - 2));
    } else {
        const size_t second = name.find('.', dot + 1);
        Poll(topic, name.substr(0, dot), name.substr(dot + 1, second - dot - 1));
    }
    return 0;
}

// The value of the item's last segment: the text after the first `"key":`,
// up to the next comma or brace, without quotes.
std::string FindValue(const std::string& document, const std::string& item) {
    const size_t dot = item.rfind('.');
    const std::string key = "\"" + (dot == std::string::npos ? item : item.substr(dot + 1)) + "\":";
    size_t at = document.find(key);
    if (at == std::string::npos) return "-";
    at += key.size();
    size_t end = document.find_first_of(",}", at);
    std::string value = document.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
    return value;
}

long FindTopic(HSZ handle) {
    for (long i = 0; i < g_topicCount; i++)
        if (DdeCmpStringHandles(g_topics[i].handle, handle) == 0) return i;
    return -1;
}

HDDEDATA Answer(HSZ topic, HSZ item) {
    const long index = FindTopic(topic);
    if (index < 0) return nullptr;
    const std::string value = FindValue(g_topics[index].document, Lower(HandleText(item)));
    return DdeCreateDataHandle(g_instance, (LPBYTE)value.c_str(), (DWORD)value.size() + 1, 0, item, CF_TEXT, 0);
}

HDDEDATA StartAdvise(HSZ topic, HSZ item) {
    long index = FindTopic(topic);
    if (index < 0) {
        const std::string name = Lower(HandleText(topic));
        if (!EndsWith(name, ".r") && !EndsWith(name, ".h")) return (HDDEDATA)FALSE;
        if (g_topicCount == (LONG)(sizeof g_topics / sizeof g_topics[0])) return (HDDEDATA)FALSE;
        index = g_topicCount;
        g_topics[index].name = name;
        g_topics[index].handle = topic;
        DdeKeepStringHandle(g_instance, topic);
        g_topicCount++;
        CloseHandle((HANDLE)_beginthreadex(nullptr, 0, Worker, (void*)(INT_PTR)index, 0, nullptr));
    }
    DdeKeepStringHandle(g_instance, item);
    g_topics[index].items.push_back(item);
    return (HDDEDATA)TRUE;
}

HDDEDATA CALLBACK Callback(UINT type, UINT format, HCONV, HSZ topic, HSZ item, HDDEDATA, ULONG_PTR, ULONG_PTR) {
    switch (type) {
        case XTYP_CONNECT: {
            const std::string name = Lower(HandleText(topic));
            return (HDDEDATA)(INT_PTR)(EndsWith(name, ".r") || EndsWith(name, ".h"));
        }
        case XTYP_ADVSTART:
            return format == CF_TEXT ? StartAdvise(topic, item) : (HDDEDATA)FALSE;
        case XTYP_ADVREQ:
        case XTYP_REQUEST:
            return Answer(topic, item);
    }
    return nullptr;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kDocumentMessage) {
        std::string* document = reinterpret_cast<std::string*>(lParam);
        Topic& topic = g_topics[wParam];
        topic.document.swap(*document);
        delete document;
        for (HSZ item : topic.items)
            DdePostAdvise(g_instance, topic.handle, item);
        return 0;
    }
    if (message == WM_COMMAND && LOWORD(wParam) == kExitCommand) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool ParseArguments(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--service")
            g_settings.service = argv[i + 1];
        else if (name == "--rest-host")
            g_settings.restHost = argv[i + 1];
        else if (name == "--stream-host")
            g_settings.streamHost = argv[i + 1];
        else if (name == "--interval")
            g_settings.intervalSeconds = atoi(argv[i + 1]);
        else
            return false;
    }
    return argc % 2 == 1 && g_settings.intervalSeconds > 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!ParseArguments(argc, argv)) {
        fprintf(stderr, "usage: ddefloor [--service NAME] [--rest-host H] [--stream-host H] [--interval S]\n");
        return 2;
    }
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    g_tls = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(g_tls, SSL_VERIFY_NONE, nullptr);

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = g_settings.service.c_str();
    RegisterClassA(&windowClass);
    g_window = CreateWindowExA(0, windowClass.lpszClassName, "ddefloor", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                               windowClass.hInstance, nullptr);
    if (!g_window) {
        fprintf(stderr, "ddefloor: no window (error %lu)\n", GetLastError());
        return 1;
    }
    const UINT error = DdeInitializeA(&g_instance, Callback, APPCLASS_STANDARD | CBF_SKIP_REGISTRATIONS, 0);
    if (error != DMLERR_NO_ERROR) {
        fprintf(stderr, "ddefloor: no DDEML (error 0x%04X)\n", error);
        return 1;
    }
    HSZ service = DdeCreateStringHandleA(g_instance, g_settings.service.c_str(), CP_WINANSI);
    DdeNameService(g_instance, service, nullptr, DNS_REGISTER);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    DdeUninitialize(g_instance);
    // Workers blocked in a read end with the process.
    ExitProcess(0);
}
