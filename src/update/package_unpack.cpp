#include "update/package_unpack.h"

#include "platform/crypto.h"
#include "update/update_error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace sv {

namespace {

[[noreturn]] void throwErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

std::filesystem::path newWorkDirectoryPath(const std::filesystem::path& temporaryDirectory)
{
    return temporaryDirectory / (std::string(workDirectoryPrefix) + platform::randomUUIDString());
}

UniqueFd createWorkDirectory(const std::filesystem::path& workDirectory)
{
    std::filesystem::create_directories(workDirectory.parent_path());
    // The temporary directory is shared with other users: a name that is
    // already taken is not ours to write into.
    if (::mkdir(workDirectory.c_str(), 0700) != 0)
        throwErrno("cannot create " + workDirectory.string());
    const auto archive = workDirectory / packageFileName;
    UniqueFd file(::open(archive.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file)
        throwErrno("cannot create " + archive.string());
    return file;
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool isSafeArchiveName(std::string_view name)
{
    if (name.empty() || name.front() == '/' || name.front() == '\\')
        return false;
    // Backslashes count as separators too: unzip turns them into slashes for
    // archives made on some systems.
    while (!name.empty()) {
        const auto end = name.find_first_of("/\\");
        if (name.substr(0, end) == "..")
            return false;
        if (end == std::string_view::npos)
            break;
        name.remove_prefix(end + 1);
    }
    return true;
}

void unpackPackage(
    const std::filesystem::path& archive, const std::filesystem::path& workDirectory, const ProgramRunner& run)
{
    const std::filesystem::path unzip(unzipPath);
    const auto listing = run(unzip, { "-Z1", archive.string() });
    // The runner reports output that is not UTF-8 as empty, so an empty
    // listing cannot be trusted to be harmless: names we cannot read are
    // names we cannot check, and a package without any entry holds no app.
    if (listing.status != 0 || listing.output.empty())
        throw UpdateFailure(UpdateError::badPackage);
    std::string_view names(listing.output);
    while (!names.empty()) {
        const auto end = names.find('\n');
        if (!isSafeArchiveName(names.substr(0, end)))
            throw UpdateFailure(UpdateError::badPackage);
        if (end == std::string_view::npos)
            break;
        names.remove_prefix(end + 1);
    }

    // -n: nothing already in the work directory (the package itself) is
    // overwritten; -P "": an encrypted member fails instead of asking for a
    // password on the terminal.
    const auto extraction = run(unzip, { "-q", "-n", "-P", "", archive.string(), "-d", workDirectory.string() });
    if (extraction.status != 0)
        throw UpdateFailure(UpdateError::badPackage);
}

void removeTree(const std::filesystem::path& tree) noexcept
{
    // A failure before the path was even chosen leaves nothing to remove.
    if (tree.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(tree, ec);
    if (!ec)
        return;
    // An archive may hold folders without write permission; open them up
    // (never following links out of the tree) and try again.
    ::chmod(tree.c_str(), 0700);
    for (auto it = std::filesystem::recursive_directory_iterator(tree, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code statusError;
        if (it->symlink_status(statusError).type() == std::filesystem::file_type::directory)
            ::chmod(it->path().c_str(), 0700);
    }
    std::filesystem::remove_all(tree, ec);
}

} // namespace sv
