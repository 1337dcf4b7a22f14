#pragma once
// The server program as a child process of the app.

#include "base/globals.h"
#include "base/unique_fd.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <sys/types.h>

namespace sv {

inline constexpr const char* serverCouldNotStartTitle = "The server couldn't start";

// A server the app started, through a small keeper process between the two
// that gives the server exactly one terminate signal however the app ends:
// when the app asks, or when the app is gone (quit, killed, crashed, its
// display lost). The keeper is a program of its own (keeper_main.cpp),
// started from a fork of the app at once, so it holds nothing of the app's
// heap or threads.
//
// The reference is kept for the app's whole life, even after the server has
// ended.
struct ServerProcess {
    // The keeper, a child of the app that ends only once the server has
    // ended, with the server's exit status; to those who watch or stop it, it
    // stands for the server (a SIGTERM to it is passed on as the one signal,
    // SIGKILL ends the server too). The id is the keeper's own until it is
    // reaped: read it through livingPid(), on the main thread.
    pid_t pid = -1;
    // The app's end of the keeper's line; the last copy closes it, and the
    // keeper then stops the server.
    std::shared_ptr<const UniqueFd> line;
    // What the app knows of the keeper's end, shared by every copy.
    struct End {
        // A pidfd of the keeper, opened while it surely was the app's
        // unreaped child; none where the system has no pidfds.
        UniqueFd process;
        bool watched = false;
        bool reaped = false;
    };
    std::shared_ptr<End> end;

    // Has the keeper send the terminate signal, once; does not wait.
    void terminate() const;
    // Reaps the keeper on the main thread as soon as it ends, so that a
    // server that ended by itself leaves no zombie behind while the app
    // lives. Where the system has no pidfds, it is looked for a few times a
    // second instead. Then `ended`, when given, runs there too. Call it on
    // the main thread; a second call does nothing.
    void reapWhenEnded(std::function<void()> ended = {}) const;
    // The keeper's id while it is its own, 0 once it has been reaped (a new
    // process may have it by then). On the main thread, where the reaping
    // happens, the answer holds until control returns to the main loop.
    [[nodiscard]] pid_t livingPid() const;
};

// The keeper's program, installed beside the app's executable.
inline constexpr const char* keeperProgramName = "sandvoll-keeper";
[[nodiscard]] std::filesystem::path keeperProgram();

struct ServerLaunch {
    std::optional<ServerProcess> process; // set when the server started
    std::string error;                    // why it did not, otherwise
};

// A pidfd of `pid`; none where the system has none. Only sure to be that
// process's while it is this process's unreaped child.
[[nodiscard]] UniqueFd openPidfd(pid_t pid);

// Starts `python <project>/start.py --server` in `project`, with the app's
// environment but PATH = searchPath, and both output streams in a freshly
// emptied `<support>/server.log`, readable by this user only (inherited from
// the app when the log cannot be opened). Any thread may start it.
[[nodiscard]] ServerLaunch launchServer(const Globals& globals);
// The same with the server's whole environment given ("NAME=value" entries),
// for a launch from a thread that must not read the app's own while another
// thread may change it.
[[nodiscard]] ServerLaunch launchServer(const Globals& globals, std::vector<std::string> environment);

// The text of the message box when the launch failed.
[[nodiscard]] std::string serverLaunchFailureText(const std::string& error, const std::string& python);

} // namespace sv
