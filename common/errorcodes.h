#pragma once
/// @file
/// The library's error codes: upper half 0xE101, running number 1 to 71 below.
#include <cstdint>

namespace Tarvik::Errors {

constexpr int32_t code(uint32_t number) {
    return static_cast<int32_t>(0xE1010000u | number);
}

inline constexpr int32_t kUnknown = code(0x01);
inline constexpr int32_t kFileNameExtraction = code(0x02);
inline constexpr int32_t kFolderNameExtraction = code(0x03);
inline constexpr int32_t kInvalidFileHandle = code(0x04);
inline constexpr int32_t kPathExistCheck = code(0x05);
inline constexpr int32_t kPathNotFound = code(0x06);
inline constexpr int32_t kFolderDelete = code(0x07);
inline constexpr int32_t kPathCreate = code(0x08);
inline constexpr int32_t kPathNotAllowed = code(0x09);
inline constexpr int32_t kStorageFileHandle = code(0x0A);
inline constexpr int32_t kEnvelopeRequest = code(0x0B);
inline constexpr int32_t kAccountRequest = code(0x0C);
inline constexpr int32_t kInvalidLogSession = code(0x0D);
inline constexpr int32_t kAppServiceConnection = code(0x0E);
inline constexpr int32_t kListDirectory = code(0x0F);
inline constexpr int32_t kNotADirectory = code(0x10);
inline constexpr int32_t kFirstServiceStatus = code(0x11);
inline constexpr int32_t kAccessDenied = code(0x2A);
inline constexpr int32_t kLastServiceStatus = code(0x46);
inline constexpr int32_t kUnknownStatus = code(0x47);

inline constexpr int32_t kCount = 71;
/// The service status that stands for "no corresponding status".
inline constexpr int32_t kNoServiceStatus = 65535;

}  // namespace Tarvik::Errors
