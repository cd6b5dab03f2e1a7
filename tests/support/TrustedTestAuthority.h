#pragma once

#include <string>
#include <vector>

#include "ScratchFolder.h"
#include "TestCertificates.h"

// A test certificate authority whose root is saved as root.pem in a scratch
// folder, for a client to trust the way a user adds a private root: as the
// server's ca_file (see TrustingContext).
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
    // The folder of root.pem and root.key.
    const ScratchFolder& Folder() const { return folder; }
    std::string RootFile() const { return folder.PathOf("root.pem"); }

private:
    TestCertificateAuthority authority;
    ScratchFolder folder;
    bool valid;
};
