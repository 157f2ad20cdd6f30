#pragma once
// The helper's own requests to the application (41, 31, 37, 55) carry ids of the
// helper's numbering. The application keeps each answer under its id alone until the
// helper acknowledges it, so a helper that replaces a killed one must never repeat an
// id its predecessor used.
#include <cstdint>

#include <TarvikFoundation/platform/valueset.h>

namespace TarvikHelper {

// Ids follow the machine's boot clock in nanoseconds and never fall below the last one
// given, so a helper started after another is past every id that one gave.
uint64_t nextRequestId() noexcept;

// A request of `command` carrying such an id.
Platform::ValueSet helperRequest(int32_t command);

}  // namespace TarvikHelper
