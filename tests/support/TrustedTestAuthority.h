#pragma once

#include <string>
#include <vector>

#include "ScopedTrustRoots.h"
#include "ScratchFolder.h"
#include "TestCertificates.h"

// A test certificate authority that this process trusts while the object
// lives, the way a user would add a private root: its certificate is saved
// as root.pem in a scratch folder, SSL_CERT_FILE names that file and
// SSL_CERT_DIR an empty folder "certs" beside it, so that no root of the
// machine can help a refused certificate through. Both variables get their
// old values back at the end.
class TrustedTestAuthority {
public:
    TrustedTestAuthority();

    // False when the root could not be made or saved.
    bool IsValid() const { return valid; }

    const TestCertificateAuthority& Authority() const { return authority; }
    // A server certificate for hostNames that the client accepts.
    TestCertificate IssueServer(const std::vector<std::string>& hostNames) const {
        return authority.IssueServer(hostNames);
    }
    // The folder of root.pem, root.key and certs.
    const ScratchFolder& Folder() const { return folder; }

private:
    TestCertificateAuthority authority;
    ScratchFolder folder;
    ScopedTrustRoots trust;
    bool valid;
};
