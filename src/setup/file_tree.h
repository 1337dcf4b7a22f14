#pragma once
// Whole-tree copy and removal for replacing the application code.

#include <filesystem>
#include <system_error>

namespace sv {

// Copies the directory `from` (following it if it is itself a symbolic link)
// to the new directory `to`, which must not exist. Inside the tree, symbolic
// links are copied as links, and every file and directory keeps its
// permission bits (set-id and sticky bits included, regardless of the umask)
// and its modification time. Anything other than files, directories and
// links (a FIFO, a socket, a device) is refused. Throws
// std::filesystem::filesystem_error naming the source and target of the
// step that failed; what was copied until then stays.
void copyTree(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes a file, link or whole directory tree; nothing to do when it does
// not exist. Directories inside that deny their owner writing (a read-only
// folder in the shipped code, copied with its mode) are made writable first,
// so the tree can be replaced again later.
void removeTree(const std::filesystem::path& path, std::error_code& error);

} // namespace sv
