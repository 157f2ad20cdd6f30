#include "launcher/sandboxcommand.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace TarvikRun {

namespace {
// What a program needs of the system to run: its libraries and programs, and the few
// files of /etc that the C library reads. Nothing of the user's.
constexpr const char* kSystemFolders[] = {"/usr",   "/bin",   "/sbin",  "/lib",
                                          "/lib32", "/lib64", "/libx32"};
constexpr const char* kSystemFiles[] = {
    "/etc/ld.so.cache", "/etc/ld.so.conf", "/etc/ld.so.conf.d",  "/etc/localtime",
    "/etc/passwd",      "/etc/group",      "/etc/nsswitch.conf", "/etc/hosts",
    "/etc/resolv.conf", "/etc/ssl",        "/etc/alternatives",  "/etc/locale.alias"};

// The home that the package's helper serves, found as the helper finds it. The folder
// stays hidden; its name lets the application ask the helper for files in it.
std::string userHome() {
    if (const char* home = std::getenv("HOME"); home && *home == '/') return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return {};
}

bool under(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}
}  // namespace

std::vector<std::string> sandboxCommand(const std::string& bwrap, const SandboxManifest& manifest,
                                        const PackageFolders& folders,
                                        const std::vector<std::string>& libraries,
                                        const std::vector<std::string>& extraArguments) {
    std::vector<std::string> a{bwrap,           "--unshare-user",    "--unshare-pid",
                               "--unshare-ipc", "--die-with-parent", "--new-session"};
    const auto add = [&a](std::initializer_list<std::string> items) {
        a.insert(a.end(), items.begin(), items.end());
    };
    if (!manifest.network) add({"--unshare-net"});
    for (const char* folder : kSystemFolders) {
        struct stat st {};
        if (::lstat(folder, &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            char target[4096] = {};
            const ssize_t n = ::readlink(folder, target, sizeof target - 1);
            if (n > 0) add({"--symlink", std::string(target, static_cast<std::size_t>(n)), folder});
        } else {
            add({"--ro-bind", folder, folder});
        }
    }
    for (const char* file : kSystemFiles) add({"--ro-bind-try", file, file});
    add({"--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp", "--tmpfs", "/run"});
    // What the package brings, read-only; a host program or library outside the
    // install folder (a build tree) is shown file by file.
    add({"--ro-bind", manifest.installFolder, manifest.installFolder});
    std::vector<std::string> files = libraries;
    files.push_back(manifest.hostProgram);
    for (const auto& path : manifest.readOnly) add({"--ro-bind", path, path});
    for (const auto& file : files) {
        bool shown = under(file, manifest.installFolder);
        for (const char* folder : kSystemFolders) shown = shown || under(file, folder);
        if (!shown) add({"--ro-bind", file, file});
    }
    // What the package may change: its data and its sockets.
    add({"--bind", folders.data, folders.data, "--bind", folders.runtime, folders.runtime});
    add({"--bind", folders.launcherSocket, kLauncherSocketInside});
    add({"--setenv", "TARVIK_LAUNCHER_SOCKET", kLauncherSocketInside, "--setenv",
         "TARVIK_PACKAGE_MANIFEST", manifest.manifestPath, "--setenv", "TMPDIR", "/tmp"});
    if (const std::string home = userHome(); !home.empty()) add({"--setenv", "HOME", home});
    add({"--chdir", manifest.installFolder, "--", manifest.hostProgram});
    a.insert(a.end(), manifest.hostArguments.begin(), manifest.hostArguments.end());
    a.insert(a.end(), extraArguments.begin(), extraArguments.end());
    return a;
}

}  // namespace TarvikRun
