#include "update/swap_script.h"

#include <gtest/gtest.h>

namespace sv {
namespace {

TEST(ShellQuote, OnlySingleQuotesAreRewritten)
{
    EXPECT_EQ(shellQuote("/Volumes/Work/it's here/Sandvoll.app"), "'/Volumes/Work/it'\\''s here/Sandvoll.app'");
    EXPECT_EQ(shellQuote(""), "''");
    EXPECT_EQ(shellQuote("''"), "''\\'''\\'''");
    EXPECT_EQ(shellQuote("$HOME `id` \"x\" \\n\n*"), "'$HOME `id` \"x\" \\n\n*'");
}

TEST(SwapScript, SixLinesInOrderWithEveryPathQuoted)
{
    EXPECT_EQ(swapScriptText(812, "/Applications/Sandvoll.app",
                  "/tmp/Sandvoll-Update-1B4E28BA-2FA1-41D2-883F-0016D3CCA427/New.app",
                  "/tmp/Sandvoll-Update-1B4E28BA-2FA1-41D2-883F-0016D3CCA427"),
        "while kill -0 812 2>/dev/null; do sleep 0.2; done\n"
        "rm -rf '/Applications/Sandvoll.app'\n"
        "mv '/tmp/Sandvoll-Update-1B4E28BA-2FA1-41D2-883F-0016D3CCA427/New.app' '/Applications/Sandvoll.app'\n"
        "xattr -dr com.apple.quarantine '/Applications/Sandvoll.app' 2>/dev/null\n"
        "setsid -f '/Applications/Sandvoll.app/Contents/Linux/Sandvoll'\n"
        "rm -rf '/tmp/Sandvoll-Update-1B4E28BA-2FA1-41D2-883F-0016D3CCA427'");
}

TEST(SwapScript, HostilePathsStayOneWordEach)
{
    const std::string b = "/home/o'neil/My $HOME `reboot`\nApps/Sandvoll.app";
    const std::string script = swapScriptText(7, b, "/tmp/w d/it's.app", "/tmp/w d");
    EXPECT_EQ(script,
        "while kill -0 7 2>/dev/null; do sleep 0.2; done\n"
        "rm -rf '/home/o'\\''neil/My $HOME `reboot`\nApps/Sandvoll.app'\n"
        "mv '/tmp/w d/it'\\''s.app' '/home/o'\\''neil/My $HOME `reboot`\nApps/Sandvoll.app'\n"
        "xattr -dr com.apple.quarantine '/home/o'\\''neil/My $HOME `reboot`\nApps/Sandvoll.app' 2>/dev/null\n"
        "setsid -f '/home/o'\\''neil/My $HOME `reboot`\nApps/Sandvoll.app/Contents/Linux/Sandvoll'\n"
        "rm -rf '/tmp/w d'");
    EXPECT_FALSE(script.ends_with('\n'));
}

} // namespace
} // namespace sv
