#include "setup/utf8.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace sv {
namespace {

constexpr std::uint64_t highBits = 0x8080808080808080ULL;

std::uint64_t load8(const unsigned char* p)
{
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The index of the first byte in memory order whose high bit is set, given
// the word's high bits (not zero).
std::size_t firstHighByte(std::uint64_t mask)
{
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<std::size_t>(std::countr_zero(mask)) / 8;
    else
        return static_cast<std::size_t>(std::countl_zero(mask)) / 8;
}

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

} // namespace

Utf8Scan scanUtf8(std::string_view bytes)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        // ASCII is skipped a word at a time, landing on the first byte that
        // is not ASCII.
        if (i + 8 <= size) {
            if (i + 16 <= size && !((load8(data + i) | load8(data + i + 8)) & highBits)) {
                i += 16;
                continue;
            }
            const std::uint64_t mask = load8(data + i) & highBits;
            if (!mask) {
                i += 8;
                continue;
            }
            i += firstHighByte(mask);
        } else if (data[i] < 0x80) {
            ++i;
            continue;
        }

        // Table 3-7 of the Unicode standard: the lead byte fixes the length
        // and the range of the second byte (which excludes overlong forms,
        // surrogates and values above U+10FFFF); later bytes are 80..BF.
        const unsigned char lead = data[i];
        const std::size_t left = size - i;
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return { i, true };
        }
        if (left < 2)
            return { i, false };
        if (data[i + 1] < low || data[i + 1] > high)
            return { i, true };
        for (std::size_t k = 2; k < length; ++k) {
            if (k >= left)
                return { i, false };
            if (!isContinuation(data[i + k]))
                return { i, true };
        }
        i += length;
    }
    return { size, false };
}

} // namespace sv
