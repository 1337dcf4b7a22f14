#pragma once
// The shell script that replaces the app's bundle once the app has quit and
// starts the new version. It runs outside the app, which is gone by then.

#include <filesystem>
#include <string>
#include <string_view>

namespace sv {

// The text as one single-quoted shell word: each ' becomes '\'' and nothing
// else changes, so blanks, $, backticks and line feeds stay literal.
[[nodiscard]] std::string shellQuote(std::string_view text);

// Six lines, joined by line feeds, none after the last: wait until the
// process `pid` is gone, delete the old bundle, move the new bundle to its
// path, clear the quarantine mark, start the app at the old path detached
// from the script, delete the work directory. Each line runs whether or not
// the one before it succeeded.
[[nodiscard]] std::string swapScriptText(int pid, const std::filesystem::path& bundle,
    const std::filesystem::path& newBundle, const std::filesystem::path& workDirectory);

// Starts `/bin/sh -c <script>` in a session of its own, so that it outlives
// the app and the app's terminal, and does not wait for it. It inherits the
// app's environment and standard streams and no other open files. Throws
// std::system_error when the shell cannot be started; the caller then keeps
// running and reports a download failure.
void startSwapScript(const std::string& script, const std::filesystem::path& shell = "/bin/sh");

} // namespace sv
