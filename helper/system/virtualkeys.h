#pragma once
// Key-code mapping between virtual-key codes, keyboard scan codes (set 1, a US
// layout) and the characters of unshifted keys.
//
// Map types: 0 virtual key to scan code, 1 scan code to virtual key (Shift, Ctrl and
// Alt as one key each), 2 virtual key to its unshifted character (letters upper case),
// 3 scan code to virtual key telling left from right (0xE0 in the high byte marks an
// extended scan code), 4 virtual key to scan code with that 0xE0 mark. Anything
// without a mapping, and any other type, gives 0.
#include <cstdint>

namespace TarvikHelper {

uint32_t mapVirtualKey(uint32_t code, uint32_t mapType);

}  // namespace TarvikHelper
