#include "TrustedTestAuthority.h"

#include <filesystem>

TrustedTestAuthority::TrustedTestAuthority()
    : folder("vorn-roots-"), trust(folder.PathOf("root.pem"), folder.PathOf("certs")) {
    std::filesystem::create_directories(folder.PathOf("certs"));
    valid = authority.Root().Save(folder.PathOf("root.pem"), folder.PathOf("root.key"));
}
