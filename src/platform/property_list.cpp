#include "platform/property_list.h"

#include <plist/plist.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace sv::platform {
namespace {

struct PlistDeleter {
    void operator()(void* node) const
    {
        if (node)
            plist_free(static_cast<plist_t>(node));
    }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Property list files are small; anything much larger is not ours.
constexpr std::uintmax_t maxFileSize = 16 * 1024 * 1024;

plist_t item(void* root, const std::string& key)
{
    return plist_dict_get_item(static_cast<plist_t>(root), key.c_str());
}

// Whether a key or a string anywhere in the tree holds a NUL byte. The library
// takes one in from a raw NUL in XML or a U+0000 in a binary UTF-16 string,
// and its getters for keys and strings then abort the whole process. Written
// out as XML, such a NUL shows wherever it sits.
bool holdsNulByte(plist_t node)
{
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    const bool found = !xml || std::memchr(xml, '\0', length) != nullptr;
    plist_to_xml_free(xml);
    return found;
}

} // namespace

PropertyList::PropertyList() : root_(plist_new_dict()) {}

PropertyList::PropertyList(void* root) : root_(root) {}

PropertyList::~PropertyList() { PlistDeleter()(root_); }

PropertyList::PropertyList(PropertyList&& other) noexcept : root_(std::exchange(other.root_, nullptr)) {}

PropertyList& PropertyList::operator=(PropertyList&& other) noexcept
{
    std::swap(root_, other.root_);
    return *this;
}

std::optional<PropertyList> PropertyList::parse(const std::string& bytes)
{
    if (bytes.empty() || bytes.size() > maxFileSize)
        return std::nullopt;
    plist_t node = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    PlistPtr owned(node);
    if (!node || plist_get_node_type(node) != PLIST_DICT)
        return std::nullopt;
    // No property list writer makes such a file; it is damaged, not ours to read.
    if (holdsNulByte(node))
        return std::nullopt;
    return PropertyList(owned.release());
}

std::optional<PropertyList> PropertyList::load(const std::filesystem::path& file)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec || size > maxFileSize)
        return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return parse(bytes.str());
}

std::optional<std::string> PropertyList::string(const std::string& key) const
{
    plist_t node = item(root_, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string result = value ? value : "";
    free(value);
    return result;
}

std::optional<std::int64_t> PropertyList::integer(const std::string& key) const
{
    plist_t node = item(root_, key);
    if (!node || plist_get_node_type(node) != PLIST_UINT)
        return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    // libplist 2.2 keeps every integer as 64 unsigned bits; negative values
    // come back as their two's complement.
    return static_cast<std::int64_t>(value);
}

std::optional<bool> PropertyList::boolean(const std::string& key) const
{
    plist_t node = item(root_, key);
    if (!node || plist_get_node_type(node) != PLIST_BOOLEAN)
        return std::nullopt;
    uint8_t value = 0;
    plist_get_bool_val(node, &value);
    return value != 0;
}

std::map<std::string, std::string> PropertyList::strings() const
{
    std::map<std::string, std::string> result;
    // A damaged binary dictionary may name a key twice. Only its first entry
    // counts, whatever its type, as for a lookup of that key by string().
    std::set<std::string> seen;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(static_cast<plist_t>(root_), &it);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(static_cast<plist_t>(root_), it, &key, &value);
        if (!value) {
            free(key);
            break;
        }
        if (seen.insert(key).second && plist_get_node_type(value) == PLIST_STRING) {
            char* text = nullptr;
            plist_get_string_val(value, &text);
            result.emplace(key, text ? text : "");
            free(text);
        }
        free(key);
    }
    free(it);
    return result;
}

void PropertyList::setString(const std::string& key, const std::string& value)
{
    plist_dict_set_item(static_cast<plist_t>(root_), key.c_str(), plist_new_string(value.c_str()));
}

void PropertyList::setInteger(const std::string& key, std::int64_t value)
{
    plist_dict_set_item(static_cast<plist_t>(root_), key.c_str(), plist_new_uint(static_cast<uint64_t>(value)));
}

void PropertyList::setBoolean(const std::string& key, bool value)
{
    plist_dict_set_item(static_cast<plist_t>(root_), key.c_str(), plist_new_bool(value ? 1 : 0));
}

std::string PropertyList::toXML() const
{
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(static_cast<plist_t>(root_), &xml, &length);
    std::string result(xml ? xml : "", xml ? length : 0);
    plist_to_xml_free(xml);
    return result;
}

bool PropertyList::save(const std::filesystem::path& file) const
{
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    const std::filesystem::path temporary = file.string() + ".tmp-" + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << toXML();
        out.flush();
        if (!out) {
            std::filesystem::remove(temporary, ec);
            return false;
        }
    }
    std::filesystem::rename(temporary, file, ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
        return false;
    }
    return true;
}

} // namespace sv::platform
