#pragma once

#include <memory>
#include <string>

#include "CTlsContext.h"

// A client context as the server makes it, trusting caFile's roots beside
// the system's. Made in a scratch working directory of its own, so that the
// line it logs stays out of the log a test reads.
std::unique_ptr<CTlsContext> TrustingContext(const std::string& caFile);
