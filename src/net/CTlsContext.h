#pragma once

#include <openssl/ssl.h>

// The one client context every worker's connections are made from, and the
// roots it trusts: exactly the system's trusted roots plus the certificates
// of the configuration's ca_file, if one is named. Nothing else: no
// environment variable, no OpenSSL configuration file and no folder that
// OpenSSL was built with, since any of these could be planted by someone
// other than the user to put false prices into a trader's sheet.
//
// On Windows, a chain that OpenSSL refuses only because a root is missing
// is put to the system's chain engine with the host name before it is
// refused: Windows fetches the roots it lacks on demand, so a fresh install
// still reaches a public exchange.
//
// Made once on the user-interface thread before any worker starts; only
// read afterwards, from any thread.
class CTlsContext {
public:
    CTlsContext();
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    // Makes the context. caFile, when not empty, is a PEM file whose
    // certificates are trusted too; one that cannot be read or holds no
    // certificate is logged and left out, and the system's roots still
    // hold. False only when OpenSSL could not make a context at all.
    // Called at most once.
    bool Create(const char* caFile);

    // Null until Create has succeeded.
    SSL_CTX* Get() const { return context; }

private:
    int AddCaFile(const char* caFile);

    SSL_CTX* context;
};
