#include "TrustedTestAuthority.h"

TrustedTestAuthority::TrustedTestAuthority() : folder("vorn-roots-") {
    valid = authority.Root().Save(folder.PathOf("root.pem"), folder.PathOf("root.key"));
}
