#pragma once

#include <cstdlib>
#include <optional>
#include <string>

// Points OpenSSL's default verify locations, SSL_CERT_FILE and SSL_CERT_DIR,
// at a test's roots for as long as the object lives, and puts back what was
// there before, set or not. A client context reads them when it loads the
// default paths, so the roots hold for contexts made meanwhile.
class ScopedTrustRoots {
public:
    ScopedTrustRoots(const std::string& file, const std::string& folder)
        : oldFile(Get("SSL_CERT_FILE")), oldFolder(Get("SSL_CERT_DIR")) {
        Put("SSL_CERT_FILE", file);
        Put("SSL_CERT_DIR", folder);
    }
    ~ScopedTrustRoots() {
        Put("SSL_CERT_FILE", oldFile);
        Put("SSL_CERT_DIR", oldFolder);
    }
    ScopedTrustRoots(const ScopedTrustRoots&) = delete;
    ScopedTrustRoots& operator=(const ScopedTrustRoots&) = delete;

private:
    static std::optional<std::string> Get(const char* name) {
        const char* value = getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    // No value removes the variable.
    static void Put(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
        _putenv_s(name, value ? value->c_str() : "");
#else
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
#endif
    }

    std::optional<std::string> oldFile;
    std::optional<std::string> oldFolder;
};
