// The strict Base64 decoder against a plain reading of the rules it follows:
// it accepts exactly the canonical texts, and what it accepts encodes back
// to the same text. Any bytes also survive encoding and decoding.

#include "fuzz_support.h"
#include "platform/crypto.h"

#include <string>

namespace {

constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Whether the text is canonical padded standard Base64, judged letter by letter.
bool canonical(std::string_view text)
{
    if (text.size() % 4 != 0)
        return false;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
        ++padding;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        if (alphabet.find(text[i]) == std::string_view::npos)
            return false;
    }
    if (padding == 0)
        return true;
    // One "=" leaves two unused bits in the letter before it, two leave four.
    const auto last = alphabet.find(text[text.size() - padding - 1]);
    const std::size_t unusedMask = padding == 1 ? 0x03 : 0x0f;
    return (last & unusedMask) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace sv;
    const std::string_view input = fuzz::text(data, size);

    const auto decoded = platform::base64Decode(input);
    fuzz::require(decoded.has_value() == canonical(input), "accepts exactly the canonical texts");
    if (decoded) {
        const std::size_t padding = input.ends_with("==") ? 2 : input.ends_with('=') ? 1 : 0;
        fuzz::require(decoded->size() == input.size() / 4 * 3 - padding, "three bytes per four letters");
        fuzz::require(platform::base64Encode(*decoded) == input, "decoding then encoding gives the text back");
    }

    const std::string encoded = platform::base64Encode(input);
    fuzz::require(encoded.size() == (input.size() + 2) / 3 * 4, "four letters per three bytes");
    fuzz::require(platform::base64Decode(encoded) == std::optional<std::string>(input),
        "encoding then decoding gives the bytes back");
    return 0;
}
