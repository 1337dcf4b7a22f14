"""The launcher entry and icon the app installs for itself, checked as a desktop reads them."""

import os
import shutil
import subprocess
import unittest
from pathlib import Path

import gi

gi.require_version("GLib", "2.0")
from gi.repository import GLib  # noqa: E402

from harness import (BUNDLE, BUNDLE_ID, ICON_LOOKUP, NEVER_SERVES, AppTestCase, provision_in_step,  # noqa: E402
                     wait_for_page, wait_until, write_defaults)


class DesktopEntryTest(AppTestCase):
    def setUp(self):
        super().setUp()
        provision_in_step(self.home, NEVER_SERVES)
        self.entry = self.home / ".local/share/applications" / (BUNDLE_ID + ".desktop")
        self.icons = self.home / ".local/share/icons/hicolor"

    def bundle_at(self, folder):
        copy = self.home / folder / "Sandvoll.app"
        shutil.copytree(BUNDLE, copy, symlinks=True)
        return copy

    def entry_for(self, bundle, entry=None):
        """The entry's keys as GLib reads them, once it names the bundle."""
        entry = entry or self.entry

        def read():
            keys = GLib.KeyFile()
            try:
                keys.load_from_file(str(entry), GLib.KeyFileFlags.NONE)
            except GLib.Error:
                return None
            group = "Desktop Entry"
            values = {key: keys.get_string(group, key) for key in keys.get_keys(group)[0]}
            return values if values.get("X-Sandvoll-Bundle") == str(bundle) else None
        keys = wait_until(read, 30, "the launcher entry for %s" % bundle)
        result = subprocess.run(["desktop-file-validate", str(entry)], capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout + result.stderr), (0, ""))
        return keys

    def session_env(self):
        """A session with this HOME and nothing of the machine's own data folders."""
        env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_DATA")}
        return {**env, **self.display.env(), "HOME": str(self.home), "XDG_DATA_DIRS": "/usr/share"}

    def xprop(self, window, *args):
        return subprocess.run(["xprop", "-id", window, "-notype", *args], capture_output=True, text=True,
                              env=self.session_env(), check=True, timeout=30).stdout

    def test_the_entry_follows_the_bundle_and_a_launcher_starts_it_with_its_icon(self):
        # Blanks, quotes and what a shell would expand: the entry must name the path as it is.
        first = self.bundle_at('Apps "mine" $PATH 100%')
        app = self.launch(bundle=first)
        window = app.wait_for_window()
        keys = self.entry_for(first)
        self.assertEqual(keys["TryExec"], str(first / "Contents/Linux/Sandvoll"))
        self.assertEqual((keys["Icon"], keys["StartupWMClass"]), (BUNDLE_ID, BUNDLE_ID))

        # The icon resolves through the icon theme, from this HOME, at every size a launcher asks for.
        for size in (16, 48, 128, 512):
            found = subprocess.run([str(ICON_LOOKUP), keys["Icon"], str(size)], capture_output=True, text=True,
                                   env=self.session_env(), timeout=30)
            self.assertEqual(found.returncode, 0, found.stderr)
            self.assertTrue(found.stdout.startswith(str(self.icons) + "/"), found.stdout)
        # The window carries the class the entry names, and the icon.
        self.assertIn('"%s"' % BUNDLE_ID, self.xprop(window, "WM_CLASS").split("=", 1)[1])
        icon = self.xprop(window, "_NET_WM_ICON")
        self.assertIn("Icon (16 x 16)", icon)
        self.assertIn("Icon (48 x 48)", icon)
        self.assertEqual(app.terminate(), 0)

        # Moved, to a place with every character a launcher reads in its own way ("%" is a field code):
        # the next launch points the entry at the new place.
        moved = self.home / 'Moved 100% %u "q" `x` $HOME a\\b -x=1;ø' / "Sandvoll.app"
        moved.parent.mkdir()
        first.rename(moved)
        second = self.launch(bundle=moved)
        second.wait_for_window()
        self.entry_for(moved)
        self.assertEqual(second.terminate(), 0)

        # A launcher reads Exec its own way (GLib's) and starts the moved bundle itself.
        launched = self.launch(command=["gio", "launch", str(self.entry)], extra_env={"XDG_DATA_DIRS": "/usr/share"})
        self.assertEqual(launched.process.wait(timeout=30), 0, launched.output())
        window = wait_until(lambda: launched.xdotool("search", "--onlyvisible", "--name", "^Sandvoll$"), 30,
                            "the window of the app the entry started").split()[0]
        pid = int(self.xprop(window, "_NET_WM_PID").split("=")[1])
        self.assertEqual(Path("/proc/%d/exe" % pid).resolve(), moved / "Contents/Linux/Sandvoll")
        launched.window = window
        wait_for_page(self.display, launched, "desktop-entry-launched-by-gio.png")

    def test_the_opt_out_writes_nothing_and_uninstall_removes_only_what_the_app_wrote(self):
        write_defaults(self.home, {"disableDesktopEntry": True})
        app = self.launch()
        window = app.wait_for_window()
        wait_for_page(self.display, app, "desktop-entry-opted-out.png")
        # The window has its icon all the same, from the bundle.
        self.assertIn("Icon (48 x 48)", self.xprop(window, "_NET_WM_ICON"))
        self.assertEqual(app.terminate(), 0)
        self.assertFalse((self.home / ".local/share/applications").exists())
        self.assertFalse((self.home / ".local/share/icons").exists())

        write_defaults(self.home, {"disableDesktopEntry": False})
        others = self.home / ".local/share/applications/other.desktop"
        others.parent.mkdir(parents=True)
        others.write_text("[Desktop Entry]\nType=Application\nName=Other\nExec=true\n")
        app = self.launch()
        app.wait_for_window()
        self.entry_for(BUNDLE.resolve())
        self.assertEqual(app.terminate(), 0)
        icons = sorted(self.icons.glob("*/apps/%s.*" % BUNDLE_ID))
        self.assertEqual(len(icons), 9)

        # No display is needed to take it away again.
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XDG_DATA_HOME")}
        removed = subprocess.run([str(BUNDLE / "Contents/Linux/Sandvoll"), "--uninstall-desktop-entry"],
                                 env={**env, "HOME": str(self.home)}, capture_output=True, text=True, timeout=30)
        self.assertEqual(removed.returncode, 0, removed.stderr)
        self.assertEqual(sorted(removed.stdout.splitlines()),
                         sorted("Removed %s" % p for p in [self.entry, *icons]))
        self.assertEqual(others.read_text(), "[Desktop Entry]\nType=Application\nName=Other\nExec=true\n")
        self.assertEqual(list(self.icons.glob("*/apps/*")), [])

    def test_an_entry_the_app_did_not_write_stays_and_the_data_home_is_honoured(self):
        data = self.home / "my data"
        env = {"XDG_DATA_HOME": str(data)}
        entry = data / "applications" / (BUNDLE_ID + ".desktop")
        entry.parent.mkdir(parents=True)
        hand_made = "[Desktop Entry]\nType=Application\nName=My own\nExec=/usr/bin/true --mine\n"
        entry.write_text(hand_made)
        app = self.launch(extra_env=env)
        app.wait_for_window()
        said = "Sandvoll: left the launcher entry %s alone: Sandvoll did not write it.\n" % entry
        wait_until(lambda: said in app.output(), 30, "the line that the entry was left alone")
        self.assertEqual(app.terminate(), 0)
        self.assertEqual(app.output().count(said), 1, app.output())
        self.assertEqual(entry.read_bytes(), hand_made.encode())
        self.assertFalse((data / "icons").exists())

        # A bundle path no entry can hold gets none, and a line that names it readably.
        unnamable = self.bundle_at("line\nbreak")
        entry.unlink()
        app = self.launch(bundle=unnamable, extra_env=env)
        app.wait_for_window()
        said = ("Sandvoll: no launcher entry: a desktop entry cannot name %s/line\\x0abreak/Sandvoll.app/Contents/"
                "Linux/Sandvoll (not UTF-8, or with a control character).\n" % self.home)
        wait_until(lambda: said in app.output(), 30, "the line that no entry can name the bundle")
        self.assertEqual(app.terminate(), 0)
        self.assertFalse(entry.exists())

        # Its own entry and icons go to XDG_DATA_HOME, and nothing to ~/.local/share.
        app = self.launch(extra_env=env)
        app.wait_for_window()
        self.entry_for(BUNDLE.resolve(), entry)
        self.assertEqual(app.terminate(), 0)
        found = subprocess.run([str(ICON_LOOKUP), BUNDLE_ID, "48"], capture_output=True, text=True,
                               env={**self.session_env(), **env}, timeout=30)
        self.assertTrue(found.stdout.startswith(str(data / "icons/hicolor") + "/"), found.stdout + found.stderr)
        self.assertFalse((self.home / ".local/share/applications").exists())
        self.assertFalse((self.home / ".local/share/icons").exists())

        # The uninstall looks there too.
        removed = subprocess.run([str(BUNDLE / "Contents/Linux/Sandvoll"), "--uninstall-desktop-entry"],
                                 env={**os.environ, "HOME": str(self.home), **env}, capture_output=True, text=True,
                                 timeout=30)
        self.assertEqual(removed.returncode, 0, removed.stderr)
        self.assertIn("Removed %s\n" % entry, removed.stdout)
        self.assertEqual(list((data / "icons/hicolor").glob("*/apps/*")), [])


if __name__ == "__main__":
    unittest.main()
