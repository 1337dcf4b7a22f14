#include "setup/utf8.h"

#include <cstdint>
#include <cstring>

namespace sv {

Utf8Scan scanUtf8(std::string_view bytes)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        // Skip a run of ASCII a word at a time.
        while (i + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, data + i, sizeof word);
            if (word & 0x8080808080808080ULL)
                break;
            i += 8;
        }
        if (i >= size)
            break;
        const unsigned char lead = data[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }

        // Table 3-7 of the Unicode standard: the lead byte fixes the length
        // and the range of the second byte; later bytes are 80..BF.
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                low = 0xA0; // overlong
            else if (lead == 0xED)
                high = 0x9F; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                low = 0x90; // overlong
            else if (lead == 0xF4)
                high = 0x8F; // above U+10FFFF
        } else {
            return { i, true };
        }

        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= size)
                return { i, false };
            const unsigned char c = data[i + k];
            const unsigned char min = k == 1 ? low : 0x80;
            const unsigned char max = k == 1 ? high : 0xBF;
            if (c < min || c > max)
                return { i, true };
        }
        i += length;
    }
    return { size, false };
}

} // namespace sv
