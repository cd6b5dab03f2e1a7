#include "CTlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <string>

#include "CLog.h"
#include "SystemRoots.h"

namespace {

// A file larger than this is no certificate bundle.
const long kMaxCaFileBytes = 4L * 1024 * 1024;

// Verification failures that mean only that OpenSSL has no root for a
// chain which may yet lead to one the system trusts.
bool LacksOnlyARoot(int error) {
    return error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY || error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
           error == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN;
}

// The name or address the connection asked the certificate to carry.
std::string ExpectedHost(X509_STORE_CTX* store) {
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(store);
    if (const char* name = X509_VERIFY_PARAM_get0_host(param, 0)) return name;
    std::string address;
    if (char* ip = X509_VERIFY_PARAM_get1_ip_asc(param)) {
        address = ip;
        OPENSSL_free(ip);
    }
    return address;
}

int VerifyChain(X509_STORE_CTX* store, void*) {
    if (X509_verify_cert(store) == 1) return 1;
    if (!LacksOnlyARoot(X509_STORE_CTX_get_error(store))) return 0;
    std::string host = ExpectedHost(store);
    if (host.empty()) return 0;
    if (!system_trusts_chain(X509_STORE_CTX_get0_cert(store), X509_STORE_CTX_get0_untrusted(store), host.c_str()))
        return 0;
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
}

// The whole file, read with the C library so that a path in the ANSI code
// page opens as the user wrote it. False when it cannot be read.
bool ReadFileBytes(const char* path, std::string* bytesOut) {
    FILE* file = fopen(path, "rb");
    if (!file) return false;
    char chunk[4096];
    size_t got;
    bool tooLarge = false;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0 && !tooLarge) {
        bytesOut->append(chunk, got);
        tooLarge = (long)bytesOut->size() > kMaxCaFileBytes;
    }
    bool failed = ferror(file) != 0;
    fclose(file);
    return !failed && !tooLarge;
}

}  // namespace

CTlsContext::CTlsContext() : context(nullptr) {}

CTlsContext::~CTlsContext() {
    SSL_CTX_free(context);
}

bool CTlsContext::Create(const char* caFile) {
    // The first initialisation decides for the whole process whether a
    // configuration file is ever read.
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                     nullptr);
    context = SSL_CTX_new(TLS_client_method());
    if (!context) {
        CLog::Write("TLSコンテキストを作れません\r\n");
        return false;
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(context, VerifyChain, nullptr);
    add_system_root_certificates(SSL_CTX_get_cert_store(context));
    if (caFile && caFile[0] != '\0') AddCaFile(caFile);
    return true;
}

int CTlsContext::AddCaFile(const char* caFile) {
    std::string bytes;
    if (!ReadFileBytes(caFile, &bytes)) {
        CLog::Write("ca_file %s を読めません\r\n", caFile);
        return 0;
    }
    BIO* bio = BIO_new_mem_buf(bytes.data(), (int)bytes.size());
    STACK_OF(X509_INFO)* infos = bio ? PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    int added = 0;
    for (int i = 0; infos && i < sk_X509_INFO_num(infos); ++i) {
        X509* certificate = sk_X509_INFO_value(infos, i)->x509;
        // A root the system trusts already is added without complaint.
        if (certificate && X509_STORE_add_cert(store, certificate) == 1) ++added;
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    ERR_clear_error();
    if (added == 0)
        CLog::Write("ca_file %s に証明書がありません\r\n", caFile);
    else
        CLog::Write("ca_file %s の証明書 %d 件を信頼\r\n", caFile, added);
    return added;
}
