#pragma once
// What an executable asks of the system that runs it, read from its ELF
// file: the shared libraries it needs (DT_NEEDED) and the symbol versions it
// needs of each (GLIBC_2.34, GLIBCXX_3.4.30...). A release built on a newer
// system than its users' fails to load on theirs, so the publisher sees these
// before the release goes out.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sv::tools {

struct ElfNeeds {
    std::vector<std::string> libraries;                         // in the file's order
    std::map<std::string, std::vector<std::string>> versions;   // per library file
};

// Nothing when the file cannot be read or is not a 64-bit ELF file of this
// machine's byte order, or when its tables point outside the file.
[[nodiscard]] std::optional<ElfNeeds> readElfNeeds(const std::filesystem::path& file);

// The highest version of those named `prefix` + dotted numbers ("GLIBC_"
// gives "2.34" of GLIBC_2.34), compared number by number; empty when none is.
[[nodiscard]] std::string highestVersion(const ElfNeeds& needs, const std::string& prefix);

// The libraries that every current Linux desktop ships under the same name,
// and so the only ones a release may need.
[[nodiscard]] bool isPortableLibrary(const std::string& soname);

} // namespace sv::tools
