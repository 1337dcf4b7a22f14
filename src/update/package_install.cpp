#include "update/package_install.h"

#include "update/package_verify.h"
#include "update/update_error.h"

namespace sv {

std::filesystem::path preparePackage(const std::filesystem::path& workDirectory, std::string_view expectedSHA256,
    std::string_view signatureBase64, const InstallEnvironment& environment)
{
    // Nothing is unpacked before the bytes are known to be the publisher's.
    const auto archive = workDirectory / packageFileName;
    verifyPackageFile(archive, expectedSHA256, signatureBase64, environment.publicKeys);
    if (environment.verified)
        environment.verified();
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
    removeTree(workDirectory);
    return informativeText(failure);
}

} // namespace sv
