"""Quitting asks the page first: unsaved work in the page is never thrown away without a word."""

import shutil
import signal
import time
import unittest

from harness import (BUNDLE, AppTestCase, find_words, processes_under, provision_in_step, read_text, settled,
                     wait_for_page, wait_until)
from test_startup import RECORDS_SIGNALS, launch_on_recorder, state_answers

from PIL import Image

# Where the example page's notes show in the view: reading only this part
# keeps the reading quick.
NOTES = (0, 0, 800, 500)
LEAVE_BOX = "^Leave this page\\?$"


def words_at(image, box, *words):
    """find_words within a part of the image; the place found is in the whole image's coordinates."""
    found = find_words(image.crop(box), *words)
    return (found[0] + box[0], found[1] + box[1]) if found else None


class QuitTest(AppTestCase):
    def test_quit_and_closing_the_window_ask_a_page_with_an_unsaved_edit_first(self):
        support = provision_in_step(self.home, RECORDS_SIGNALS)
        shutil.copytree(BUNDLE / "Contents/Resources/app/static", support / "app/static")
        requests = {"ctrl+q": lambda app: app.key("ctrl+q"), "window-close": lambda app: app.close_window()}
        for way, ask in requests.items():
            with self.subTest(way):
                app = launch_on_recorder(self, support, "quit-asks-" + way)
                try:
                    self.write_a_note(app, "draft by " + way)

                    # Asked, the page objects: the person is asked, and nothing ends.
                    ask(app)
                    box, image, _, _ = self.leave_box(app, "quit-asks-%s-dialog.png" % way)
                    self.assertIn("Changes you made may not be saved", read_text(image))
                    # A second request while the box is open adds nothing.
                    ask(app)
                    # Return takes the box's default: stay.
                    app.key("Return", window=box)
                    # The same document, edit and all: a page that had gone would say "Saved".
                    wait_for_page(self.display, app, "quit-asks-%s-stayed.png" % way, condition=lambda im: (
                        words_at(im, NOTES, "Not", "saved") is not None))
                    self.assertEqual(self.boxes(app), [])
                    self.assertIsNone(app.process.poll())
                    self.assertTrue(state_answers())
                    self.assertEqual(self.stop_signals(app), [])

                    # Asked again, the person leaves: the app ends, and the
                    # server gets one SIGTERM.
                    ask(app)
                    _, _, origin, leave = self.leave_box(app, "quit-asks-%s-again.png" % way)
                    app.click(leave, origin)
                    self.assertEqual(app.process.wait(timeout=20), 0)
                    self.assert_one_sigterm(app)
                finally:
                    app.close()

        # A signal never asks; and saved, the page lets the app go at once.
        # (Saving comes last: the next launch would show the saved note in
        # place of the empty field.)
        for way in ("SIGTERM", "saved"):
            with self.subTest(way):
                app = launch_on_recorder(self, support, "quit-asks-" + way)
                try:
                    image = self.write_a_note(app, "note for " + way)
                    if way == "saved":
                        app.click(words_at(image, NOTES, "Save"), app.view_origin())
                        wait_for_page(self.display, app, "quit-asks-saved-note.png",
                                      condition=lambda im: words_at(im, NOTES, "Not", "saved") is None)
                    asked = time.monotonic()
                    if way == "saved":
                        app.key("ctrl+q")
                    else:
                        app.process.send_signal(signal.SIGTERM)
                    self.assertEqual(app.process.wait(timeout=20), 0)
                    self.assertLess(time.monotonic() - asked, 2)
                    self.assert_one_sigterm(app)
                finally:
                    app.close()

    def stop_signals(self, app):
        return [line.split()[0] for line in app.server_log().splitlines() if " at " in line]

    def assert_one_sigterm(self, app):
        wait_until(lambda: "stopped" in app.server_log(), 20, "the server to stop")
        self.assertEqual(self.stop_signals(app), ["SIGTERM"], app.server_log())
        wait_until(lambda: not processes_under(self.home), 10, "the server to be gone")

    def write_a_note(self, app, text):
        """Types text into the example page's note field, and returns the view once it says so."""
        image = wait_for_page(self.display, app, "quit-asks-page.png",
                              condition=lambda im: settled(im.crop(NOTES), "Write a note"))
        app.click(words_at(image, NOTES, "Write", "a", "note"), app.view_origin())
        app.type(text)
        return wait_for_page(self.display, app, "quit-asks-note.png",
                             condition=lambda im: words_at(im, NOTES, "Not", "saved") is not None)

    def boxes(self, app):
        found = app.xdotool("search", "--onlyvisible", "--name", LEAVE_BOX)
        return found.split() if found else []

    def leave_box(self, app, name):
        """Waits for the box that asks whether to leave the page: returns its window, its image, where that
        is on the screen, and where its "Leave Page" button is in the image."""
        box = app.find_window(LEAVE_BOX)
        def shown():
            place = dict(line.split("=") for line in app.xdotool("getwindowgeometry", "--shell", box).split())
            x, y, width, height = (int(place[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))
            image = Image.open(self.display.screenshot(name)).convert("RGB").crop((x, y, x + width, y + height))
            leave = find_words(image, "Leave", "Page")
            return (box, image, (x, y), leave) if leave else None
        return wait_until(shown, 30, "the box asking to leave the page", interval=0.2)

if __name__ == "__main__":
    unittest.main()
