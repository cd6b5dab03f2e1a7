#pragma once

#include <cstdlib>
#include <string>

// Sets a variable of this process's environment, e.g. SSL_CERT_FILE before
// a client context reads OpenSSL's default verify paths.
inline void SetEnvironmentVariableForTest(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}
