#pragma once
// The server program as a child process of the app.

#include "base/globals.h"

#include <optional>
#include <string>
#include <sys/types.h>

namespace sv {

inline constexpr const char* serverCouldNotStartTitle = "The server couldn't start";

// A server the app started. The reference is kept for the app's whole life,
// even after the child has ended; the unreaped child keeps its process id,
// so the one signal on quit can never reach an unrelated process.
struct ServerProcess {
    pid_t pid = -1;
    // Sends the terminate signal once and does not wait.
    void terminate() const;
};

struct ServerLaunch {
    std::optional<ServerProcess> process; // set when the child started
    std::string error;                    // why it did not, otherwise
};

// Starts `python <project>/start.py --server` in `project`, with the app's
// environment but PATH = searchPath, and both output streams in a freshly
// emptied `<support>/server.log`, readable by this user only (inherited from
// the app when the log cannot be opened).
//
// The server gets the terminate signal when the app ends, however it ends.
// That signal is tied to the thread that starts the child, so this must be
// called on the main thread, which lives as long as the app; elsewhere it
// starts nothing and says why.
[[nodiscard]] ServerLaunch launchServer(const Globals& globals);

// The text of the message box when the launch failed.
[[nodiscard]] std::string serverLaunchFailureText(const std::string& error, const std::string& python);

} // namespace sv
