#pragma once

#include <openssl/x509.h>

// Adds the certificates of the system's trusted root store to store: on
// Windows the "ROOT" store, which OpenSSL does not read by itself. Elsewhere
// OpenSSL's default verify paths already are the system's roots, and this
// adds nothing. Returns the number added.
int add_system_root_certificates(X509_STORE* store);
