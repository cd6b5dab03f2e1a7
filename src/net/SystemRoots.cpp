#ifdef _WIN32
// wincrypt.h first: OpenSSL's headers undo the names it defines that clash
// with theirs (X509_NAME and others).
#include <windows.h>
#include <wincrypt.h>
#endif

#include "SystemRoots.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#ifdef _WIN32

#include <string>
#include <vector>

namespace {

struct StoreCloser {
    HCERTSTORE store;
    ~StoreCloser() {
        if (store) CertCloseStore(store, 0);
    }
};

std::vector<BYTE> Der(X509* certificate) {
    int length = i2d_X509(certificate, nullptr);
    if (length <= 0) return {};
    std::vector<BYTE> der((size_t)length);
    BYTE* at = der.data();
    i2d_X509(certificate, &at);
    return der;
}

// The host name as the policy check wants it; empty when it is not valid
// text in the ANSI code page.
std::wstring Wide(const char* text) {
    int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide((size_t)length, L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, &wide[0], length);
    wide.resize((size_t)length - 1);
    return wide;
}

bool PolicyAccepts(PCCERT_CHAIN_CONTEXT chain, const std::wstring& hostName) {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof(ssl);
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = const_cast<wchar_t*>(hostName.c_str());
    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof(para);
    para.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status) && status.dwError == 0;
}

}  // namespace

int add_system_root_certificates(X509_STORE* store) {
    StoreCloser system{CertOpenSystemStoreA(0, "ROOT")};
    if (!system.store) return 0;
    int added = 0;
    PCCERT_CONTEXT entry = nullptr;
    while ((entry = CertEnumCertificatesInStore(system.store, entry)) != nullptr) {
        const unsigned char* der = entry->pbCertEncoded;
        X509* certificate = d2i_X509(nullptr, &der, (long)entry->cbCertEncoded);
        if (!certificate) continue;
        if (X509_STORE_add_cert(store, certificate) == 1) ++added;
        X509_free(certificate);
    }
    return added;
}

bool system_trusts_chain(X509* leaf, STACK_OF(X509) * intermediates, const char* hostName) {
    std::wstring wideHost = Wide(hostName);
    std::vector<BYTE> leafDer = Der(leaf);
    if (wideHost.empty() || leafDer.empty()) return false;
    PCCERT_CONTEXT leafContext =
        CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, leafDer.data(), (DWORD)leafDer.size());
    if (!leafContext) return false;
    StoreCloser peer{CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr)};
    for (int i = 0; peer.store && i < sk_X509_num(intermediates); ++i) {
        std::vector<BYTE> der = Der(sk_X509_value(intermediates, i));
        if (!der.empty())
            CertAddEncodedCertificateToStore(peer.store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                             (DWORD)der.size(), CERT_STORE_ADD_USE_EXISTING, nullptr);
    }
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    // The chain's own status first: Wine's SSL policy passes a chain that
    // never reached a root, and Windows' own asks for both checks.
    bool trusted = CertGetCertificateChain(nullptr, leafContext, nullptr, peer.store, &para, 0, nullptr, &chain) &&
                   chain->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR && PolicyAccepts(chain, wideHost);
    if (chain) CertFreeCertificateChain(chain);
    CertFreeCertificateContext(leafContext);
    return trusted;
}

#else

int add_system_root_certificates(X509_STORE* store) {
    int before = sk_X509_OBJECT_num(X509_STORE_get0_objects(store));
    X509_STORE_load_file(store, X509_get_default_cert_file());
    X509_STORE_load_path(store, X509_get_default_cert_dir());
    // A machine without a bundle file is no failure of a later connection.
    ERR_clear_error();
    return sk_X509_OBJECT_num(X509_STORE_get0_objects(store)) - before;
}

bool system_trusts_chain(X509*, STACK_OF(X509) *, const char*) {
    return false;
}

#endif
