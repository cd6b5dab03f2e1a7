#ifdef _WIN32
// wincrypt.h first: OpenSSL's headers undo the names it defines that clash
// with theirs (X509_NAME and others).
#include <windows.h>
#include <wincrypt.h>
#endif

#include "SystemRoots.h"

#ifdef _WIN32

int add_system_root_certificates(X509_STORE* store) {
    HCERTSTORE system = CertOpenSystemStoreA(0, "ROOT");
    if (!system) return 0;
    int added = 0;
    PCCERT_CONTEXT entry = nullptr;
    while ((entry = CertEnumCertificatesInStore(system, entry)) != nullptr) {
        const unsigned char* der = entry->pbCertEncoded;
        X509* certificate = d2i_X509(nullptr, &der, (long)entry->cbCertEncoded);
        if (!certificate) continue;
        // A root already present (from SSL_CERT_FILE, say) is not an error.
        if (X509_STORE_add_cert(store, certificate) == 1) ++added;
        X509_free(certificate);
    }
    CertCloseStore(system, 0);
    return added;
}

#else

int add_system_root_certificates(X509_STORE*) {
    return 0;
}

#endif
