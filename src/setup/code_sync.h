#pragma once
// Bringing the user's copy of the application code up to date with the copy
// shipped in the bundle.

#include "base/globals.h"

#include <string>

namespace sv {
namespace platform {
class Bundle;
}

// The bundle's resource directory + "/app"; "/app" when the bundle has no
// resource directory (the executable does not live inside a bundle).
[[nodiscard]] std::string shippedCodeDirectory(const platform::Bundle& bundle);

// Whether syncCode would leave `globals.project` alone: `shippedCode` has no
// "start.py", or both ".stamp" texts can be read and are equal. Reads two
// small files and changes nothing; syncCode decides by this same test.
[[nodiscard]] bool codeInStep(const Globals& globals, const std::string& shippedCode);

// Replaces `globals.project` with a copy of `shippedCode` when their
// ".stamp" texts differ (or either is missing, unreadable or not UTF-8), and
// returns whether it did. Does nothing and returns false when `shippedCode`
// has no "start.py". Otherwise it first makes sure the support directory
// exists and is the user's only (mode 0700, nothing else about it changed).
//
// The copy is made in `globals.support` + "/app-new" (left over from an
// interrupted run, it is removed first) and takes the place of the old code
// in one rename, after the old code is removed (its stamp first, so that
// code killed half-removed never reads as whole); until the copy is
// complete the old code is untouched. Symbolic links, permission bits and
// modification times are kept.
//
// Throws std::filesystem::filesystem_error, naming the paths involved, when
// the support directory cannot be created, the copy fails, or the new code
// cannot be renamed into place. Nothing is cleaned up on failure; the next
// call starts over from what is on disk.
bool syncCode(const Globals& globals, const std::string& shippedCode);

// The same with the code shipped in this process's own bundle.
bool syncCode(const Globals& globals);

} // namespace sv
