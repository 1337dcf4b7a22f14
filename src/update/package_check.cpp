#include "update/package_check.h"

#include "base/bundle_info.h"
#include "update/update_error.h"

#include <fcntl.h>
#include <unistd.h>

namespace sv {

RunningApp runningAppFrom(const platform::Bundle& bundle)
{
    const auto info = bundle.info();
    return RunningApp { bundle.root().value_or(std::filesystem::path()), identifierFromInfo(info),
        buildFromInfo(info) };
}

std::filesystem::path findNewBundle(const std::filesystem::path& workDirectory)
{
    for (const auto& entry : std::filesystem::directory_iterator(workDirectory)) {
        // ".app" alone is a hidden file without an extension, as elsewhere.
        if (entry.path().extension() == ".app")
            return entry.path();
    }
    throw UpdateFailure(UpdateError::badPackage);
}

void checkNewBundle(const std::filesystem::path& newBundle, const RunningApp& running)
{
    // A link would be moved into the app's place as a link, pointing who
    // knows where; only a directory is a bundle.
    std::error_code ec;
    if (std::filesystem::symlink_status(newBundle, ec).type() != std::filesystem::file_type::directory)
        throw UpdateFailure(UpdateError::badPackage);

    const auto info = platform::Bundle::at(newBundle).info();
    if (identifierFromInfo(info) != running.identifier)
        throw UpdateFailure(UpdateError::badPackage);
    if (buildFromInfo(info) <= running.build)
        throw UpdateFailure(UpdateError::badPackage);
    // Swapped in, a bundle whose executable cannot run would replace a
    // working app with a dead one.
    const auto executable = newBundle / bundleExecutable;
    if (!std::filesystem::is_regular_file(executable, ec)
        || ::faccessat(AT_FDCWD, executable.c_str(), X_OK, AT_EACCESS) != 0)
        throw UpdateFailure(UpdateError::badPackage);
}

void checkAppFolderWritable(const std::filesystem::path& runningBundle)
{
    // An app that runs outside a bundle has nothing to replace.
    if (runningBundle.empty())
        throw UpdateFailure(UpdateError::notWritable);
    auto bundle = runningBundle;
    if (!bundle.has_filename()) // "/Applications/Sandvoll.app/"
        bundle = bundle.parent_path();
    auto folder = bundle.parent_path();
    if (folder.empty())
        folder = ".";
    // access() answers for the real user, as the permission to write there is
    // the user's, whatever the process may have been granted.
    if (::access(folder.c_str(), W_OK) != 0)
        throw UpdateFailure(UpdateError::notWritable);
}

} // namespace sv
