#pragma once
// Runs a program and collects its status and output, for tests that need a
// real child process without the app's command runner.

#include "update/package_unpack.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace sv::test {

// Standard input is /dev/null; standard output and error share one pipe.
// The status is the exit status, 128 + the signal for a killed child, or -1
// when the program could not be started.
ProgramResult runLocally(const std::filesystem::path& executable, const std::vector<std::string>& arguments);

// runLocally as the install steps take it.
inline ProgramRunner localRunner()
{
    return [](const std::filesystem::path& executable, const std::vector<std::string>& arguments) {
        return runLocally(executable, arguments);
    };
}

// A work directory as a finished download leaves it: private to the user,
// with the package as "update.zip".
inline void downloadInto(const std::filesystem::path& workDirectory, const std::string& package)
{
    const auto file = createWorkDirectory(workDirectory);
    if (!writeAll(file.get(), package))
        throw std::runtime_error("cannot write " + workDirectory.string());
}

} // namespace sv::test
