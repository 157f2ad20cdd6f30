#pragma once
#include <cstdint>

#include <TarvikFoundation/export.h>
#include <TarvikFoundation/platform/activation.h>
#include <TarvikFoundation/platform/hstring.h>

namespace TarvikFoundation {

/// One entry of the helper's process list: a process's name and id.
class TARVIK_API ProcessInfo : private Platform::ModuleObject {
  public:
    /// An empty name and id 0.
    ProcessInfo() = default;

    /// The program's name ("ProcName").
    const Platform::hstring& ProcessName() const noexcept { return name_; }
    /// Sets the program's name.
    void ProcessName(Platform::hstring name) { name_ = std::move(name); }
    /// The process id ("ProcID", truncated to an integer).
    uint32_t ProcessId() const noexcept { return id_; }
    /// Sets the process id.
    void ProcessId(uint32_t id) noexcept { id_ = id; }

  private:
    Platform::hstring name_;
    uint32_t id_ = 0;
};

}  // namespace TarvikFoundation
