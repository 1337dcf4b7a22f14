#pragma once
// Property lists (XML or binary) with a dictionary at the top: bundle
// information and the user defaults file. They are always written as XML.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace sv::platform {

class PropertyList {
public:
    // An empty dictionary.
    PropertyList();
    ~PropertyList();
    PropertyList(PropertyList&&) noexcept;
    PropertyList& operator=(PropertyList&&) noexcept;
    PropertyList(const PropertyList&) = delete;
    PropertyList& operator=(const PropertyList&) = delete;

    // The file's top-level dictionary; nullopt when the file is missing,
    // unreadable, not a property list, holds something other than a dictionary,
    // or has a NUL byte inside a key or a string.
    static std::optional<PropertyList> load(const std::filesystem::path& file);
    static std::optional<PropertyList> parse(const std::string& bytes);

    // A value is returned only when the key is present and of that type.
    [[nodiscard]] std::optional<std::string> string(const std::string& key) const;
    [[nodiscard]] std::optional<std::int64_t> integer(const std::string& key) const;
    [[nodiscard]] std::optional<bool> boolean(const std::string& key) const;
    // Every top-level entry whose value is a string.
    [[nodiscard]] std::map<std::string, std::string> strings() const;

    void setString(const std::string& key, const std::string& value);
    void setInteger(const std::string& key, std::int64_t value);
    void setBoolean(const std::string& key, bool value);

    // Writes XML beside the target and renames it into place, creating the
    // parent directories. Returns false when it could not be written.
    [[nodiscard]] bool save(const std::filesystem::path& file) const;
    [[nodiscard]] std::string toXML() const;

private:
    // The tree the file holds. Values of every type are kept, so that what is
    // not ours to change is written back as it was read.
    struct Dictionary;
    explicit PropertyList(std::unique_ptr<Dictionary> root);
    std::unique_ptr<Dictionary> root_;
};

} // namespace sv::platform
