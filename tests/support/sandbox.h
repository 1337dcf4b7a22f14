#pragma once
// A temporary directory that a test owns and that is removed afterwards.

#include <filesystem>
#include <string>

namespace sv::test {

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return root_; }
    std::filesystem::path operator/(const std::string& relative) const { return root_ / relative; }

private:
    std::filesystem::path root_;
};

// Writes a file, creating its parent directories.
void writeFile(const std::filesystem::path& file, const std::string& content);
[[nodiscard]] std::string readFile(const std::filesystem::path& file);

} // namespace sv::test
