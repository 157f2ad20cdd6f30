#include <TarvikFoundation/orvaneplatformexceptionhelper.h>

#include "tarvikfoundation/errortable.h"

namespace TarvikFoundation {

Platform::hstring OrvanePlatformExceptionHelper::GetErrorMessage(int32_t errorCode) {
    const auto& table = ErrorTable();
    if (auto it = table.find(errorCode); it != table.end()) return Platform::to_hstring(it->second);
    return L"Operation failed with unknown error";
}

int32_t OrvanePlatformExceptionHelper::GetServiceStatus(int32_t errorCode) {
    return ServiceStatusFromErrorCode(errorCode);
}

}  // namespace TarvikFoundation
