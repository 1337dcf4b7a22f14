#pragma once
// The part of installing an update that lies between the download and the
// swap script, as one call, and the one failure path that all steps share.
//
// install(info) runs, in this order:
//   work = newWorkDirectoryPath();
//   package = <download info.url, read the file whole>;
//   newBundle = preparePackage(package, info.sha256, info.signature, work, environment);
//   startSwapScript(swapScriptText(getpid(), running.bundle, newBundle, work));
//   terminate();
// and on any exception from the download on:
//   alert(updateNotInstalledTitle, abandonInstall(work, std::current_exception()));

#include "update/package_check.h"
#include "update/package_unpack.h"

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

namespace sv {

// What an install checks the package against, fixed for the app's lifetime.
struct InstallEnvironment {
    std::string publicKey; // Base64 text of the trusted Ed25519 key (updatePublicKey() in the app)
    RunningApp running;    // runningAppFrom(platform::Bundle::main()) in the app
    ProgramRunner run;     // runs the extractor
};

// Verifies the downloaded package (signature, then digest), and only then
// creates the work directory, writes "update.zip", unpacks it, finds the new
// bundle, checks it against the running app and checks that the app's
// folder can be written. Returns the new bundle's path inside the work
// directory. Throws UpdateFailure for the installation's own failures and
// other exceptions for the rest; the work directory is left to abandonInstall.
[[nodiscard]] std::filesystem::path preparePackage(std::string_view package, std::string_view expectedSHA256,
    std::string_view signatureBase64, const std::filesystem::path& workDirectory,
    const InstallEnvironment& environment);

// The failure path's housekeeping: removes the work directory (whether or
// not it was ever created) and returns the informative text to show under
// updateNotInstalledTitle.
[[nodiscard]] std::string_view abandonInstall(
    const std::filesystem::path& workDirectory, const std::exception_ptr& failure) noexcept;

} // namespace sv
