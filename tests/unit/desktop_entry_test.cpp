#include "app/desktop_entry.h"
#include "platform/property_list.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>

#include <sstream>

namespace sv {
namespace {

constexpr std::string_view templateText = "[Desktop Entry]\n"
                                          "Name=Sandvoll\n"
                                          "Icon=org.example.App\n"
                                          "Exec=${exec}\n"
                                          "TryExec=${path}\n"
                                          "X-Sandvoll-Bundle=${bundle}\n"
                                          "X-Sandvoll-Build=${build}\n";

std::filesystem::path executableIn(const std::filesystem::path& bundle)
{
    return bundle / "Contents/Linux/Sandvoll";
}

TEST(DesktopEntryText, QuotesTheExecutableSoEveryLauncherRunsExactlyThatPath)
{
    const auto text = desktopEntryText(templateText, "/opt/Sandvoll.app/Contents/Linux/Sandvoll", "/opt/Sandvoll.app", 42);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "[Desktop Entry]\n"
                     "Name=Sandvoll\n"
                     "Icon=org.example.App\n"
                     "Exec=\"/opt/Sandvoll.app/Contents/Linux/Sandvoll\"\n"
                     "TryExec=/opt/Sandvoll.app/Contents/Linux/Sandvoll\n"
                     "X-Sandvoll-Bundle=/opt/Sandvoll.app\n"
                     "X-Sandvoll-Build=42\n");

    // Blanks, shell characters and backslashes: the quoting escapes " ` $ \,
    // and the string escape then doubles every backslash once more.
    const std::filesystem::path hostile = "/home/me/My \"Apps\" `x` $HOME a\\b/Sandvoll.app";
    const auto exec = desktopEntryText("Exec=${exec}\nTryExec=${path}\n", executableIn(hostile), hostile, 1);
    ASSERT_TRUE(exec);
    EXPECT_EQ(*exec, "Exec=\"/home/me/My \\\\\"Apps\\\\\" \\\\`x\\\\` \\\\$HOME a\\\\\\\\b/Sandvoll.app/Contents/Linux/Sandvoll\"\n"
                     "TryExec=/home/me/My \"Apps\" `x` $HOME a\\\\b/Sandvoll.app/Contents/Linux/Sandvoll\n");
    // The field codes want %% for '%', and GLib would look for the program at
    // the doubled path: a path with '%' is the shell's argument instead.
    const auto percent = desktopEntryText("Exec=${exec}\nTryExec=${path}\n", "/a/100% $x/S", "/a", 1);
    EXPECT_EQ(percent, "Exec=/bin/sh -c \"exec \\\\\"\\\\$0\\\\\"\" \"/a/100%% \\\\$x/S\"\n"
                       "TryExec=/a/100% $x/S\n");
    // Unknown placeholders and lone dollars are text.
    EXPECT_EQ(desktopEntryText("A=${other} $ ${build", "/a.app/x", "/a.app", 3), "A=${other} $ ${build");
}

TEST(DesktopEntryText, RefusesPathsNoLauncherCouldRunFaithfully)
{
    for (const std::string bad : { "/tmp/new\nline.app", "/tmp/tab\t.app", "/tmp/bell\x07.app", "/tmp/\xff\xfe.app" }) {
        EXPECT_EQ(desktopEntryText(templateText, executableIn(bad), bad, 1), std::nullopt) << bad;
    }
    EXPECT_TRUE(desktopEntryText(templateText, executableIn("/tmp/Prøve ✓.app"), "/tmp/Prøve ✓.app", 1));
}

TEST(DesktopEntryText, EveryPathItCanCarryReadsBackAsItWas)
{
    for (const std::string folder : { "a b", "q\"uote", "b`t`", "$HOME", "back\\slash", "end\\", "100%", "%u %%",
             "Prøve ✓", "-lead", "a=b;c", "it's", "[Desktop Entry]" }) {
        const auto bundle = "/srv/" + folder + "/Sandvoll.app";
        const auto text = desktopEntryText(templateText, executableIn(bundle), bundle, 3);
        ASSERT_TRUE(text) << folder;
        EXPECT_EQ(desktopEntryOwner(*text)->bundle, bundle) << *text;
    }
}

TEST(DesktopEntryOwner, ReadsBackWhatWasWrittenAndNothingFromOthers)
{
    const std::filesystem::path bundle = "/srv/a b\\c/Sandvoll.app";
    const auto text = desktopEntryText(templateText, executableIn(bundle), bundle, 7);
    ASSERT_TRUE(text);
    const auto owner = desktopEntryOwner(*text);
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->bundle, bundle.string());
    EXPECT_EQ(owner->build, "7");

    // Blanks around '=' do not count; a key in another group is not the entry's.
    EXPECT_EQ(desktopEntryOwner("[Desktop Entry]\nX-Sandvoll-Bundle = /x.app \nX-Sandvoll-Build=2\n")->bundle, "/x.app");
    EXPECT_EQ(desktopEntryOwner("[Desktop Action New]\nX-Sandvoll-Bundle=/x.app\n"), std::nullopt);
    EXPECT_EQ(desktopEntryOwner("[Desktop Entry]\nName=Someone else's\nExec=other\n"), std::nullopt);
    EXPECT_EQ(desktopEntryOwner(""), std::nullopt);
}

TEST(DesktopEntryChange, WritesOnlyWhenMissingOrTheAppsOwnForAnotherBundleOrBuild)
{
    const std::filesystem::path bundle = "/opt/Sandvoll.app";
    const auto ours = *desktopEntryText(templateText, executableIn(bundle), bundle, 5);
    EXPECT_EQ(desktopEntryChange(std::nullopt, bundle, 5), DesktopEntryChange::write);
    EXPECT_EQ(desktopEntryChange(ours, "/home/me/Apps/Sandvoll.app", 5), DesktopEntryChange::write); // moved
    EXPECT_EQ(desktopEntryChange(ours, bundle, 6), DesktopEntryChange::write);                         // updated
    EXPECT_EQ(desktopEntryChange(ours, bundle, 5), DesktopEntryChange::keep);
    // The user's own changes to an entry for this bundle stay.
    EXPECT_EQ(desktopEntryChange(ours + "Keywords=web;\n", bundle, 5), DesktopEntryChange::keep);
    // Someone else's entry, or one the app cannot read, is never the app's to change.
    EXPECT_EQ(desktopEntryChange("[Desktop Entry]\nName=Mine\nExec=/usr/bin/true\n", bundle, 5),
        DesktopEntryChange::leaveAlone);
    EXPECT_EQ(desktopEntryChange("", bundle, 5), DesktopEntryChange::leaveAlone);
}

TEST(UserDataHome, XdgDataHomeWhenAbsoluteElseTheHomesOwn)
{
    EXPECT_EQ(userDataHome("/home/me", nullptr), "/home/me/.local/share");
    EXPECT_EQ(userDataHome("/home/me", ""), "/home/me/.local/share");
    EXPECT_EQ(userDataHome("/home/me", "data"), "/home/me/.local/share");
    EXPECT_EQ(userDataHome("/home/me", "/srv/my data"), "/srv/my data");
    EXPECT_EQ(desktopEntryPaths("/srv/my data", "org.example.App").entry, "/srv/my data/applications/org.example.App.desktop");
    EXPECT_EQ(desktopEntryPaths("/srv/my data", "org.example.App").iconTheme, "/srv/my data/icons/hicolor");
}

// A bundle on disk with the template and icons, and a home to install into.
class DesktopEntryFiles : public ::testing::Test {
protected:
    DesktopEntryFiles()
    {
        for (const auto* icon : { "48x48/apps/org.example.App.png", "scalable/apps/org.example.App.svg" })
            test::writeFile(resources() / "icons/hicolor" / icon, std::string("icon ") + icon);
        test::writeFile(resources() / desktopEntryTemplateName, std::string(templateText));
    }

    std::filesystem::path resources() const { return bundle() / "Contents/Resources"; }
    std::filesystem::path bundle() const { return sandbox / "Apps/Sandvoll.app"; }
    std::filesystem::path dataHome() const { return userDataHome((sandbox / "home").string(), nullptr); }
    std::filesystem::path defaults() const { return sandbox / "home/Library/Preferences/org.example.App.plist"; }
    std::filesystem::path entry() const { return sandbox / "home/.local/share/applications/org.example.App.desktop"; }
    std::filesystem::path icon(const char* name) const { return sandbox / "home/.local/share/icons/hicolor" / name; }

    DesktopEntrySource source(std::int64_t build = 1) const
    {
        return { bundle(), executableIn(bundle()), build, "org.example.App" };
    }

    // Keeps the entry and returns what it said on stderr.
    std::string keep(const DesktopEntrySource& from, bool expected = true) const
    {
        std::ostringstream said;
        EXPECT_EQ(keepDesktopEntry(dataHome(), from, defaults(), said), expected);
        return said.str();
    }

    std::string uninstall(int expectedStatus = 0) const
    {
        std::ostringstream out;
        EXPECT_EQ(uninstallDesktopEntry(dataHome(), "org.example.App", out), expectedStatus);
        return out.str();
    }

    test::Sandbox sandbox;
};

TEST_F(DesktopEntryFiles, WritesTheEntryAndIconsThenKeepsThemUpToDate)
{
    EXPECT_EQ(keep(source()), "");
    EXPECT_EQ(test::readFile(entry()), *desktopEntryText(templateText, executableIn(bundle()), bundle(), 1));
    EXPECT_EQ(test::readFile(icon("48x48/apps/org.example.App.png")), "icon 48x48/apps/org.example.App.png");
    EXPECT_EQ(test::readFile(icon("scalable/apps/org.example.App.svg")), "icon scalable/apps/org.example.App.svg");
    EXPECT_EQ(std::filesystem::status(entry()).permissions() & std::filesystem::perms::all,
        std::filesystem::perms(0644));

    // A user's edit survives the next launch; an icon that went missing comes back.
    test::writeFile(entry(), test::readFile(entry()) + "Keywords=mine;\n");
    std::filesystem::remove(icon("48x48/apps/org.example.App.png"));
    EXPECT_EQ(keep(source()), "");
    EXPECT_NE(test::readFile(entry()).find("Keywords=mine;"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(icon("48x48/apps/org.example.App.png")));

    // An update brings its own icon and entry.
    test::writeFile(resources() / "icons/hicolor/48x48/apps/org.example.App.png", "new icon");
    EXPECT_EQ(keep(source(2)), "");
    EXPECT_EQ(desktopEntryOwner(test::readFile(entry()))->build, "2");
    EXPECT_EQ(test::readFile(icon("48x48/apps/org.example.App.png")), "new icon");
    // Nothing staged is left beside the files.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(entry().parent_path()), {}), 1);
}

TEST_F(DesktopEntryFiles, TheOptOutKeepsTheHomeFreeOfIt)
{
    platform::PropertyList plist;
    plist.setBoolean(disableDesktopEntryKey, true);
    ASSERT_TRUE(plist.save(defaults()));
    EXPECT_EQ(keep(source()), "");
    EXPECT_FALSE(std::filesystem::exists(sandbox / "home/.local"));

    plist.setBoolean(disableDesktopEntryKey, false);
    ASSERT_TRUE(plist.save(defaults()));
    EXPECT_EQ(keep(source()), "");
    EXPECT_TRUE(std::filesystem::exists(entry()));
}

TEST_F(DesktopEntryFiles, AnEntryTheAppDidNotWriteIsNeverChanged)
{
    const std::string said = "Sandvoll: left the launcher entry " + entry().string() + " alone: Sandvoll did not write it.\n";
    const std::string handMade = "[Desktop Entry]\nType=Application\nName=Mine\nExec=/usr/bin/true\nIcon=org.example.App\n";
    test::writeFile(entry(), handMade);
    test::writeFile(icon("48x48/apps/org.example.App.png"), "my icon");
    EXPECT_EQ(keep(source()), said);
    EXPECT_EQ(test::readFile(entry()), handMade);
    // The icons named after it may be the user's too, for that entry.
    EXPECT_EQ(test::readFile(icon("48x48/apps/org.example.App.png")), "my icon");
    EXPECT_FALSE(std::filesystem::exists(icon("scalable/apps/org.example.App.svg")));

    test::writeFile(entry(), "[Desktop Entry]\nName=Pr\xf8ve\n"); // Latin-1, which the app never writes
    EXPECT_EQ(keep(source(2)), said);
    EXPECT_EQ(test::readFile(entry()), "[Desktop Entry]\nName=Pr\xf8ve\n");

    // A link to an entry the app once wrote stays a link: the app only writes files.
    const auto linked = sandbox / "dotfiles/app.desktop";
    test::writeFile(linked, *desktopEntryText(templateText, executableIn("/old/Sandvoll.app"), "/old/Sandvoll.app", 1));
    std::filesystem::remove(entry());
    std::filesystem::create_symlink(linked, entry());
    EXPECT_EQ(keep(source()), said);
    EXPECT_EQ(std::filesystem::read_symlink(entry()), linked);
    EXPECT_EQ(desktopEntryOwner(test::readFile(linked))->bundle, "/old/Sandvoll.app");
}

TEST_F(DesktopEntryFiles, ABundleWithoutTemplateOrAnUnwritableHomeWritesNoEntry)
{
    std::filesystem::remove(resources() / desktopEntryTemplateName);
    keep(source(), false);
    EXPECT_FALSE(std::filesystem::exists(entry()));

    // A path the format cannot carry is named readably, on one line.
    const auto unnamable = sandbox / "Apps/new\nline.app";
    test::writeFile(unnamable / "Contents/Resources" / desktopEntryTemplateName, std::string(templateText));
    EXPECT_EQ(keep({ unnamable, executableIn(unnamable), 1, "org.example.App" }, false),
        "Sandvoll: no launcher entry: a desktop entry cannot name " + (sandbox / "Apps/new\\x0aline.app").string()
            + "/Contents/Linux/Sandvoll (not UTF-8, or with a control character).\n");
    EXPECT_FALSE(std::filesystem::exists(entry()));

    test::writeFile(resources() / desktopEntryTemplateName, std::string(templateText));
    test::writeFile(sandbox / "home/.local/share/applications", "a file in the way");
    keep(source(), false);
    EXPECT_EQ(test::readFile(sandbox / "home/.local/share/applications"), "a file in the way");
}

TEST_F(DesktopEntryFiles, UninstallRemovesWhatTheAppWroteAndNothingElse)
{
    EXPECT_EQ(keep(source()), "");
    test::writeFile(entry().parent_path() / "other.desktop", "[Desktop Entry]\nName=Other\n");
    test::writeFile(icon("48x48/apps/other.png"), "other icon");
    // An icon size a later version no longer ships is still the app's.
    test::writeFile(icon("22x22/apps/org.example.App.png"), "old size");

    const auto said = uninstall();
    EXPECT_NE(said.find("Removed " + entry().string()), std::string::npos) << said;
    EXPECT_FALSE(std::filesystem::exists(entry()));
    EXPECT_FALSE(std::filesystem::exists(icon("48x48/apps/org.example.App.png")));
    EXPECT_FALSE(std::filesystem::exists(icon("scalable/apps/org.example.App.svg")));
    EXPECT_FALSE(std::filesystem::exists(icon("22x22/apps/org.example.App.png")));
    EXPECT_EQ(test::readFile(entry().parent_path() / "other.desktop"), "[Desktop Entry]\nName=Other\n");
    EXPECT_EQ(test::readFile(icon("48x48/apps/other.png")), "other icon");

    EXPECT_EQ(uninstall(), "Sandvoll has no launcher entry to remove.\n");

    // An entry someone else put at that name is theirs.
    test::writeFile(entry(), "[Desktop Entry]\nName=Hand-made\nExec=/usr/bin/true\n");
    EXPECT_NE(uninstall().find("Left " + entry().string() + " alone"), std::string::npos);
    EXPECT_EQ(test::readFile(entry()), "[Desktop Entry]\nName=Hand-made\nExec=/usr/bin/true\n");
}

} // namespace
} // namespace sv
