#include <windows.h>
// Before OpenSSL's headers, which undo the names of it that clash with theirs.
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <memory>

#include "CHttpsThread.h"
#include "SystemRoots.h"
#include "TempWorkingDirectory.h"
#include "TestCertificates.h"
#include "TlsTestServer.h"
#include "TrustingContext.h"

// Windows' own trust, under Wine's crypt32. A binary of its own: Wine's chain
// engine reads the certificate stores once, when a process first builds a
// chain, and the root these tests add must come before that.

namespace {

void Hold(TlsTestServer::Connection& connection) {
    connection.HoldUntilClosed();
}

}  // namespace

TEST(SystemTrust, TheWindowsRootStoreIsCopied) {
    X509_STORE* store = X509_STORE_new();
    EXPECT_GT(add_system_root_certificates(store), 0);
    X509_STORE_free(store);
}

// A root put in the current user's Windows root store for as long as the
// object lives.
class WindowsRootEntry {
public:
    explicit WindowsRootEntry(const TestCertificate& root) : store(CertOpenSystemStoreA(0, "ROOT")), entry(nullptr) {
        unsigned char* der = nullptr;
        int length = i2d_X509(root.certificate.get(), &der);
        if (store && length > 0)
            CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, (DWORD)length, CERT_STORE_ADD_NEW, &entry);
        OPENSSL_free(der);
        // Written out now, for the chain engine's own view of the store.
        if (entry) CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
    }
    ~WindowsRootEntry() {
        if (entry) CertDeleteCertificateFromStore(entry);
        if (store) CertCloseStore(store, 0);
    }
    WindowsRootEntry(const WindowsRootEntry&) = delete;
    WindowsRootEntry& operator=(const WindowsRootEntry&) = delete;
    bool Added() const { return entry != nullptr; }

private:
    HCERTSTORE store;
    PCCERT_CONTEXT entry;
};

// Windows can hold a root that the context's copy of the store lacks: it
// fetches the roots of public authorities when a chain first needs them.
// Such a chain is asked of Windows, which checks the host name too.
TEST(SystemTrust, AChainOnlyWindowsCanCompleteIsTrustedForItsHostAlone) {
    TempWorkingDirectory directory;
    TestCertificateAuthority late("Late Root CA");
    std::unique_ptr<CTlsContext> context = TrustingContext("");
    WindowsRootEntry entry(late.Root());
    ASSERT_TRUE(entry.Added());
    struct Case {
        const char* certifiedName;
        int result;
    };
    const Case cases[] = {{"localhost", 0}, {"exchange.example", -1}};
    for (const Case& c : cases) {
        TlsTestServer server(late.IssueServer({c.certifiedName}), Hold);
        CHttpsThread worker;
        worker.SetTrust(context.get());
        // Wine's stores learn of the new root through the registry, which a
        // loaded machine may take a moment over: the trusted case is given a
        // few tries, and the refused one is asked only after it succeeded.
        int result = -1;
        for (int attempt = 0; attempt < (c.result == 0 ? 20 : 1) && result != 0; ++attempt) {
            if (attempt > 0) Sleep(250);
            result = worker.Connect("localhost", server.Port());
        }
        EXPECT_EQ(c.result, result) << c.certifiedName;
        worker.Disconnect();
    }
}
