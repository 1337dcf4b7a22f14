#include "setup/code_sync.h"

#include "platform/bundle.h"
#include "setup/file_tree.h"
#include "setup/text_file.h"

#include <cerrno>
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

namespace {

// The support folder holds the user's code, environment and server log, so
// it is this user's only. A folder an earlier version made keeps everything
// about it but what it allowed others.
void makeSupportDirectory(const std::string& support)
{
    std::error_code error;
    fs::create_directories(fs::path(support).parent_path(), error);
    if (!error && ::mkdir(support.c_str(), 0700) != 0 && errno != EEXIST)
        error = std::error_code(errno, std::generic_category());
    struct stat info;
    if (!error && ::stat(support.c_str(), &info) != 0)
        error = std::error_code(errno, std::generic_category());
    if (!error && !S_ISDIR(info.st_mode))
        error = std::make_error_code(std::errc::not_a_directory);
    if (error)
        throw fs::filesystem_error("Could not create the support directory", support, error);
    if ((info.st_mode & 077) != 0)
        (void)::chmod(support.c_str(), info.st_mode & 07700);
}

bool hasMarker(const std::string& shippedCode)
{
    struct stat marker;
    return ::stat((shippedCode + "/start.py").c_str(), &marker) == 0;
}

bool stampsEqual(const Globals& globals, const std::string& shippedCode)
{
    const auto shippedStamp = readTextFile(shippedCode + "/.stamp");
    const auto installedStamp = readTextFile(globals.project + "/.stamp");
    return shippedStamp && installedStamp && *shippedStamp == *installedStamp;
}

} // namespace

bool codeInStep(const Globals& globals, const std::string& shippedCode)
{
    return !hasMarker(shippedCode) || stampsEqual(globals, shippedCode);
}

bool syncCode(const Globals& globals, const std::string& shippedCode)
{
    if (!hasMarker(shippedCode))
        return false;
    makeSupportDirectory(globals.support);
    if (stampsEqual(globals, shippedCode))
        return false;

    std::error_code error;
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
