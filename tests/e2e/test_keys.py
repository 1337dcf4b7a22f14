"""Keys and the menu: the page gets the editing keys first, and the focus goes back to it after a menu.

The example program's key logger reports to its server every key the page
received and the text of its field; the tests read that back from api/keys.
"""

import json
import unittest
import urllib.request

from PIL import Image

from harness import (PORT, AppTestCase, find_words, menu_bar_height, provision_example, settled, wait_until,
                     window_image)


def key_log():
    """What the page last reported: the keys it received and its field's text."""
    with urllib.request.urlopen("http://127.0.0.1:%d/api/keys" % PORT, timeout=5) as response:
        return json.load(response)


class KeysTest(AppTestCase):
    def setUp(self):
        super().setUp()
        provision_example(self.home)
        self.app = self.launch()
        self.app.wait_for_window()
        # Settled: its jobs shown and the login form, above the key logger, in place.
        self.page = wait_until(lambda: (lambda im: im if settled(im, "Your name", "Keep every key") else None)(
            window_image(self.display, self.app, "keys-page.png")), 60, "the example page with its key logger")

    def click_words(self, *words):
        point = find_words(self.page, *words)
        self.assertIsNotNone(point, "no %r on the page" % (words,))
        self.app.click(point, self.app.view_origin())

    def click_field(self):
        # The placeholder's middle words: a caret at its start can change how the first one reads.
        self.click_words("copy", "and", "paste")

    def wait_for_text(self, text, what):
        try:
            wait_until(lambda: key_log()["text"] == text, 10, "%s: the field to hold %r" % (what, text))
        except AssertionError as failure:
            raise AssertionError("%s; it holds %r" % (failure, key_log()["text"])) from None

    def keys_seen(self):
        return key_log()["keys"]

    def open_menu(self, menu, item, name):
        """Opens a menu of the bar with the mouse; returns where on the screen it shows the item."""
        g = self.app.geometry()
        window = Image.open(self.display.screenshot(name + "-bar.png")).convert("RGB").crop(
            (g["X"], g["Y"], g["X"] + g["WIDTH"], g["Y"] + g["HEIGHT"]))
        bar = window.crop((0, 0, 400, menu_bar_height(window)))
        title = find_words(bar, menu)
        self.assertIsNotNone(title, "no menu %r in the bar" % menu)
        self.app.click(title, (g["X"], g["Y"]))
        # The menu opens below its title; read it off the screen.
        left, top = max(0, g["X"] + title[0] - 60), g["Y"] + bar.height

        def shown():
            shot = Image.open(self.display.screenshot(name + "-menu.png")).convert("RGB")
            point = find_words(shot.crop((left, top, left + 400, top + 300)), item)
            return point and (point[0] + left, point[1] + top)
        return wait_until(shown, 10, "the %s menu to show %r" % (menu, item))

    def test_the_editing_keys_reach_the_page_and_still_edit(self):
        self.click_field()
        self.app.type("abc")
        self.wait_for_text("abc", "typed")

        # Select All, then typing replaces the selection.
        self.app.key("ctrl+a")
        self.app.type("new")
        self.wait_for_text("new", "Ctrl+A and typing")
        # Copy and Paste: the text twice, once pasted.
        for keys in ("ctrl+a", "ctrl+c", "End", "ctrl+v"):
            self.app.key(keys)
        self.wait_for_text("newnew", "Ctrl+C, End, Ctrl+V")
        # Cut empties the field; Paste brings the cut text back.
        self.app.key("ctrl+a")
        self.app.key("ctrl+x")
        self.wait_for_text("", "Ctrl+X")
        self.app.key("ctrl+v")
        self.wait_for_text("newnew", "Ctrl+V after Ctrl+X")
        # Undo and Redo are the page's too.
        self.app.key("ctrl+z")
        self.app.key("ctrl+shift+z")
        wait_until(lambda: self.keys_seen()[-2:] == ["Ctrl+Z", "Ctrl+Shift+Z"], 10, "the undo keys to reach the page")

        seen = [k for k in self.keys_seen() if k.startswith("Ctrl+")]
        self.assertEqual(seen, ["Ctrl+A", "Ctrl+A", "Ctrl+C", "Ctrl+V", "Ctrl+A", "Ctrl+X", "Ctrl+V",
                                "Ctrl+Z", "Ctrl+Shift+Z"])
        window_image(self.display, self.app, "keys-after-editing.png")
        self.app.key("ctrl+q")
        self.assertEqual(self.app.process.wait(timeout=20), 0)

    def test_after_a_menu_is_used_with_the_mouse_typing_goes_to_the_page(self):
        self.click_field()
        self.app.type("one")
        for keys in ("ctrl+a", "ctrl+c", "End"):
            self.app.key(keys)
        self.wait_for_text("one", "typed")

        self.app.click(self.open_menu("Edit", "Paste", "paste-by-mouse"), (0, 0))
        self.wait_for_text("oneone", "Edit > Paste")
        self.app.type("two")
        self.wait_for_text("oneonetwo", "typing after Edit > Paste")
        # Return is the page's too: it does not open the menu again and paste twice.
        self.app.key("Return")
        wait_until(lambda: self.keys_seen()[-1:] == ["Enter"], 10, "Return to reach the page")
        self.assertEqual(key_log()["text"], "oneonetwo")

        # A menu dismissed without a choice gives the focus back as well.
        self.open_menu("Edit", "Paste", "dismissed")
        self.app.key("Escape")
        self.app.type("!")
        self.wait_for_text("oneonetwo!", "typing after the menu was dismissed")
        window_image(self.display, self.app, "keys-after-menu.png")
        self.app.key("ctrl+q")
        self.assertEqual(self.app.process.wait(timeout=20), 0)

    def test_the_apps_commands_work_whatever_the_page_does_with_keys(self):
        loads = self.app.server_log().count('"GET / HTTP/1.1"')
        self.click_words("Keep", "every", "key")
        self.click_field()
        self.app.type("abc")
        wait_until(lambda: self.keys_seen()[-3:] == ["A", "B", "C"], 10, "the typed keys to reach the page")
        # The page kept the keys: nothing was typed into its field.
        self.assertEqual(key_log()["text"], "")

        self.app.key("ctrl+r")
        wait_until(lambda: self.app.server_log().count('"GET / HTTP/1.1"') > loads, 20, "Ctrl+R to reload the page")
        self.page = wait_until(lambda: (lambda im: im if find_words(im, "seen", "no", "key") else None)(
            window_image(self.display, self.app, "keys-reloaded.png")), 60, "the page loaded afresh")
        self.click_words("Keep", "every", "key")
        self.click_field()
        self.app.type("d")
        wait_until(lambda: self.keys_seen() == ["D"], 10, "the page to keep the keys again")
        self.assertEqual(key_log()["text"], "")
        self.app.key("ctrl+q")
        self.assertEqual(self.app.process.wait(timeout=20), 0)


if __name__ == "__main__":
    unittest.main()
