#include <gtest/gtest.h>

#include <openssl/x509v3.h>

#include <string>

#include "ScratchFolder.h"
#include "TestCertificates.h"

// The helpers stand behind every TLS test and the exchange simulator: a
// certificate that verifies for the wrong reason would make those tests pass
// without proving anything.

namespace {

// The verify result of certificate against a store that trusts only root.
int Verify(const TestCertificate& certificate, const TestCertificate* root) {
    X509_STORE* store = X509_STORE_new();
    if (root) X509_STORE_add_cert(store, root->certificate.get());
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    X509_STORE_CTX_init(context, store, certificate.certificate.get(), nullptr);
    X509_verify_cert(context);
    int result = X509_STORE_CTX_get_error(context);
    X509_STORE_CTX_free(context);
    X509_STORE_free(store);
    return result;
}

bool MatchesHost(const TestCertificate& certificate, const std::string& name) {
    if (X509_check_ip_asc(certificate.certificate.get(), name.c_str(), 0) == 1) return true;
    return X509_check_host(certificate.certificate.get(), name.c_str(), name.size(), 0, nullptr) == 1;
}

}  // namespace

TEST(TestCertificateAuthority, IssuedCertificateVerifiesAgainstItsRootOnly) {
    TestCertificateAuthority authority;
    TestCertificateAuthority stranger("Another Test CA");
    TestCertificate issued = authority.IssueServer({"localhost"});
    ASSERT_TRUE(issued.IsValid());
    EXPECT_EQ(X509_V_OK, Verify(issued, &authority.Root()));
    EXPECT_EQ(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, Verify(issued, &stranger.Root()));
    EXPECT_EQ(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, Verify(issued, nullptr));
}

TEST(TestCertificateAuthority, IssuedCertificateNamesExactlyItsHosts) {
    TestCertificateAuthority authority;
    TestCertificate issued = authority.IssueServer({"localhost", "rest.example", "127.0.0.1"});
    ASSERT_TRUE(issued.IsValid());
    // clang-format off
    struct Case { const char* host; bool matches; const char* why; };
    const Case cases[] = {
        {"localhost",    true,  "first name"},
        {"rest.example", true,  "further DNS name"},
        {"127.0.0.1",    true,  "IP literal becomes an IP entry"},
        {"127.0.0.2",    false, "other address"},
        {"other.example", false, "name not listed"},
        {"example",      false, "parent of a listed name"},
    };
    // clang-format on
    for (const Case& c : cases)
        EXPECT_EQ(c.matches, MatchesHost(issued, c.host)) << c.host << ": " << c.why;
}

TEST(TestCertificateAuthority, ExpiredValidityIsRefused) {
    TestCertificateAuthority authority;
    TestCertificate expired = authority.IssueServer({"localhost"}, Validity{-10, -1});
    ASSERT_TRUE(expired.IsValid());
    EXPECT_EQ(X509_V_ERR_CERT_HAS_EXPIRED, Verify(expired, &authority.Root()));
}

TEST(MakeSelfSignedCertificate, IsRefusedAsSelfSigned) {
    TestCertificate selfSigned = MakeSelfSignedCertificate({"localhost"});
    ASSERT_TRUE(selfSigned.IsValid());
    EXPECT_TRUE(MatchesHost(selfSigned, "localhost"));
    EXPECT_EQ(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT, Verify(selfSigned, nullptr));
}

TEST(TestCertificate, SavedPairLoadsBackAndStillSignsForTheRoot) {
    TestCertificateAuthority authority;
    ScratchFolder folder;
    std::string stem = folder.PathOf("cert");
    ASSERT_TRUE(authority.Root().Save(stem + "-ca.pem", stem + "-ca.key"));

    TestCertificateAuthority reloaded(TestCertificate::Load(stem + "-ca.pem", stem + "-ca.key"));
    ASSERT_TRUE(reloaded.IsValid());
    EXPECT_EQ(0, X509_cmp(authority.Root().certificate.get(), reloaded.Root().certificate.get()));
    EXPECT_EQ(X509_V_OK, Verify(reloaded.IssueServer({"localhost"}), &authority.Root()));
}

TEST(TestCertificate, LoadOfAMissingOrMismatchedPairIsEmpty) {
    TestCertificateAuthority authority;
    TestCertificate other = authority.IssueServer({"localhost"});
    ScratchFolder folder;
    std::string stem = folder.PathOf("pair");
    ASSERT_TRUE(authority.Root().Save(stem + ".pem", stem + ".key"));
    ASSERT_TRUE(other.Save(stem + "-other.pem", stem + "-other.key"));

    EXPECT_FALSE(TestCertificate::Load(stem + "-missing.pem", stem + ".key").IsValid());
    EXPECT_FALSE(TestCertificate::Load(stem + ".pem", stem + "-other.key").IsValid());
    EXPECT_TRUE(TestCertificate::Load(stem + ".pem", stem + ".key").IsValid());
}
