"""The app in a Wayland session, with no X server in reach.

A few of the window and start-up tests run again here, unchanged, in a
headless Wayland session: the status page, the size remembered, a first
launch through to the page with Ctrl+Q stopping the server, a message box
answered from the keyboard, and a page whose renderer ends.
"""

import unittest
from pathlib import Path

from PIL import Image

import test_startup
import test_window
from harness import (BUNDLE_ID, NEVER_SERVES, AppTestCase, WaylandDisplay, menu_bar_height, provision_in_step,
                     read_text, wait_for_page)


class WaylandWindowTest(test_window.WindowTest):
    display_class = WaylandDisplay


class WaylandStartupTest(test_startup.StartupTest):
    display_class = WaylandDisplay


class WaylandSessionTest(AppTestCase):
    display_class = WaylandDisplay

    def test_the_window_is_a_native_wayland_window_of_the_bundle_with_its_menu(self):
        provision_in_step(self.home, NEVER_SERVES)
        app = self.launch()
        app.wait_for_window()
        node = app.node()
        self.assertEqual(node["shell"], "xdg_shell")
        # The desktop finds the launcher entry, and with it the icon, by this name.
        self.assertEqual(node["app_id"], BUNDLE_ID)
        environment = Path("/proc/%d/environ" % app.process.pid).read_bytes().split(b"\0")
        self.assertFalse([v for v in environment if v.startswith((b"DISPLAY=", b"GDK_BACKEND="))])

        image = wait_for_page(self.display, app, "status-page.png")
        self.assertIn("Sandvoll is starting", read_text(image))
        g = app.geometry()
        whole = self.display.screenshot("menu-bar.png")
        window = Image.open(whole).convert("RGB").crop((g["X"], g["Y"], g["X"] + g["WIDTH"], g["Y"] + g["HEIGHT"]))
        bar = window.crop((0, 0, 400, menu_bar_height(window)))
        self.assertEqual(read_text(bar).split()[:3], ["Sandvoll", "Edit", "View"])


CASES = {
    WaylandWindowTest: ["test_first_launch_shows_the_status_line_grey_and_centred",
                        "test_second_launch_restores_the_size_the_window_had"],
    WaylandStartupTest: ["test_first_launch_provisions_shows_the_app_and_quitting_stops_the_server",
                         "test_a_support_folder_that_cannot_be_made_stops_the_app_with_a_message",
                         "test_a_page_whose_renderer_ends_comes_back_until_the_third_end_in_a_minute"],
    WaylandSessionTest: ["test_the_window_is_a_native_wayland_window_of_the_bundle_with_its_menu"],
}


def load_tests(loader, tests, pattern):
    """Only the cases above: the rest of those classes runs under X11 in their own files."""
    return unittest.TestSuite(cls(name) for cls, names in CASES.items() for name in names)


if __name__ == "__main__":
    unittest.main()
