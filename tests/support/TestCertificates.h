#pragma once

// Certificates made at run time with the OpenSSL API, for TLS servers that
// tests and local tools run on loopback: a throw-away certificate authority,
// server certificates it signs for chosen host names, and self-signed ones a
// client must refuse. Nothing here is meant to protect anything.
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

struct OpenSslFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    void operator()(X509* certificate) const { X509_free(certificate); }
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    void operator()(SSL* connection) const { SSL_free(connection); }
};
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSslFree>;
using SslPtr = std::unique_ptr<SSL, OpenSslFree>;

// A private key with its certificate. Empty (both null) when making or
// loading it failed.
struct TestCertificate {
    EvpPkeyPtr key;
    X509Ptr certificate;

    bool IsValid() const { return key && certificate; }
    std::string CertificatePem() const;
    std::string KeyPem() const;
    // Writes both as PEM files; the key unencrypted.
    bool Save(const std::string& certificatePath, const std::string& keyPath) const;
    // Reads a pair written by Save (or any PEM certificate and key).
    static TestCertificate Load(const std::string& certificatePath, const std::string& keyPath);
    // Makes the context present this certificate and key.
    bool UseIn(SSL_CTX* context) const;
};

// Validity of an issued certificate, in days from now; the default starts an
// hour ago, so clocks a little apart still accept it.
struct Validity {
    int notBeforeDays = 0;
    int notAfterDays = 30;
};

class TestCertificateAuthority {
public:
    // Makes a new root: an EC P-256 key and a self-signed CA certificate.
    explicit TestCertificateAuthority(const std::string& commonName = "Vornfeed Test CA");
    // Takes an existing root, e.g. one loaded with TestCertificate::Load.
    explicit TestCertificateAuthority(TestCertificate root);

    bool IsValid() const { return root.IsValid(); }
    const TestCertificate& Root() const { return root; }
    std::string RootPem() const { return root.CertificatePem(); }

    // A server certificate for hostNames: each becomes a subjectAltName entry,
    // IP literals as IP entries, the rest as DNS names; the first is also the
    // common name.
    TestCertificate IssueServer(const std::vector<std::string>& hostNames, Validity validity = Validity()) const;

    // Makes a client context trust this root (and nothing else).
    bool TrustIn(SSL_CTX* context) const;

private:
    TestCertificate root;
};

// A server certificate for hostNames that no authority signed.
TestCertificate MakeSelfSignedCertificate(const std::vector<std::string>& hostNames);
