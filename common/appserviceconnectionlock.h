#pragma once
#include <string>

namespace Tarvik {

/// The connection lock file: writing it tells the helper to (re)connect.
class AppServiceConnectionLock {
  public:
    static void setAppServiceConnectionLock(const std::wstring& path);
    // Writes four zero bytes to the file; true when the file exists afterwards. Never throws.
    static bool signal() noexcept;
    static std::wstring path();
};

}  // namespace Tarvik
