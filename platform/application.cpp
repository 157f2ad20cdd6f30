#include <mutex>

#include <TarvikFoundation/platform/application.h>
#include <TarvikFoundation/platform/appserviceconnection.h>

#include "platform/package.h"

namespace Platform {

namespace {
std::mutex g_mutex;
std::shared_ptr<Application> g_current;
}  // namespace

std::shared_ptr<Application> Application::Current() {
    std::lock_guard g(g_mutex);
    return g_current;
}

std::shared_ptr<Application> Application::Create() {
    std::lock_guard g(g_mutex);
    if (!g_current) {
        g_current = std::make_shared<Application>();
        // The packaged application announces its package when it opens app services.
        try {
            AppServiceConnection::SetCallerPackageFamilyName(Package::Current()->FamilyName());
        } catch (const hresult_error&) {
        }
    }
    return g_current;
}

}  // namespace Platform
