#include "helper/files/fileroots.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "common/logger.h"

namespace TarvikHelper {

namespace fs = boost::filesystem;

namespace {

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home == '/') return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return {};
}

// Links resolved as far as the path exists, the rest normalised by its text; nullopt
// when a part cannot be looked at (then nothing is known about where it leads).
std::optional<std::string> resolved(const std::string& path) {
    boost::system::error_code ec;
    const fs::path p = fs::weakly_canonical(fs::path(path), ec);
    if (ec) return std::nullopt;
    std::string text = p.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

std::string normalised(const std::string& path) {
    std::string text = fs::path(path).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

bool within(const std::string& path, const std::string& root) {
    if (root == "/") return true;
    return path.compare(0, root.size(), root) == 0 &&
           (path.size() == root.size() || path[root.size()] == '/');
}

}  // namespace

std::string fileRootsConfigPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string base =
        config && *config == '/' ? std::string(config) : homeFolder() + "/.config";
    return base + "/tarvik/helper.json";
}

FileRoots FileRoots::fromUserConfig() {
    const std::string file = fileRootsConfigPath();
    std::ifstream in(file);
    if (!in) {
        const std::string home = homeFolder();
        TLOG("INF", "file commands serve %s (no %s)", home.c_str(), file.c_str());
        return FileRoots(home.empty() ? std::vector<std::string>{} : std::vector{home});
    }
    std::vector<std::string> roots;
    try {
        const auto json = nlohmann::json::parse(in);
        const auto& list = json.at("fileRoots");
        if (!list.is_array()) throw std::invalid_argument("\"fileRoots\" is not a list");
        for (const auto& root : list) {
            const auto text = root.get<std::string>();
            if (text.empty() || text.front() != '/' || text.find('\0') != std::string::npos)
                throw std::invalid_argument("not an absolute path: " + text);
            roots.push_back(text);
        }
    } catch (const std::exception& e) {
        TLOG("CRT", "file commands serve nothing: %s is unusable: %s", file.c_str(), e.what());
        return FileRoots({});
    }
    TLOG("INF", "file commands serve %zu folders from %s", roots.size(), file.c_str());
    return FileRoots(roots);
}

FileRoots::FileRoots(const std::vector<std::string>& roots) {
    for (const auto& root : roots) {
        if (root.empty() || root.front() != '/') continue;
        if (auto canonical = resolved(root)) {
            roots_.push_back(*canonical);
            given_.push_back(normalised(root));
        } else
            TLOG("WRN", "file root %s cannot be resolved and is not served", root.c_str());
    }
}

std::optional<std::string> FileRoots::refusal(const std::string& path) const {
    const auto target = resolved(path);
    if (!target) return std::string("the path cannot be resolved");
    for (const auto& root : roots_)
        if (within(*target, root)) return std::nullopt;
    if (*target != path) return "outside the served folders (it resolves to " + *target + ")";
    return std::string("outside the served folders");
}

std::optional<FileRoots::Place> FileRoots::locate(const std::string& path) const {
    const std::string text = normalised(path);
    for (std::size_t i = 0; i < roots_.size(); ++i)
        for (const std::string* root : {&roots_[i], &given_[i]})
            if (within(text, *root)) {
                std::string rest = text.substr(std::min(text.size(), root->size()));
                while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
                return Place{roots_[i], rest};
            }
    return std::nullopt;
}

bool FileRoots::isRoot(const std::string& path) const {
    const auto target = resolved(path);
    if (!target) return false;
    for (const auto& root : roots_)
        if (*target == root) return true;
    return false;
}

}  // namespace TarvikHelper
