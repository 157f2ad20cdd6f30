#include <TarvikFoundation/platform/activation.h>

namespace Platform {

std::atomic<uint32_t>& ModuleObject::count() noexcept {
    static std::atomic<uint32_t> live{0};
    return live;
}

}  // namespace Platform
