#include "setup/code_sync.h"

#include "platform/bundle.h"
#include "setup/file_tree.h"
#include "setup/text_file.h"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace sv {
namespace fs = std::filesystem;

std::string shippedCodeDirectory(const platform::Bundle& bundle)
{
    const auto resources = bundle.resourcePath();
    return (resources ? resources->string() : std::string()) + "/app";
}

bool syncCode(const Globals& globals, const std::string& shippedCode)
{
    struct stat marker;
    if (::stat((shippedCode + "/start.py").c_str(), &marker) != 0)
        return false;

    const auto shippedStamp = readTextFile(shippedCode + "/.stamp");
    const auto installedStamp = readTextFile(globals.project + "/.stamp");
    if (shippedStamp && installedStamp && *shippedStamp == *installedStamp)
        return false;

    std::error_code error;
    fs::create_directories(globals.support, error);
    if (error)
        throw fs::filesystem_error("Could not create the support directory", globals.support, error);

    const std::string staging = globals.support + "/app-new";
    // Left over from an interrupted sync; if it cannot go, the copy below
    // fails on it and reports why.
    removeTree(staging, error);
    copyTree(shippedCode, staging);
    // Only now, with the new code complete beside it, does the old code go.
    // Its stamp goes first: removing thousands of files takes a while, and
    // if the app is killed meanwhile, what is left must read as stale even
    // to the bundle it came from, or a user who goes back to that version
    // would run half-removed code at every launch. A failure to remove the
    // code shows up as the rename's failure.
    ::unlink((globals.project + "/.stamp").c_str());
    removeTree(globals.project, error);
    fs::rename(staging, globals.project, error);
    if (error)
        throw fs::filesystem_error("Could not put the new application code in place", staging, globals.project, error);
    return true;
}

bool syncCode(const Globals& globals) { return syncCode(globals, shippedCodeDirectory(platform::Bundle::main())); }

} // namespace sv
