#include "common/commandline.h"

namespace Tarvik {

std::vector<std::string> splitCommandLine(const std::string& line) {
    std::vector<std::string> tokens;
    std::string current;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) tokens.push_back(current);
            current.clear();
            any = false;
        } else {
            current.push_back(c);
            any = true;
        }
    }
    if (any) tokens.push_back(current);
    return tokens;
}

}  // namespace Tarvik
