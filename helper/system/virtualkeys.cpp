#include "helper/system/virtualkeys.h"

namespace TarvikHelper {

namespace {

enum Flags : uint8_t {
    kPlain = 0,
    kExtended = 1,  // sent with the 0xE0 prefix
    kGeneric = 2,   // Shift, Ctrl, Alt without a side: found by type 1 only
    kSided = 4,     // the left and right variants: found by type 3 only
    kNumpad = 8,    // shares its scan code with a navigation key, never found from one
};

struct Key {
    uint8_t vk;
    uint8_t scan;
    uint8_t character;
    uint8_t flags;
};

// Reverse lookups take the first match, so the order below decides shared scan codes.
constexpr Key kKeys[] = {
    {0x08, 0x0E, 0x08, kPlain},  // Backspace
    {0x09, 0x0F, 0x09, kPlain},  // Tab
    {0x0D, 0x1C, 0x0D, kPlain},  // Enter
    {0x10, 0x2A, 0, kGeneric},   // Shift
    {0x11, 0x1D, 0, kGeneric},   // Ctrl
    {0x12, 0x38, 0, kGeneric},   // Alt
    {0x13, 0x45, 0, kPlain},     // Pause
    {0x14, 0x3A, 0, kPlain},     // Caps Lock
    {0x1B, 0x01, 0x1B, kPlain},  // Escape
    {0x20, 0x39, ' ', kPlain},
    {0x21, 0x49, 0, kExtended},  // Page Up
    {0x22, 0x51, 0, kExtended},  // Page Down
    {0x23, 0x4F, 0, kExtended},  // End
    {0x24, 0x47, 0, kExtended},  // Home
    {0x25, 0x4B, 0, kExtended},  // Left
    {0x26, 0x48, 0, kExtended},  // Up
    {0x27, 0x4D, 0, kExtended},  // Right
    {0x28, 0x50, 0, kExtended},  // Down
    {0x2C, 0x54, 0, kPlain},     // Print Screen
    {0x2D, 0x52, 0, kExtended},  // Insert
    {0x2E, 0x53, 0, kExtended},  // Delete
    {'0', 0x0B, '0', kPlain},
    {'1', 0x02, '1', kPlain},
    {'2', 0x03, '2', kPlain},
    {'3', 0x04, '3', kPlain},
    {'4', 0x05, '4', kPlain},
    {'5', 0x06, '5', kPlain},
    {'6', 0x07, '6', kPlain},
    {'7', 0x08, '7', kPlain},
    {'8', 0x09, '8', kPlain},
    {'9', 0x0A, '9', kPlain},
    {'A', 0x1E, 'A', kPlain},
    {'B', 0x30, 'B', kPlain},
    {'C', 0x2E, 'C', kPlain},
    {'D', 0x20, 'D', kPlain},
    {'E', 0x12, 'E', kPlain},
    {'F', 0x21, 'F', kPlain},
    {'G', 0x22, 'G', kPlain},
    {'H', 0x23, 'H', kPlain},
    {'I', 0x17, 'I', kPlain},
    {'J', 0x24, 'J', kPlain},
    {'K', 0x25, 'K', kPlain},
    {'L', 0x26, 'L', kPlain},
    {'M', 0x32, 'M', kPlain},
    {'N', 0x31, 'N', kPlain},
    {'O', 0x18, 'O', kPlain},
    {'P', 0x19, 'P', kPlain},
    {'Q', 0x10, 'Q', kPlain},
    {'R', 0x13, 'R', kPlain},
    {'S', 0x1F, 'S', kPlain},
    {'T', 0x14, 'T', kPlain},
    {'U', 0x16, 'U', kPlain},
    {'V', 0x2F, 'V', kPlain},
    {'W', 0x11, 'W', kPlain},
    {'X', 0x2D, 'X', kPlain},
    {'Y', 0x15, 'Y', kPlain},
    {'Z', 0x2C, 'Z', kPlain},
    {0x5B, 0x5B, 0, kExtended},  // left Super (logo) key
    {0x5C, 0x5C, 0, kExtended},  // right Super (logo) key
    {0x5D, 0x5D, 0, kExtended},  // Menu
    {0x60, 0x52, '0', kNumpad},
    {0x61, 0x4F, '1', kNumpad},
    {0x62, 0x50, '2', kNumpad},
    {0x63, 0x51, '3', kNumpad},
    {0x64, 0x4B, '4', kNumpad},
    {0x65, 0x4C, '5', kPlain},  // keypad 5 has no navigation twin
    {0x66, 0x4D, '6', kNumpad},
    {0x67, 0x47, '7', kNumpad},
    {0x68, 0x48, '8', kNumpad},
    {0x69, 0x49, '9', kNumpad},
    {0x6A, 0x37, '*', kPlain},
    {0x6B, 0x4E, '+', kPlain},
    {0x6D, 0x4A, '-', kPlain},
    {0x6E, 0x53, '.', kNumpad},
    {0x6F, 0x35, '/', kExtended},
    {0x70, 0x3B, 0, kPlain},  // F1 to F12
    {0x71, 0x3C, 0, kPlain},
    {0x72, 0x3D, 0, kPlain},
    {0x73, 0x3E, 0, kPlain},
    {0x74, 0x3F, 0, kPlain},
    {0x75, 0x40, 0, kPlain},
    {0x76, 0x41, 0, kPlain},
    {0x77, 0x42, 0, kPlain},
    {0x78, 0x43, 0, kPlain},
    {0x79, 0x44, 0, kPlain},
    {0x7A, 0x57, 0, kPlain},
    {0x7B, 0x58, 0, kPlain},
    {0x90, 0x45, 0, kNumpad},  // Num Lock: Pause owns 0x45 in reverse
    {0x91, 0x46, 0, kPlain},   // Scroll Lock
    {0xA0, 0x2A, 0, kSided},   // left and right Shift, Ctrl, Alt
    {0xA1, 0x36, 0, kSided},
    {0xA2, 0x1D, 0, kSided},
    {0xA3, 0x1D, 0, kSided | kExtended},
    {0xA4, 0x38, 0, kSided},
    {0xA5, 0x38, 0, kSided | kExtended},
    {0xBA, 0x27, ';', kPlain},
    {0xBB, 0x0D, '=', kPlain},
    {0xBC, 0x33, ',', kPlain},
    {0xBD, 0x0C, '-', kPlain},
    {0xBE, 0x34, '.', kPlain},
    {0xBF, 0x35, '/', kPlain},
    {0xC0, 0x29, '`', kPlain},
    {0xDB, 0x1A, '[', kPlain},
    {0xDC, 0x2B, '\\', kPlain},
    {0xDD, 0x1B, ']', kPlain},
    {0xDE, 0x28, '\'', kPlain},
    {0xE2, 0x56, '\\', kPlain},
};

const Key* byVirtualKey(uint32_t vk) {
    for (const auto& key : kKeys)
        if (key.vk == vk) return &key;
    return nullptr;
}

uint32_t scanOf(const Key& key, bool withPrefix) {
    return (withPrefix && (key.flags & kExtended) ? 0xE000u : 0u) | key.scan;
}

// The sideless key of a left or right Shift, Ctrl or Alt.
uint32_t generic(const Key& key) {
    if (!(key.flags & kSided)) return key.vk;
    return key.vk <= 0xA1 ? 0x10u : key.vk <= 0xA3 ? 0x11u : 0x12u;
}

// The first key for a scan code that `skip` leaves: for a code without the 0xE0 mark a
// plain key is preferred; a marked code finds only extended keys.
const Key* byScanCode(uint32_t code, uint8_t skip) {
    const uint32_t prefix = code >> 8;
    if (prefix != 0 && prefix != 0xE0) return nullptr;
    const Key* fallback = nullptr;
    for (const auto& key : kKeys) {
        if ((key.flags & skip) || key.scan != (code & 0xFF)) continue;
        const bool extended = key.flags & kExtended;
        if (prefix == 0xE0 ? extended : !extended) return &key;
        if (prefix == 0 && !fallback) fallback = &key;
    }
    return fallback;
}

}  // namespace

uint32_t mapVirtualKey(uint32_t code, uint32_t mapType) {
    switch (mapType) {
        case 0:
        case 4: {
            const Key* key = byVirtualKey(code);
            return key ? scanOf(*key, mapType == 4) : 0;
        }
        case 2: {
            const Key* key = byVirtualKey(code);
            return key ? key->character : 0;
        }
        case 1: {
            const Key* key = byScanCode(code, kNumpad);
            return key ? generic(*key) : 0;
        }
        case 3: {
            const Key* key = byScanCode(code, kGeneric | kNumpad);
            return key ? key->vk : 0;
        }
        default:
            return 0;
    }
}

}  // namespace TarvikHelper
