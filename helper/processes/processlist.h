#pragma once
// The running processes of the machine, read from /proc.
#include <cstdint>
#include <string>
#include <vector>

namespace TarvikHelper {

struct RunningProcess {
    uint32_t id;
    // The program's file name when the helper may read it, otherwise the kernel's
    // (at most 15 characters) short name.
    std::string name;
};

// Sorted by id; processes that end while the list is read are left out.
std::vector<RunningProcess> runningProcesses(const std::string& procRoot = "/proc");
// The JSON array [{"ProcID", "ProcName"}] of the list.
std::string processListJson(const std::vector<RunningProcess>& processes);

}  // namespace TarvikHelper
