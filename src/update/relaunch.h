#pragma once
// The version that the swap script starts: it tells the script when its
// window has shown, lets go of the swap lock it inherited (launch_gate.h),
// and, when the script had to put it back, tells the user why the update was
// not installed.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace sv {

// What the swap script passed to this process (swap_script.h).
struct RelaunchNotice {
    std::filesystem::path startedFile; // to create once the window has shown
    std::string notInstalledReason;    // "start" or "swap" when the old version was put back
    int swapLock = -1;                  // the swap lock the script holds, inherited; -1: none
};

// Reads the swap script's variables and removes them from this process's
// environment, so that nothing the app starts (the server, a later swap)
// inherits them; the inherited swap lock is made close-on-exec for the same
// reason. Call first thing in main, before any thread starts; the notice is
// kept for finishRelaunch().
void takeRelaunchNotice();

// Whether the swap script started this process (it then holds the swap lock
// with the script, and must not wait for it).
[[nodiscard]] bool startedBySwap();

// Once the window has shown: creates the started file, then lets go of the
// swap lock (launches that waited hand over to this window), and shows
// "Update not installed" with the text for the reason, if there is one.
// Main thread. The first form uses what takeRelaunchNotice() kept, once.
void finishRelaunch();
void finishRelaunch(const RelaunchNotice& notice);

inline constexpr std::string_view couldNotStartText = "The new version couldn't start, so the old one was kept.";

// The informative text for a reason the swap script gives: "start" when the
// new version failed before its window showed, "swap" when the bundles could
// not be renamed. Nothing for any other text.
[[nodiscard]] std::optional<std::string_view> notInstalledText(std::string_view reason);

} // namespace sv
