#pragma once
// An app bundle on disk: X.app/Contents/{Info.plist, Linux/<exe>, Resources/}.

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace sv::platform {

class Bundle {
public:
    // The bundle that holds the running executable; a bundle without a root
    // when the executable does not live inside one.
    static Bundle main();
    // The bundle rooted at the given X.app directory.
    static Bundle at(std::filesystem::path root);
    // The bundle around an executable path, by layout.
    static Bundle containing(const std::filesystem::path& executable);

    [[nodiscard]] const std::optional<std::filesystem::path>& root() const { return root_; }
    [[nodiscard]] std::optional<std::filesystem::path> resourcePath() const;
    [[nodiscard]] std::optional<std::filesystem::path> infoPlistPath() const;
    // The string-valued entries of the information dictionary; nullopt when
    // there is no bundle or its Info.plist is missing or broken.
    [[nodiscard]] std::optional<std::map<std::string, std::string>> info() const;

private:
    std::optional<std::filesystem::path> root_;
};

// The identifier used when the bundle does not name one: the build's own.
const char* builtInBundleIdentifier();

// The real path of the running executable, links resolved.
[[nodiscard]] std::optional<std::filesystem::path> runningExecutable();

} // namespace sv::platform
