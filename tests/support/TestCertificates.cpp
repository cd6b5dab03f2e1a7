#include "TestCertificates.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace {

const long kSecondsPerDay = 24L * 60 * 60;
// Issued certificates start this long before now.
const long kBackdateSeconds = 60L * 60;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, (size_t)length) : std::string();
}

// EC P-256: as sound as needed and quick to make, which matters when a suite
// makes a few dozen of them.
EvpPkeyPtr MakeKey() {
    return EvpPkeyPtr(EVP_EC_gen("P-256"));
}

bool IsIpLiteral(const std::string& name) {
    ASN1_OCTET_STRING* address = a2i_IPADDRESS(name.c_str());
    if (!address) return false;
    ASN1_OCTET_STRING_free(address);
    return true;
}

bool AddExtension(X509* certificate, X509V3_CTX* context, int nid, const std::string& value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value.c_str());
    if (!extension) return false;
    bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

std::string SubjectAltNames(const std::vector<std::string>& hostNames) {
    std::string names;
    for (const std::string& name : hostNames) {
        if (!names.empty()) names += ",";
        names += (IsIpLiteral(name) ? "IP:" : "DNS:") + name;
    }
    return names;
}

// A certificate with a random serial, the subject's common name, its public
// key and validity; extensions and the signature come after.
X509Ptr MakeUnsigned(EVP_PKEY* key, const std::string& commonName, Validity validity) {
    X509Ptr certificate(X509_new());
    if (!certificate) return nullptr;
    X509_set_version(certificate.get(), 2);
    unsigned char serial[8];
    RAND_bytes(serial, sizeof(serial));
    serial[0] &= 0x7f;  // a positive serial
    BIGNUM* number = BN_bin2bn(serial, sizeof(serial), nullptr);
    BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), validity.notBeforeDays * kSecondsPerDay - kBackdateSeconds);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), validity.notAfterDays * kSecondsPerDay);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, (const unsigned char*)"Vornfeed tests", -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char*)commonName.c_str(), -1, -1, 0);
    return certificate;
}

bool AddServerExtensions(X509* certificate, X509* issuer, const std::vector<std::string>& hostNames) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    return AddExtension(certificate, &context, NID_basic_constraints, "critical,CA:FALSE") &&
           AddExtension(certificate, &context, NID_key_usage, "critical,digitalSignature") &&
           AddExtension(certificate, &context, NID_ext_key_usage, "serverAuth") &&
           AddExtension(certificate, &context, NID_subject_key_identifier, "hash") &&
           AddExtension(certificate, &context, NID_subject_alt_name, SubjectAltNames(hostNames));
}

TestCertificate MakeRoot(const std::string& commonName) {
    TestCertificate root;
    EvpPkeyPtr key = MakeKey();
    if (!key) return root;
    X509Ptr certificate = MakeUnsigned(key.get(), commonName, Validity{0, 3650});
    if (!certificate) return root;
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
    X509V3_CTX context;
    X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
    bool made = AddExtension(certificate.get(), &context, NID_basic_constraints, "critical,CA:TRUE") &&
                AddExtension(certificate.get(), &context, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                AddExtension(certificate.get(), &context, NID_subject_key_identifier, "hash") &&
                X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0;
    if (!made) return root;
    root.key = std::move(key);
    root.certificate = std::move(certificate);
    return root;
}

}  // namespace

std::string TestCertificate::CertificatePem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !certificate || !PEM_write_bio_X509(bio.get(), certificate.get())) return std::string();
    return BioText(bio.get());
}

std::string TestCertificate::KeyPem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !key) return std::string();
    if (!PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) return std::string();
    return BioText(bio.get());
}

bool TestCertificate::Save(const std::string& certificatePath, const std::string& keyPath) const {
    std::string pems[2] = {CertificatePem(), KeyPem()};
    const std::string* paths[2] = {&certificatePath, &keyPath};
    for (int i = 0; i < 2; i++) {
        if (pems[i].empty()) return false;
        FILE* file = fopen(paths[i]->c_str(), "wb");
        if (!file) return false;
        bool written = fwrite(pems[i].data(), 1, pems[i].size(), file) == pems[i].size();
        if (fclose(file) != 0 || !written) return false;
    }
    return true;
}

TestCertificate TestCertificate::Load(const std::string& certificatePath, const std::string& keyPath) {
    TestCertificate loaded;
    BioPtr certificateBio(BIO_new_file(certificatePath.c_str(), "rb"));
    BioPtr keyBio(BIO_new_file(keyPath.c_str(), "rb"));
    if (!certificateBio || !keyBio) return loaded;
    X509Ptr certificate(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
    EvpPkeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    if (!certificate || !key || X509_check_private_key(certificate.get(), key.get()) != 1) return loaded;
    loaded.key = std::move(key);
    loaded.certificate = std::move(certificate);
    return loaded;
}

bool TestCertificate::UseIn(SSL_CTX* context) const {
    if (!IsValid()) return false;
    return SSL_CTX_use_certificate(context, certificate.get()) == 1 &&
           SSL_CTX_use_PrivateKey(context, key.get()) == 1 && SSL_CTX_check_private_key(context) == 1;
}

TestCertificateAuthority::TestCertificateAuthority(const std::string& commonName) : root(MakeRoot(commonName)) {}

TestCertificateAuthority::TestCertificateAuthority(TestCertificate root) : root(std::move(root)) {}

TestCertificate TestCertificateAuthority::IssueServer(const std::vector<std::string>& hostNames,
                                                      Validity validity) const {
    TestCertificate issued;
    if (!IsValid() || hostNames.empty()) return issued;
    EvpPkeyPtr key = MakeKey();
    if (!key) return issued;
    X509Ptr certificate = MakeUnsigned(key.get(), hostNames[0], validity);
    if (!certificate) return issued;
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(root.certificate.get()));
    X509V3_CTX context;
    X509V3_set_ctx(&context, root.certificate.get(), certificate.get(), nullptr, nullptr, 0);
    bool made = AddServerExtensions(certificate.get(), root.certificate.get(), hostNames) &&
                AddExtension(certificate.get(), &context, NID_authority_key_identifier, "keyid:always") &&
                X509_sign(certificate.get(), root.key.get(), EVP_sha256()) > 0;
    if (!made) return issued;
    issued.key = std::move(key);
    issued.certificate = std::move(certificate);
    return issued;
}

bool TestCertificateAuthority::TrustIn(SSL_CTX* context) const {
    if (!IsValid()) return false;
    return X509_STORE_add_cert(SSL_CTX_get_cert_store(context), root.certificate.get()) == 1;
}

TestCertificate MakeSelfSignedCertificate(const std::vector<std::string>& hostNames) {
    TestCertificate made;
    if (hostNames.empty()) return made;
    EvpPkeyPtr key = MakeKey();
    if (!key) return made;
    X509Ptr certificate = MakeUnsigned(key.get(), hostNames[0], Validity());
    if (!certificate) return made;
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
    if (!AddServerExtensions(certificate.get(), certificate.get(), hostNames)) return made;
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0) return made;
    made.key = std::move(key);
    made.certificate = std::move(certificate);
    return made;
}
