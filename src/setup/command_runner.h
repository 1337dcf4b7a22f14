#pragma once
// Running external programs with a controlled search path, and finding them.

#include "base/globals.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace sv {

// Provisioning stops with one of these; `message` is the complete text the
// user is shown, read directly by whoever catches it. what() returns the same
// text so a generic catch still has something meaningful.
struct SetupError : std::exception {
    explicit SetupError(std::string text)
        : message(std::move(text))
    {
    }
    [[nodiscard]] const char* what() const noexcept override { return message.c_str(); }

    std::string message;
};

// How much of a child's output run() keeps: the end of it, which is what
// says why a command failed. A child that prints without end must not take
// the app's memory with it.
inline constexpr std::size_t keptOutputBytes = std::size_t { 1 } << 20;
// For output that must be read whole, and whose size something else bounds.
inline constexpr std::size_t wholeOutput = SIZE_MAX;

struct RunResult {
    // The child's exit status (or the number of the signal that ended it),
    // or -1 when it could not be started.
    int status = -1;
    // Standard output and standard error as one text, in the order the child
    // wrote them, or its last `keep` bytes when it wrote more (from the first
    // whole character on, so at most three bytes fewer); empty when
    // the bytes, all of them, are not valid UTF-8. When the child could not
    // be started: a description of why.
    std::string output;
};

// Runs the program at `path` (a file path, never looked up) with `arguments`
// (passed verbatim, without a shell; the child's argv[0] is `path`), in `cwd`
// when given or else in this process's working directory, and keeps the last
// `keep` bytes of what it prints.
//
// The child gets the app's environment (see childEnvironment) with PATH
// replaced by `globals.searchPath`, the same standard input, one pipe as both standard
// output and standard error, and no other descriptor of this process.
// Blocks until the child and everything that inherited its output have
// closed the pipe and the child has exited. Whatever the child does, this
// only fails by returning (short of memory for about three times `keep`
// running out, which throws std::bad_alloc). Reentrant and safe to call from
// several threads at once.
[[nodiscard]] RunResult run(const Globals& globals, const std::string& path,
    const std::vector<std::string>& arguments, const std::optional<std::string>& cwd = std::nullopt,
    std::size_t keep = keptOutputBytes);

// The first "<directory>/<name>" that is an executable regular file, trying
// the directories of `globals.searchPath` in order and, within each, the
// names in the caller's order: directory order wins over name order. Empty
// pieces of the search path are skipped; this process's own PATH is never
// consulted.
[[nodiscard]] std::optional<std::string> which(const Globals& globals, const std::vector<std::string>& names);

// This process's environment as the app received it (without what the app
// set for its own use) with PATH replaced by (or set to) searchPath, as every
// child of the app gets it.
[[nodiscard]] std::vector<std::string> childEnvironment(const std::string& searchPath);

// argv/envp for the exec family: pointers into `strings`, then a null.
[[nodiscard]] std::vector<char*> cStringArray(std::vector<std::string>& strings);

// True when `path` (following symbolic links) is a regular file that this
// process may execute.
[[nodiscard]] bool isExecutableFile(const std::string& path);

} // namespace sv
