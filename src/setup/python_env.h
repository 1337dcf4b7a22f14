#pragma once
// The private Python environment the server runs in.

#include "base/globals.h"

#include <functional>
#include <string>
#include <string_view>

namespace sv {

inline constexpr std::string_view settingUpPythonText = "Setting up Python (first start only)\u2026";
inline constexpr std::string_view installingPackagesText = "Installing Python packages\u2026";
inline constexpr std::string_view pythonNotFoundText
    = "Python 3 was not found. Please install it (python.org or Homebrew) and open Sandvoll again.";

// The file in the environment that records the requirements text of the last
// successful installation.
[[nodiscard]] std::string requirementsStampPath(const Globals& globals);

// The file beside the environment that exists while it is being created.
// Found at the start of a call, it means a creation was cut short (the app
// was killed, or the tool failed) and the environment is made again from
// nothing, even if its interpreter runs.
[[nodiscard]] std::string creationMarkerPath(const Globals& globals);

// Whether ensurePython would return at once, running nothing: no creation
// was cut short, the interpreter is executable and the stamp equals the
// requirements text. Reads two small files and changes nothing;
// ensurePython decides by this same test.
[[nodiscard]] bool environmentInStep(const Globals& globals);

using StatusCallback = std::function<void(const std::string&)>;

// Makes sure `globals.venv` holds an environment whose interpreter
// (`globals.python`) is executable and into which the packages of
// `globals.project` + "/requirements.txt" have been installed.
//
// Returns at once, running nothing, when the interpreter is executable and
// the stamp equals the requirements text. Otherwise it uses `uv` when
// `which` finds it, else `python3.12` or `python3`, to create the
// environment (only when the interpreter is not executable, or an earlier
// creation did not finish: what it left is removed first) and to install
// the requirements (only when the file exists), and then records the
// requirements text in the stamp, atomically.
//
// `onStatus` is called synchronously, on the calling thread, with
// settingUpPythonText before creating and installingPackagesText before
// installing; it may be empty.
//
// Throws SetupError with pythonNotFoundText when no interpreter is found,
// or with a failed command's whole output; std::filesystem::filesystem_error
// when the stamp or the creation marker cannot be written or removed, or an
// unfinished environment cannot be removed. Nothing is removed on failure and
// the stamp keeps its old content, so the next call retries from what is on
// disk.
void ensurePython(const Globals& globals, const StatusCallback& onStatus);

} // namespace sv
