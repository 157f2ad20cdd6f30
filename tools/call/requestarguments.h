#pragma once
// What the command line says to send: the command, by name or number, and its keys.
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <TarvikFoundation/platform/valueset.h>

#include "common/commandtable.h"

namespace TarvikCall {

/// A mistake on the command line; the program ends with exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// The command to send: its code and, when the table has it, its entry.
struct Command {
    int32_t code = 0;
    const Tarvik::CommandTable::CommandSpec* entry = nullptr;
};

/// A command of the table by its name (any case) or any number. Raises UsageError for
/// an unknown name, a number that is not an Int32, or a command the helper sends.
Command resolveCommand(std::string_view text);

/// The code of any command of the table by name (any case), or any Int32 number.
int32_t resolveWatchedCommand(std::string_view text);

/// One "key=type:value" argument; raises UsageError naming the argument.
std::pair<Platform::hstring, Platform::PropertyValue> parseArgument(std::string_view text);

/// The request: "command" and the parsed keys. Unless `unchecked`, keys the table
/// requires must be there and keys the table knows must have its type.
Platform::ValueSet buildRequest(const Command& command, const std::vector<std::string>& arguments,
                                bool unchecked);

}  // namespace TarvikCall
