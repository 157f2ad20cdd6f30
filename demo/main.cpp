// tarvik-demo: shows the logger and the message schema at work.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/commandcodes.h"
#include "common/logger.h"
#include "common/messageschema.h"
#include "tarvikfoundation/orvaneplatformexceptionhelper.h"

int main() {
    const char* dir = std::getenv("TMPDIR");
    const std::string logPath = std::string(dir ? dir : "/tmp") + "/tarvik-demo/TRVK.log";
    Tarvik::ConfigureLogger(0, "UWP");
    Tarvik::SetLogFilePath(Platform::utf8_to_wide(logPath));

    TLOG_SCOPE();
    auto request = Tarvik::createRequest(Tarvik::Commands::kTestDelayMessage);
    request.Insert(L"TestDelay", uint64_t{500});
    Tarvik::assignRequestId(request);
    std::printf("request:\n");
    for (const auto& [key, value] : request.GetItems())
        std::printf("  %-10s %-7s\n", key.to_utf8().c_str(),
                    Platform::property_type_name(value.Type()));
    std::printf("  command=%d commandId=%llu\n", Tarvik::getCommand(request),
                static_cast<unsigned long long>(request.LookupAs<uint64_t>(L"commandId")));
    TLOG("INF", "demo request %I64d built", request.LookupAs<uint64_t>(L"commandId"));

    const auto code = static_cast<int32_t>(0xE101000E);
    std::printf(
        "error 0x%08X: %s\n", static_cast<unsigned>(code),
        TarvikFoundation::OrvanePlatformExceptionHelper::GetErrorMessage(code).to_utf8().c_str());
    std::printf("log written to %s\n", logPath.c_str());
    return 0;
}
