#include "tools/call/commandlisting.h"

#include <TarvikFoundation/platform/hstring.h>

#include "common/commandtable.h"

namespace TarvikCall {

namespace CT = Tarvik::CommandTable;

namespace {

void printKeys(std::ostream& out, const char* heading, std::span<const CT::KeySpec> keys) {
    if (keys.empty()) return;
    out << "    " << heading << ":";
    for (const auto& key : keys)
        out << ' ' << Platform::hstring(key.name).to_utf8() << '=' << CT::typeName(key.type)
            << (key.required ? "" : "?");
    out << '\n';
}

}  // namespace

void printCommandTable(std::ostream& out) {
    out << "code name (direction): summary\n"
           "    request / answer keys as key=Type, ? marks a key that may be absent\n";
    for (const auto& command : CT::all()) {
        out << command.code << ' ' << command.name << " ("
            << (command.direction == CT::Direction::AppToHelper ? "to the helper"
                                                                : "from the helper")
            << "): " << command.summary << '\n';
        printKeys(out, "request", command.request);
        printKeys(out, "answer", command.answer);
        if (!command.outcomes.empty()) {
            out << "    response:";
            for (const auto outcome : command.outcomes) out << ' ' << outcome;
            out << '\n';
        }
    }
}

}  // namespace TarvikCall
