#pragma once
// Text made into one shell word, for the scripts that tests write.

#include <string>
#include <string_view>

namespace sv::test {

// The text as one single-quoted shell word: each ' becomes '\'' and nothing
// else changes, so blanks, $, backticks and line feeds stay literal.
[[nodiscard]] inline std::string shellQuote(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

} // namespace sv::test
