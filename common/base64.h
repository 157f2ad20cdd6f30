#pragma once
/// @file
/// Standard Base64 (RFC 4648, with padding) of byte strings.
#include <optional>
#include <string>

namespace Tarvik::Base64 {

std::string encode(const std::string& bytes);
/// nullopt for text that is not canonical-alphabet Base64.
std::optional<std::string> decode(const std::string& text);

}  // namespace Tarvik::Base64
