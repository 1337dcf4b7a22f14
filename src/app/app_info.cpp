#include "app/app_info.h"

#include "platform/bundle.h"

namespace sv {

std::string appBundleIdentifier()
{
    if (auto identifier = identifierFromInfo(platform::Bundle::main().info()); identifier && !identifier->empty())
        return *identifier;
    return platform::builtInBundleIdentifier();
}

std::string appVersion() { return versionFromInfo(platform::Bundle::main().info()); }

std::int64_t appBuild() { return buildFromInfo(platform::Bundle::main().info()); }

} // namespace sv
