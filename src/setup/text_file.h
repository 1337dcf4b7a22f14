#pragma once
// Small text files whose whole content is their meaning: version stamps and
// the requirements list.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace sv {

// The whole content of a regular file, when it can be read and is valid
// UTF-8; nullopt otherwise (missing, a directory or other special file,
// unreadable, or not UTF-8). Never blocks on a FIFO.
[[nodiscard]] std::optional<std::string> readTextFile(const std::filesystem::path& file);

// Replaces the file with exactly these bytes, or leaves it as it was: the
// text goes to a temporary file beside it, is flushed to disk and then takes
// the file's name in one rename. Throws std::filesystem::filesystem_error
// naming the file when any step fails; the temporary file is removed then.
void writeTextFileAtomically(const std::filesystem::path& file, std::string_view text);

} // namespace sv
