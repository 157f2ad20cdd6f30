#pragma once
/// @file
/// Files and folders that hold the user's data for this system (logs, settings,
/// accounts, tokens, stores): folders created 0700 and files 0600, whatever the
/// process's umask, and whole files replaced durably.
#include <string>
#include <string_view>

namespace Platform::PrivateFiles {

/// Creates the missing folders of `path`, each 0700; existing ones are left as they
/// are. False, with the reason in `error`, when one cannot be made.
bool createFolders(const std::string& path, std::string& error) noexcept;

/// open(2) that creates a missing file 0600.
int openPrivate(const std::string& path, int flags) noexcept;

/// Replaces `path` with `bytes`: written to a temporary file beside it (0600), committed,
/// renamed over `path`, and the folder committed, so that after a crash the file is
/// either the old or the new one. Creates the missing folders. The temporary file never
/// stays behind. False, with the reason in `error`, when any step failed; `path` is
/// unchanged unless only the folder's commit failed.
bool replaceDurably(const std::string& path, std::string_view bytes, std::string& error) noexcept;

}  // namespace Platform::PrivateFiles
