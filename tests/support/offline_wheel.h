#pragma once
// A Python package that tests install for real, built offline by the test
// itself: pip never reaches an index.

#include <filesystem>
#include <string>

namespace sv::test {

inline constexpr const char* systemPython = "/usr/bin/python3";

// Writes the pure-Python wheel "svprobe-<version>-py3-none-any.whl" into
// `directory` with the machine's own interpreter. Its module svprobe has
// VALUE = "probe <version>". Returns the interpreter's output when it fails,
// empty on success.
[[nodiscard]] std::string buildOfflineWheel(const std::filesystem::path& directory, const std::string& version);

// A requirements text that installs svprobe==<version> from `wheels` only.
[[nodiscard]] std::string offlineRequirements(const std::filesystem::path& wheels, const std::string& version);

// What `import svprobe; print(svprobe.VALUE)` prints for that version.
[[nodiscard]] std::string probeOutput(const std::string& version);

} // namespace sv::test
