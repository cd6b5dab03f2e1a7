#pragma once

#include <openssl/x509.h>

// Adds the system's trusted roots to store and returns how many. On Windows
// these are the "ROOT" store's certificates, which OpenSSL does not read by
// itself. Elsewhere they are the files at the places OpenSSL was built to
// look in, read without the environment variables that could move them.
int add_system_root_certificates(X509_STORE* store);

// Asks the system's own chain engine whether it trusts the chain of leaf,
// with the peer's other certificates as possible intermediates, for a TLS
// server named hostName (a DNS name or an address). Only Windows has one:
// elsewhere the answer is always no.
bool system_trusts_chain(X509* leaf, STACK_OF(X509) * intermediates, const char* hostName);
