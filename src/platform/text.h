#pragma once
// Text as people count it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sv::platform {

// The last `count` user-perceived characters (grapheme clusters) of UTF-8
// text; all of it when shorter. A cut never splits a character, a combining
// sequence or an emoji sequence. Invalid UTF-8 is cut by bytes' code points
// as best it can and never read out of bounds.
[[nodiscard]] std::string lastCharacters(std::string_view utf8, std::size_t count);

// A size in bytes as people read it, in decimal units: "532 bytes",
// "12.3 MB", "1.1 GB".
[[nodiscard]] std::string formatByteSize(std::uint64_t bytes);

// The number of user-perceived characters.
[[nodiscard]] std::size_t characterCount(std::string_view utf8);

} // namespace sv::platform
