#include "platform/temporary_directory.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sv::platform {

std::filesystem::path temporaryDirectory() { return g_get_tmp_dir(); }

std::filesystem::path userRuntimeDirectory()
{
    // GLib takes $XDG_RUNTIME_DIR as it is; the lock files that keep
    // launches apart from an update live here, and what they say is acted
    // on, so a folder that is not the user's alone is passed over as if
    // the variable were not set.
    static const std::filesystem::path directory = [] {
        const char* runtime = g_getenv("XDG_RUNTIME_DIR");
        if (runtime && std::filesystem::path(runtime).is_absolute() && isPrivateDirectory(runtime))
            return std::filesystem::path(runtime);
        const char* cache = g_get_user_cache_dir();
        (void)g_mkdir_with_parents(cache, 0700);
        return std::filesystem::path(cache);
    }();
    return directory;
}

bool isPrivateDirectory(const std::filesystem::path& directory)
{
    struct stat status {};
    return ::stat(directory.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid()
        && (status.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

} // namespace sv::platform
