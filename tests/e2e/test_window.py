"""The window a person sees when Sandvoll starts."""

import re
import shutil
import signal
import subprocess
import tempfile
import unittest
from pathlib import Path

from harness import (BUNDLE, NEVER_SERVES, AppTestCase, ink_box, provision_in_step, read_defaults, read_text,
                     wait_for_page, window_image)


def has_debug_information(executable):
    """Whether the program carries DWARF line tables (RelWithDebInfo, Debug), not only symbols (Release)."""
    sections = subprocess.run(["readelf", "--section-headers", "--wide", str(executable)],
                              capture_output=True, text=True, check=True).stdout
    return re.search(r"\s\.debug_line\s", sections) is not None


class WindowTest(AppTestCase):
    def setUp(self):
        super().setUp()
        # The first line stays while the server takes its time.
        provision_in_step(self.home, NEVER_SERVES)

    def test_first_launch_shows_the_status_line_grey_and_centred(self):
        app = self.launch()
        app.wait_for_window()
        g = app.geometry()
        self.assertEqual((g["WIDTH"], g["HEIGHT"]), (1440, 920))

        # The window maps before the page paints; wait for the text.
        image = wait_for_page(self.display, app, "status-page.png")
        self.assertIn("Sandvoll is starting", read_text(image))

        left, top, right, bottom = ink_box(image)
        centre_x, centre_y = (left + right) / 2, (top + bottom) / 2
        self.assertAlmostEqual(centre_x / image.width, 0.5, delta=0.03)
        # The page centres within 90% of the view's height.
        self.assertAlmostEqual(centre_y / image.height, 0.45, delta=0.05)
        # Grey text: the darkest ink is #888, never black.
        darkest = min(sum(image.getpixel((x, y))) / 3
                      for x in range(left, right) for y in range(top, bottom))
        self.assertAlmostEqual(darkest, 0x88, delta=12)

    def test_second_launch_restores_the_size_the_window_had(self):
        first = self.launch()
        first.wait_for_window()
        wait_for_page(self.display, first, "before-resize.png")
        first.resize(1200, 800)
        # Quit only once the app has laid itself out at the new size, as a
        # person would: the line is centred in the smaller window.
        wait_for_page(self.display, first, "after-resize.png", condition=lambda im: abs(
            (ink_box(im)[0] + ink_box(im)[2]) / 2 - 600) < 30)
        self.assertEqual(first.terminate(signal.SIGTERM), 0)
        saved = read_defaults(self.home)
        self.assertEqual((saved["Window Sandvoll Width"], saved["Window Sandvoll Height"]), (1200, 800))
        self.assertFalse(saved["Window Sandvoll Maximized"])

        second = self.launch()
        second.wait_for_window()
        g = second.geometry()
        self.assertEqual((g["WIDTH"], g["HEIGHT"]), (1200, 800))
        window_image(self.display, second, "restored-size.png")

    def test_broken_info_plist_still_opens_the_window(self):
        copy = Path(tempfile.mkdtemp(prefix="sandvoll-bundle-")) / "Sandvoll.app"
        self.addCleanup(shutil.rmtree, copy.parent, ignore_errors=True)
        shutil.copytree(BUNDLE, copy, symlinks=True)
        (copy / "Contents/Info.plist").write_text("<plist><dict><key>CFBundleVersion</key>")
        app = self.launch(bundle=copy)
        app.wait_for_window()
        image = wait_for_page(self.display, app, "broken-info-plist.png")
        self.assertIn("Sandvoll is starting", read_text(image))
        self.assertIsNone(app.process.poll())

    def test_an_app_that_crashes_fails_the_test_with_a_backtrace_of_every_thread(self):
        # The flag belongs to the crash report library; the app itself never reads it.
        plain = self.launch(crash_report=False, extra_env={"SV_CRASH_TEST": "after-window"})
        plain.wait_for_window()
        wait_for_page(self.display, plain, "crash-flag-ignored.png")
        self.assertIsNone(plain.process.poll())
        plain.close()

        app = self.launch(extra_env={"SV_CRASH_TEST": "after-window"})
        self.assertEqual(app.process.wait(timeout=120), -signal.SIGSEGV)
        # The app's own output carries the backtrace too, for a failure seen elsewhere.
        self.assertIn("died from SEGV; backtrace of every thread", app.output())
        with self.assertRaises(AssertionError) as failure:
            app.close()
        report = str(failure.exception)
        self.assertIn("Sandvoll died from SIGSEGV", report)
        threads = re.findall(r"^Thread \d+ ", report, re.MULTILINE)
        self.assertGreater(len(threads), 3, report)
        # Symbolised: down to the app's own source lines where the build kept
        # its debug information, down to its functions where it did not
        # (a Release build). gdb 13 writes main's frame as "main(int, char**)
        # (argc=...", gdb 16 as "main (argc=...".
        if has_debug_information(BUNDLE / "Contents/Linux/Sandvoll"):
            self.assertRegex(report, r"in main ?\(.*\) .*at .*src/app/main\.cpp:\d+")
        else:
            self.assertRegex(report, r"\bin main ?\(")
        saved = re.search(r"saved to (.*\.backtrace\.txt)", report).group(1)
        self.assertTrue(Path(saved).is_file())


if __name__ == "__main__":
    unittest.main()
