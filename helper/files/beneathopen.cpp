#include "helper/files/beneathopen.h"

#include <fcntl.h>

#include <boost/filesystem/path.hpp>
#include <cerrno>
#include <vector>

#include "helper/files/beneathroot.h"

namespace TarvikHelper {

namespace fs = boost::filesystem;

BeneathOpen openBeneathServedRoot(const FileRoots& roots, const std::string& path, int flags,
                                  BeneathMethod method) {
    const fs::path normal = fs::path(path).lexically_normal();
    std::vector<std::string> parts;
    for (const auto& part : normal.relative_path()) parts.push_back(part.string());
    if (!normal.is_absolute() || parts.empty()) return {-1, EXDEV};
    for (const auto& part : parts)
        if (part == ".." || part == "." || part.empty()) return {-1, EXDEV};

    // The shortest parent that is a served root leaves the most parts to check.
    std::string root = "/";
    std::size_t first = 0;
    while (first < parts.size() && !roots.isRoot(root)) {
        root += (root.size() > 1 ? "/" : "") + parts[first];
        ++first;
    }
    if (first == parts.size() || !roots.isRoot(root)) return {-1, EXDEV};

    const Descriptor rootFd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd) return {-1, errno};
    std::string relative;
    for (std::size_t i = first; i < parts.size(); ++i)
        relative += (relative.empty() ? "" : "/") + parts[i];
    Descriptor fd =
        openBeneath(rootFd.get(), relative, flags, 0,
                    method == BeneathMethod::Walk ? Resolution::Walk : Resolution::Automatic);
    if (!fd) return {-1, errno};
    return {fd.release(), 0};
}

}  // namespace TarvikHelper
