#include "elf_needs.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <elf.h>
#include <fstream>
#include <iterator>
#include <string_view>

namespace sv::tools {
namespace {

// Executables are a few megabytes; this keeps a wrong path from reading a disk image.
constexpr std::uintmax_t maxFileSize = 512u * 1024 * 1024;

class Image {
public:
    explicit Image(std::string bytes) : bytes_(std::move(bytes)) {}

    // A copy of the structure at `offset`, or nothing where it does not fit.
    template<typename T>
    [[nodiscard]] std::optional<T> at(std::uint64_t offset) const
    {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T))
            return std::nullopt;
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        return value;
    }

    // The NUL-terminated string at `offset` of the string table `table`.
    [[nodiscard]] std::optional<std::string> string(const Elf64_Shdr& table, std::uint64_t offset) const
    {
        if (table.sh_type != SHT_STRTAB || offset >= table.sh_size || table.sh_offset > bytes_.size()
            || bytes_.size() - table.sh_offset < table.sh_size)
            return std::nullopt;
        const std::string_view strings(bytes_.data() + table.sh_offset, table.sh_size);
        const auto end = strings.find('\0', offset);
        if (end == std::string_view::npos)
            return std::nullopt;
        return std::string(strings.substr(offset, end - offset));
    }

private:
    std::string bytes_;
};

std::vector<unsigned long> numbers(std::string_view dotted)
{
    std::vector<unsigned long> result;
    std::size_t start = 0;
    while (start <= dotted.size()) {
        const auto dot = std::min(dotted.find('.', start), dotted.size());
        unsigned long value = 0;
        for (char c : dotted.substr(start, dot - start))
            value = value * 10 + static_cast<unsigned long>(c - '0');
        result.push_back(value);
        start = dot + 1;
    }
    return result;
}

bool isDottedNumber(std::string_view text)
{
    return !text.empty() && text.front() != '.' && text.back() != '.'
        && text.find("..") == std::string_view::npos
        && std::all_of(text.begin(), text.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

} // namespace

std::optional<ElfNeeds> readElfNeeds(const std::filesystem::path& file)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error || size > maxFileSize)
        return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    const Image image { std::string(std::istreambuf_iterator<char>(in), {}) };

    const auto header = image.at<Elf64_Ehdr>(0);
    const bool littleEndian = std::endian::native == std::endian::little;
    if (!header || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != ELFCLASS64
        || header->e_ident[EI_DATA] != (littleEndian ? ELFDATA2LSB : ELFDATA2MSB)
        || header->e_shentsize != sizeof(Elf64_Shdr))
        return std::nullopt;
    const auto section = [&](std::uint64_t index) -> std::optional<Elf64_Shdr> {
        if (index >= header->e_shnum)
            return std::nullopt;
        return image.at<Elf64_Shdr>(header->e_shoff + index * sizeof(Elf64_Shdr));
    };

    ElfNeeds needs;
    for (std::uint64_t index = 0; index < header->e_shnum; ++index) {
        const auto current = section(index);
        if (!current)
            return std::nullopt;
        if (current->sh_type != SHT_DYNAMIC && current->sh_type != SHT_GNU_verneed)
            continue;
        const auto strings = section(current->sh_link);
        if (!strings)
            return std::nullopt;
        if (current->sh_type == SHT_DYNAMIC) {
            for (std::uint64_t at = 0; at + sizeof(Elf64_Dyn) <= current->sh_size; at += sizeof(Elf64_Dyn)) {
                const auto entry = image.at<Elf64_Dyn>(current->sh_offset + at);
                if (!entry)
                    return std::nullopt;
                if (entry->d_tag == DT_NULL)
                    break;
                if (entry->d_tag != DT_NEEDED)
                    continue;
                auto name = image.string(*strings, entry->d_un.d_val);
                if (!name)
                    return std::nullopt;
                needs.libraries.push_back(std::move(*name));
            }
            continue;
        }
        // The version needs: one record per library, each with a chain of
        // the versions it needs; sh_info counts the records.
        std::uint64_t record = current->sh_offset;
        for (std::uint64_t count = 0; count < current->sh_info; ++count) {
            const auto need = image.at<Elf64_Verneed>(record);
            if (!need)
                return std::nullopt;
            auto library = image.string(*strings, need->vn_file);
            if (!library)
                return std::nullopt;
            auto& versions = needs.versions[*library];
            std::uint64_t auxiliary = record + need->vn_aux;
            for (std::uint64_t taken = 0; taken < need->vn_cnt; ++taken) {
                const auto version = image.at<Elf64_Vernaux>(auxiliary);
                if (!version)
                    return std::nullopt;
                auto name = image.string(*strings, version->vna_name);
                if (!name)
                    return std::nullopt;
                versions.push_back(std::move(*name));
                if (version->vna_next == 0)
                    break;
                auxiliary += version->vna_next;
            }
            if (need->vn_next == 0)
                break;
            record += need->vn_next;
        }
    }
    return needs;
}

std::string highestVersion(const ElfNeeds& needs, const std::string& prefix)
{
    std::string best;
    for (const auto& [library, versions] : needs.versions) {
        for (const auto& version : versions) {
            if (!version.starts_with(prefix))
                continue;
            const auto dotted = std::string_view(version).substr(prefix.size());
            if (isDottedNumber(dotted) && (best.empty() || numbers(dotted) > numbers(best)))
                best = std::string(dotted);
        }
    }
    return best;
}

bool isPortableLibrary(const std::string& soname)
{
    // glibc's own libraries, the C++ runtime, GLib, GTK 4, Pango, the web
    // engine and its JavaScript engine, libepoxy, libcurl and libcrypto: each
    // keeps its soname across the releases of every current distribution.
    static constexpr std::array names {
        "libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2",
        "ld-linux-aarch64.so.1", "libstdc++.so.6", "libgcc_s.so.1", "libglib-2.0.so.0", "libgobject-2.0.so.0",
        "libgio-2.0.so.0", "libgmodule-2.0.so.0", "libgtk-4.so.1", "libpango-1.0.so.0", "libpangocairo-1.0.so.0",
        "libwebkitgtk-6.0.so.4", "libjavascriptcoregtk-6.0.so.1", "libepoxy.so.0", "libcurl.so.4",
        "libcrypto.so.3",
    };
    return std::find(names.begin(), names.end(), soname) != names.end();
}

} // namespace sv::tools
