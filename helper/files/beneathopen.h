#pragma once
// Opening a file below a served folder without following any link on the way: what
// a token grants must still be the file it named, and a link put in its place (or in
// place of a folder above it) after the token was issued leads nowhere.
#include <string>

#include "helper/files/fileroots.h"

namespace TarvikHelper {

struct BeneathOpen {
    int fd = -1;    // open on success, owned by the caller
    int error = 0;  // errno otherwise: ELOOP for a link, EXDEV when no served folder holds it
};

// Kernels without openat2 take the walk; tests ask for it to check it as well.
enum class BeneathMethod { Best, Walk };

// Opens `path` (absolute) with `flags` below the first served root among its parent
// folders (from the top), following no link in any part beneath that root; the root's
// own path may hold links. Uses openat2 where the kernel has it, else a walk with
// O_NOFOLLOW.
BeneathOpen openBeneathServedRoot(const FileRoots& roots, const std::string& path, int flags,
                                  BeneathMethod method = BeneathMethod::Best);

}  // namespace TarvikHelper
