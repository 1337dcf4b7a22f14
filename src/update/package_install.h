#pragma once
// The part of installing an update that lies between the download and the
// swap script, as one call, and the one failure path that all steps share.
//
// install(info) runs, in this order:
//   work = newWorkDirectoryPath(<the user's temporary directory>);
//   file = createWorkDirectory(work);
//   <download info.url into file, showing progress>;
//   newBundle = preparePackage(work, info.sha256, info.signature, environment);
//   plan = planSwap(getpid(), <server pid>, running.bundle, work);
//   stageNewBundle(newBundle, plan, run);
//   <ask whether the app may quit now; "no" ends the install like Cancel>;
//   swapLock = takeSwapLock(...);
//   startSwapScript(swapScriptArguments(plan));
//   terminate();
// and on any exception from the download on:
//   removeTree(plan.staged);
//   alert(updateNotInstalledTitle, abandonInstall(work, std::current_exception()));

#include "update/package_check.h"
#include "update/package_unpack.h"

#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sv {

// What an install checks the package against, fixed for the app's lifetime.
struct InstallEnvironment {
    std::vector<std::string> publicKeys; // Base64 texts of the trusted keys (updatePublicKeys() in the app)
    RunningApp running;                  // runningAppFrom(platform::Bundle::main()) in the app
    ProgramRunner run;                   // runs the extractor
    // Called once the package has passed verification, before it is unpacked.
    std::function<void()> verified;
};

// Verifies the package that the download left in the work directory as
// "update.zip" (signature, then digest), and only then unpacks it there,
// finds the new bundle, checks it against the running app and checks that
// the app's folder can be written. Returns the new bundle's path inside the
// work directory. Throws UpdateFailure for the installation's own failures
// and other exceptions for the rest; the work directory is left to
// abandonInstall. Runs on any thread.
[[nodiscard]] std::filesystem::path preparePackage(const std::filesystem::path& workDirectory,
    std::string_view expectedSHA256, std::string_view signatureBase64, const InstallEnvironment& environment);

// The failure path's housekeeping: removes the work directory (whether or
// not it was ever created) and returns the informative text to show under
// updateNotInstalledTitle.
[[nodiscard]] std::string_view abandonInstall(
    const std::filesystem::path& workDirectory, const std::exception_ptr& failure) noexcept;

} // namespace sv
