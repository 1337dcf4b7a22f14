#include "update/package_install.h"

#include "update/package_verify.h"
#include "update/update_error.h"

namespace sv {

std::filesystem::path preparePackage(std::string_view package, std::string_view expectedSHA256,
    std::string_view signatureBase64, const std::filesystem::path& workDirectory,
    const InstallEnvironment& environment)
{
    // Nothing touches the disk before the bytes are known to be the publisher's.
    verifyPackage(package, expectedSHA256, signatureBase64, environment.publicKey);
    const auto archive = writePackage(workDirectory, package);
    unpackPackage(archive, workDirectory, environment.run);
    const auto newBundle = findNewBundle(workDirectory);
    checkNewBundle(newBundle, environment.running);
    // Last, so that the user is told to move the app only about an update
    // that would otherwise have been installed.
    checkAppFolderWritable(environment.running.bundle);
    return newBundle;
}

std::string_view abandonInstall(const std::filesystem::path& workDirectory, const std::exception_ptr& failure) noexcept
{
    removeWorkDirectory(workDirectory);
    return informativeText(failure);
}

} // namespace sv
