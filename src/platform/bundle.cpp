#include "platform/bundle.h"

#include "platform/property_list.h"

namespace sv::platform {

Bundle Bundle::main()
{
    const auto executable = runningExecutable();
    if (!executable)
        return Bundle();
    return containing(*executable);
}

Bundle Bundle::at(std::filesystem::path root)
{
    Bundle bundle;
    bundle.root_ = std::move(root);
    return bundle;
}

Bundle Bundle::containing(const std::filesystem::path& executable)
{
    const auto linuxDir = executable.parent_path();
    const auto contents = linuxDir.parent_path();
    const auto root = contents.parent_path();
    const std::string rootName = root.filename().string();
    if (linuxDir.filename() != "Linux" || contents.filename() != "Contents" || rootName.size() <= 4
        || !rootName.ends_with(".app"))
        return Bundle();
    return at(root);
}

std::optional<std::filesystem::path> Bundle::resourcePath() const
{
    if (!root_)
        return std::nullopt;
    return *root_ / "Contents" / "Resources";
}

std::optional<std::filesystem::path> Bundle::infoPlistPath() const
{
    if (!root_)
        return std::nullopt;
    return *root_ / "Contents" / "Info.plist";
}

std::optional<std::map<std::string, std::string>> Bundle::info() const
{
    const auto path = infoPlistPath();
    if (!path)
        return std::nullopt;
    auto plist = PropertyList::load(*path);
    if (!plist)
        return std::nullopt;
    return plist->strings();
}

const char* builtInBundleIdentifier() { return SV_BUNDLE_IDENTIFIER; }

std::optional<std::filesystem::path> runningExecutable()
{
    std::error_code ec;
    auto executable = std::filesystem::canonical("/proc/self/exe", ec);
    if (ec)
        return std::nullopt;
    return executable;
}

} // namespace sv::platform
