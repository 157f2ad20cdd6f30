// The helper's command line, which may come from a launch URI that anybody can open:
// split it and parse it; a refusal must say why, and nothing may crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "helper/helperoptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    std::string error;
    // As one launch URI, and as separate arguments.
    const auto fromUri = TarvikHelper::parseHelperOptions({line}, error);
    if (!fromUri && error.empty()) std::abort();
    error.clear();
    const auto fromArgs =
        TarvikHelper::parseHelperOptions(TarvikHelper::splitCommandLine(line), error);
    if (!fromArgs && error.empty()) std::abort();
    return 0;
}
