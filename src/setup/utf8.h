#pragma once
// Strict UTF-8 checking for text read from files and from child processes.

#include <cstddef>
#include <string_view>

namespace sv {

// How far a byte string is well-formed UTF-8, scanning from its start.
struct Utf8Scan {
    // Bytes at the start that form complete, well-formed sequences.
    std::size_t validLength = 0;
    // True when the byte at validLength starts an ill-formed sequence; false
    // when the scan stopped only because the bytes ran out in the middle of a
    // sequence that may still be completed by more input.
    bool invalid = false;
};

// Rejects what the Unicode standard rejects: stray continuation bytes,
// overlong forms, surrogates and values above U+10FFFF. Mostly-ASCII input,
// which is what compilers and installers print, is checked eight bytes at a
// time.
[[nodiscard]] Utf8Scan scanUtf8(std::string_view bytes);

[[nodiscard]] inline bool isValidUtf8(std::string_view bytes)
{
    const Utf8Scan scan = scanUtf8(bytes);
    return !scan.invalid && scan.validLength == bytes.size();
}

} // namespace sv
