#include "TrustingContext.h"

#include "TempWorkingDirectory.h"

std::unique_ptr<CTlsContext> TrustingContext(const std::string& caFile) {
    TempWorkingDirectory aside;
    auto context = std::make_unique<CTlsContext>();
    context->Create(caFile.c_str());
    return context;
}
