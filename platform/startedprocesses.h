#pragma once
/// @file
/// The processes that the platform started for a package: its full-trust and URI
/// programs (the helper) and, for a confined run, the sandbox that holds the
/// application. Kept as empty files `<role>.<pid>.<start time>` in a private folder of
/// the user's beside the socket folders, which a sandbox never sees; a pid with its
/// start time names one process, so a record outlives no reuse of its pid.
#include <sys/types.h>

#include <TarvikFoundation/platform/hstring.h>

namespace Platform::StartedProcesses {

enum class Role { Helper, Application };

/// Records that the platform started `pid` for the package in `role`; records of
/// processes that have ended are dropped on the way.
void record(const hstring& packageFamilyName, pid_t pid, Role role);
/// Whether `pid` or one of its ancestors was recorded for the package in `role`.
bool startedFor(const hstring& packageFamilyName, pid_t pid, Role role);
/// Whether any live process was recorded for the package in `role`.
bool anyLive(const hstring& packageFamilyName, Role role);

}  // namespace Platform::StartedProcesses
