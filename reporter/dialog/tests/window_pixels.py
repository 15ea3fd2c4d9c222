#!/usr/bin/env python3
"""Kelvor's report window in real pixels: Wine's X11 driver on an Xvfb display, in a prefix of its
own (build/wineprefix-x11), inside Wine's virtual desktop, which draws window frames and captions
as Windows does. For each language the demo product crashes with the window asked for; the whole
window is photographed with the contact controls hidden and shown (build/screenshots/), its size,
position and drawing are checked, and xdotool types into the boxes: in English an address and a
description moving between the boxes with Tab and Shift-Tab, then Enter: the rewritten report and
the uploader's command line (a recording stand-in) must carry them; in Thai and Chinese a
description in the language, which must be drawn as glyphs, not as empty boxes. Display:
SUITE_XVFB_DISPLAY (default 62).
"""
import os
import shutil
import subprocess
import sys
import time

import scenario
from scenario import BUILD, SOURCE, wait_for

SHOTS = os.path.join(BUILD, "screenshots")
SCREEN = (1024, 768)
OUTER = (500, 285)
BAND = (31, 78, 140)  # the skin's caption colour
BUTTON = (31, 110, 200)  # the skin's send button
LANGUAGES = {"1033": "English", "1054": "Thai", "2052": "Chinese"}
# Distinct letters of the language, typed into the description box: each must be drawn as itself.
TYPED = {"1054": "กขคงจฉ", "2052": "崩溃报告发送"}


def layout():
    """The skin's rectangles by name, resolved later against the client size."""
    controls = {}
    path = os.path.join(SOURCE, "product", "skin", "resources", "skin", "skin_crashreporter", "layout.txt")
    for line in open(path, encoding="utf-8"):
        words = line.split()
        if len(words) >= 3 and not line.startswith(("#", "[")):
            controls[words[1]] = [e for e in words[2].split(",")]
    return controls


def resolve(edges, size):
    def one(text, extent):
        return extent - int(text[1:]) if text.startswith("-") else int(text)

    return (one(edges[0], size[0]), one(edges[1], size[1]), one(edges[2], size[0]), one(edges[3], size[1]))


class Display:
    def __init__(self, env):
        self.env = env

    def x(self, *args):
        return subprocess.run(
            list(args), env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=False
        ).stdout.decode("utf-8", "replace")

    def screen(self):
        """The raw RGB bytes of the whole screen."""
        data = subprocess.run(
            ["import", "-window", "root", "-depth", "8", "ppm:-"],
            env=self.env,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            check=False,
        ).stdout
        parts = data.split(maxsplit=4)
        return parts[4] if len(parts) == 5 else b""

    def kelvor_window(self):
        """(name, width, height, x, y) of Kelvor's window on the virtual desktop, found by its
        pixels: the skin's title strip is its top edge, the send button sits 12 pixels above its
        bottom. None while no such strip is drawn."""
        raw = self.screen()
        top_left = find_pixel(raw, BAND)
        button_end = find_pixel(raw, BUTTON, last=True)
        if top_left is None or button_end is None:
            return None
        x, y = top_left
        width = 0
        while raw[((y * SCREEN[0]) + x + width) * 3 : ((y * SCREEN[0]) + x + width) * 3 + 3] == bytes(BAND):
            width += 1
        height = button_end[1] + 12 + 1 - y
        return ("", width, height, x, y) if width > 100 and height > 100 else None

    def shot(self, window, name):
        path = os.path.join(SHOTS, name)
        _, w, h, x, y = window
        self.x("import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", path)
        return path

    def click(self, window, point):
        self.x("xdotool", "mousemove", str(window[3] + point[0]), str(window[4] + point[1]), "click", "1")


def find_pixel(raw, colour, last=False):
    """(x, y) of the first (or last) pixel of `colour` in raw screen bytes, None when there is none."""
    needle = bytes(colour)
    at = raw.rfind(needle) if last else raw.find(needle)
    while at >= 0 and at % 3:
        at = raw.rfind(needle, 0, at) if last else raw.find(needle, at + 1)
    return None if at < 0 else ((at // 3) % SCREEN[0], (at // 3) // SCREEN[0])


def glyph_runs(img, box):
    """The inked column runs inside `box`, each as a list of columns of booleans (ink or not)."""
    w, h, rows = img
    left, top, right, bottom = max(box[0], 0), max(box[1], 0), min(box[2], w), min(box[3], h)
    runs, run = [], []
    for c in range(left, right):
        column = [min(rows[r][c]) < 250 for r in range(top, bottom)]  # faint edges count too
        if any(column):
            run.append(column)
        elif run:
            runs.append(run)
            run = []
    if run:
        runs.append(run)
    return runs


def is_empty_box(run):
    """Empty boxes, as a font without the glyphs draws them (touching or not): every column is an
    upright edge or holds ink only on the top and bottom lines."""
    inked = [i for column in run for i, v in enumerate(column) if v]
    top, bottom = min(inked), max(inked)
    height = bottom - top + 1
    if height < 5:
        return False
    edges = 0
    for column in run:
        rows = [i for i, v in enumerate(column) if v]
        if len(rows) >= 0.7 * height:
            edges += 1
        elif any(top + 1 < i < bottom - 1 for i in rows):
            return False
    return edges >= 2


def drawn_as_boxes(img, box):
    """True when the text in `box` is drawn as empty boxes (mostly), or not drawn at all."""
    runs = glyph_runs(img, box)
    return not runs or sum(1 for run in runs if is_empty_box(run)) * 2 > len(runs)


def pixels(path):
    """(width, height, rows of RGB tuples) through ImageMagick's PPM output."""
    data = subprocess.run(["convert", path, "ppm:-"], stdout=subprocess.PIPE, check=True).stdout
    parts = data.split(maxsplit=4)
    w, h = int(parts[1]), int(parts[2])
    raw = parts[4]
    return w, h, [[tuple(raw[(r * w + c) * 3 : (r * w + c) * 3 + 3]) for c in range(w)] for r in range(h)]


def share(img, box, test):
    w, h, rows = img
    left, top, right, bottom = max(box[0], 0), max(box[1], 0), min(box[2], w), min(box[3], h)
    cells = [rows[r][c] for r in range(top, bottom) for c in range(left, right)]
    return sum(1 for p in cells if test(p)) / max(len(cells), 1)


def dark(p):
    return max(p) < 130


class WindowPixels(scenario.ScenarioCase):
    """One test per language on one Xvfb display and a prefix of its own."""

    @classmethod
    def setUpClass(cls):
        missing = [tool for tool in ("Xvfb", "xdotool", "import", "xwininfo") if not shutil.which(tool)]
        if missing:
            raise RuntimeError("window_pixels: %s missing (./run deps installs it)" % ", ".join(missing))
        os.makedirs(SHOTS, exist_ok=True)
        number = os.environ.get("SUITE_XVFB_DISPLAY", "62")
        cls.wine = scenario.Wine(prefix=os.path.join(BUILD, "wineprefix-x11"), DISPLAY=":" + number)
        cls.xvfb = subprocess.Popen(
            ["Xvfb", ":" + number, "-screen", "0", "%dx%dx24" % SCREEN],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        cls.display = Display(cls.wine.env)
        if not wait_for(lambda: cls.display.x("xwininfo", "-root").strip() != "", 10):
            cls.tearDownClass()
            raise RuntimeError("window_pixels: Xvfb did not start on :%s" % number)
        cls.wine.end_server()
        cls.wine.reg_set(r"HKCU\Software\Wine\Drivers", "Graphics", "x11")
        # Every program in Wine's virtual desktop, which draws frames and captions as Windows does.
        cls.wine.reg_set(r"HKCU\Software\Wine\Explorer", "Desktop", "Default")
        cls.wine.reg_set(r"HKCU\Software\Wine\Explorer\Desktops", "Default", "%dx%d" % SCREEN)
        # The desktop process that "reg" itself started still draws with the driver of a fresh prefix
        # (none): end it, so that the next program starts a desktop on the X display.
        cls.wine.end_server()

    @classmethod
    def tearDownClass(cls):
        subprocess.run(["wineserver", "-k"], env=cls.wine.env, stderr=subprocess.DEVNULL)
        cls.xvfb.terminate()
        cls.xvfb.wait()

    def test_1033_english(self):
        self.run_language(self.display, self.wine.env, "1033")

    def test_1054_thai(self):
        self.run_language(self.display, self.wine.env, "1054")

    def test_2052_chinese(self):
        self.run_language(self.display, self.wine.env, "2052")

    def check_drawing(self, path, size, controls, contact):
        img = pixels(path)
        label = os.path.basename(path)
        self.check(img[0] == size[0] and img[1] == size[1], "%s: %dx%d window" % (label, img[0], img[1]))
        caption = resolve(controls["caption.title"], size)
        self.check(share(img, caption, lambda p: p == BAND) > 0.6, "%s: caption strip drawn" % label)
        self.check(share(img, caption, lambda p: min(p) > 200) > 0.005, "%s: caption text drawn" % label)
        for name in ("text.location", "btn.checkbox.Restart", "btn.checkbox.Help", "btn.checkbox.Contact"):
            self.check(
                share(img, resolve(controls[name], size), dark) > 0.01, "%s: %s has text" % (label, name)
            )
        send = resolve(controls["btn.send"], size)
        self.check(share(img, send, lambda p: min(p) > 200) > 0.01, "%s: send button has text" % label)
        contact_rows = (
            0,
            resolve(controls["text.email"], size)[1],
            size[0],
            resolve(controls["edit.line"], size)[3],
        )
        if contact:
            for name in ("text.email", "text.line"):
                self.check(
                    share(img, resolve(controls[name], size), dark) > 0.01, "%s: %s has text" % (label, name)
                )
            white = share(img, resolve(controls["edit.email"], size), lambda p: p == (255, 255, 255))
            self.check(white > 0.5, "%s: e-mail box shown" % label)
        else:
            self.check(share(img, contact_rows, dark) == 0, "%s: contact rows empty while hidden" % label)

    def run_language(self, display, env, language):
        env = dict(env, SUITE_LANGUAGE=language)
        self.wine.install(SUITE_LANGUAGE=language)
        install = self.wine.install_folder
        dump = os.path.join(install, "dump")
        scenario.clear_folder(dump)
        received = self.enterContext(scenario.recording_uploader(install))
        controls = layout()

        demo = self.wine.start(os.path.join(install, "Orv.exe"), "--show-window", "crash", "null", env=env)
        window = wait_for(display.kelvor_window, 180)
        if not self.check(window is not None, "%s: Kelvor's window appears" % language):
            demo.kill()
            return
        time.sleep(1.0)  # the first paint
        window = display.kelvor_window()
        _, w, h, x, y = window
        # The skin draws the whole window: its strip is the top edge, as wide as the window, with no
        # system caption or frame around it.
        self.check(
            (w, h) == OUTER,
            "%s: the skin covers the whole %dx%d window (%dx%d)" % (language, OUTER[0], OUTER[1], w, h),
        )
        centred = abs(x + w / 2 - SCREEN[0] / 2) <= 1 and abs(y + h / 2 - SCREEN[1] / 2) <= 1
        self.check(centred, "%s: window centred (at %d,%d)" % (language, x, y))
        plain = display.shot(window, "report_window_%s.png" % language)
        self.check_drawing(plain, (w, h), controls, contact=False)

        box = resolve(controls["btn.checkbox.Contact"], (w, h))
        display.click(window, ((box[0] + box[2]) // 2, (box[1] + box[3]) // 2))
        grown = wait_for(lambda: (lambda k: k if k and k[2] == h + 30 else None)(display.kelvor_window()), 10)
        if not self.check(
            grown is not None, "%s: 30 pixels taller with the contact controls (500x315)" % language
        ):
            display.x("xdotool", "key", "Escape")
            return
        time.sleep(0.5)
        shown = display.shot(grown, "report_window_%s_contact.png" % language)
        self.check_drawing(shown, (grown[1], grown[2]), controls, contact=True)

        email, description = "", ""
        if language == "1033":
            # Tab and Shift-Tab move between the boxes; the address is finished after coming back.
            email, description = "typed.by@xdotool.example", "The scan stopped at 40 percent"
            r = resolve(controls["edit.email"], (grown[1], grown[2]))
            display.click(grown, ((r[0] + r[2]) // 2, (r[1] + r[3]) // 2 + 2))
            display.x("xdotool", "type", "--delay", "20", email[:9])
            display.x("xdotool", "key", "Tab")
            display.x("xdotool", "type", "--delay", "20", description)
            display.x("xdotool", "key", "shift+Tab", "End")
            display.x("xdotool", "type", "--delay", "20", email[9:])
            display.x("xdotool", "key", "Tab", "Tab")  # on to the send button: its focus frame shows
            time.sleep(0.5)
            display.shot(grown, "report_window_%s_typed.png" % language)
            display.x("xdotool", "key", "Return")
        else:
            description = TYPED[language]
            r = resolve(controls["edit.line"], (grown[1], grown[2]))
            display.click(grown, ((r[0] + r[2]) // 2, (r[1] + r[3]) // 2 + 2))
            display.x("xdotool", "type", "--delay", "40", description)
            time.sleep(0.5)
            typed = display.shot(grown, "report_window_%s_typed.png" % language)
            inside = (r[0] + 3, r[1] + 6, r[2] - 3, r[3] - 3)  # the box's text, not the skin's frame
            glyphs = not drawn_as_boxes(pixels(typed), inside)
            self.check(glyphs, "%s: typed %s drawn as glyphs, not boxes" % (language, LANGUAGES[language]))
            display.x("xdotool", "key", "Escape")
        self.check(
            wait_for(lambda: display.kelvor_window() is None, 30) is not None,
            "%s: the window closes" % language,
        )
        if not self.check(
            wait_for(lambda: os.path.exists(received), 60) is not None, "%s: uploader started" % language
        ):
            return
        line = open(received, encoding="utf-8").read()
        self.check(
            line.endswith(" /Email:" + email),
            "%s: uploader's command line ends with /Email:%s" % (language, email),
        )
        reports = [f for f in os.listdir(dump) if f.endswith(".txt")]
        if self.check(len(reports) == 1, "%s: one report" % language):
            text = open(os.path.join(dump, reports[0]), "rb").read().decode("utf-16-le")
            self.check("\r\nEmail:%s\r\nHashCode:" % email in text, "%s: report's Email: line" % language)
            section = text.split("\r\nUserContext:\r\n")[-1]
            if language == "1033":
                stored = section == description
            else:
                # xdotool may lose a key of a script outside the keyboard map while it remaps a key for
                # it: what arrives must be the typed letters, stored as they are.
                stored = section != "" and set(section) <= set(description)
            self.check(stored, "%s: report's UserContext: section" % language)
        wait_for(lambda: demo.poll() is not None, 30)


if __name__ == "__main__":
    rc = scenario.main()
    print("window_pixels: %s" % ("all checks passed" if rc == 0 else "some checks failed"))
    sys.exit(rc)
