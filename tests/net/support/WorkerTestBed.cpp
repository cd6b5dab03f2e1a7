#include <windows.h>

#include "WorkerTestBed.h"

#include <cstdlib>
#include <filesystem>
#include <random>

#include "CThread.h"
#include "SetEnvironment.h"

namespace fs = std::filesystem;

namespace {

// The root lives as long as the process; its files go to a fresh folder.
TestCertificateAuthority* g_authority = nullptr;

}  // namespace

void WorkerTestBed::TrustTestRoot() {
    if (g_authority) return;
    g_authority = new TestCertificateAuthority();
    std::random_device random;
    fs::path folder = fs::temp_directory_path() / ("vorn-workers-" + std::to_string(random()));
    fs::create_directories(folder / "certs");
    std::string rootFile = (folder / "root.pem").string();
    g_authority->Root().Save(rootFile, (folder / "root.key").string());
    SetEnvironmentVariableForTest("SSL_CERT_FILE", rootFile);
    SetEnvironmentVariableForTest("SSL_CERT_DIR", (folder / "certs").string());
}

std::unique_ptr<TlsTestServer> WorkerTestBed::Serve(TlsTestServer::Handler handler, TlsTestServer::Options options) {
    TrustTestRoot();
    return std::make_unique<TlsTestServer>(g_authority->IssueServer({"localhost"}), std::move(handler), options);
}

void WorkerTestBed::Start(CThread& worker, const std::string& topic, const std::vector<std::string>& items) {
    for (const std::string& item : items)
        worker.AddItem(item);
    worker.Start(window.Handle(), reinterpret_cast<const char*>(&settings), &timeAdjustMin, topic);
}

int WorkerTestBed::StopAndWait(CThread& worker, DWORD limitMs) {
    DWORD start = GetTickCount();
    worker.Stop();
    if (worker.thread == CThread::kNoThread) return 0;
    while (worker.alive) {
        if (Since(start) > limitMs) return -1;
        Sleep(10);
    }
    return (int)Since(start);
}

std::vector<std::string> WorkerTestBed::ValuesOf(const std::vector<ItemValueWindow::Value>& values) {
    std::vector<std::string> texts;
    for (const ItemValueWindow::Value& value : values)
        texts.push_back(value.value);
    return texts;
}

std::string ReadRequest(TlsTestServer::Connection& connection, int timeoutMs) {
    std::string request;
    DWORD start = GetTickCount();
    while (request.find("\r\n\r\n") == std::string::npos) {
        int left = timeoutMs - (int)Since(start);
        if (left <= 0) return "";
        std::string byte = connection.Read(1, left);
        if (byte.empty()) return "";
        request += byte;
    }
    return request;
}

std::string HttpResponse(const std::string& body, const std::string& headers) {
    return "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n" + headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string ServerFrame(int finAndOpcode, const std::string& payload, int lengthBytes) {
    std::string frame(1, (char)finAndOpcode);
    size_t length = payload.size();
    if (lengthBytes == 0) lengthBytes = length < 126 ? 0 : length < 65536 ? 2 : 8;
    frame += (char)(lengthBytes == 0 ? length : lengthBytes == 2 ? 126 : 127);
    for (int i = lengthBytes - 1; i >= 0; --i)
        frame += (char)((length >> (8 * i)) & 0xFF);
    return frame + payload;
}

bool ReadClientFrame(TlsTestServer::Connection& connection, int* opcode, std::string* payload, int timeoutMs) {
    std::string header = connection.Read(2, timeoutMs);
    if (header.size() != 2 || !(header[1] & 0x80)) return false;
    *opcode = header[0] & 0x0F;
    size_t length = header[1] & 0x7F;
    if (length > 125) return false;  // our client sends control frames only
    std::string key = connection.Read(4, timeoutMs);
    std::string masked = connection.Read(length, timeoutMs);
    if (key.size() != 4 || masked.size() != length) return false;
    payload->clear();
    for (size_t i = 0; i < length; ++i)
        *payload += (char)(masked[i] ^ key[i % 4]);
    return true;
}

DWORD Since(DWORD start) {
    return GetTickCount() - start;
}
