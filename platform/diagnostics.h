#pragma once
/// @file
/// Process facts and the stand-in for the debugger output.
#include <cstddef>
#include <cstdint>

namespace Platform {

uint32_t current_thread_id() noexcept;
uint32_t current_process_id() noexcept;
/// Writes text to the debugger output; on Linux that is standard error.
void debug_output(const char* text) noexcept;
/// Local time as "%d-%m-%y %H:%M:%S"; writes an empty string when it is unavailable.
void local_timestamp(char* buf, std::size_t cap) noexcept;

}  // namespace Platform
