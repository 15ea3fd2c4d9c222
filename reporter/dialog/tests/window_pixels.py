#!/usr/bin/env python3
"""Kelvor's report window in real pixels: Wine's X11 driver on an Xvfb display, in a prefix of its
own (build/wineprefix-x11). For each language the demo product crashes with the window asked for;
the window is photographed with the contact controls hidden and shown (build/screenshots/), its
size, position and drawing are checked, and in English xdotool types an address and a description
into the rich edits and presses Enter: the rewritten report and the uploader's command line (a
recording stand-in) must carry them. Display: SUITE_XVFB_DISPLAY (default 62).
"""
import os
import re
import shutil
import subprocess
import sys
import time

SOURCE = os.environ["SUITE_SOURCE"]
BUILD = os.environ["SUITE_BUILD"]
BIN = os.environ.get("SUITE_BIN", os.path.join(BUILD, "win"))
sys.path.insert(0, os.path.join(SOURCE, "tools", "wine"))
from wine_env import wine_environment  # noqa: E402

SHOTS = os.path.join(BUILD, "screenshots")
SCREEN = (1024, 768)
OUTER = (500, 285)
BAND = (31, 78, 140)  # the skin's caption colour
LANGUAGES = {"1033": "English", "1054": "Thai", "2052": "Chinese"}
failures = []


def check(ok, what):
    print(("ok     " if ok else "FAILED ") + what)
    if not ok:
        failures.append(what)
    return ok


def wait_for(condition, timeout=60.0):
    end = time.time() + timeout
    while time.time() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.2)
    return None


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


def title_of(language):
    path = os.path.join(SOURCE, "product", "skin", "resources", "I18N", language, "BugReporter", "strings.txt")
    for line in open(path, encoding="utf-8"):
        if line.startswith("BugReport_Vemko="):
            return line.split("=", 1)[1].strip()
    return None


class Display:
    def __init__(self, env):
        self.env = env

    def x(self, *args):
        return subprocess.run(list(args), env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              check=False).stdout.decode("utf-8", "replace")

    def kelvor_window(self):
        """(name, width, height, x, y) of Kelvor's visible top-level window (its client area)."""
        for m in re.finditer(r'^\s+0x[0-9a-f]+ "(.*)": \("kelvor.exe" "kelvor.exe"\)\s+(\d+)x(\d+)\+(-?\d+)\+(-?\d+)',
                             self.x("xwininfo", "-root", "-tree"), re.M):
            if int(m.group(2)) > 100 and m.group(1) != "Default IME":
                return (m.group(1),) + tuple(int(v) for v in m.group(2, 3, 4, 5))
        return None

    def shot(self, window, name):
        path = os.path.join(SHOTS, name)
        _, w, h, x, y = window
        self.x("import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", path)
        return path

    def click(self, window, point):
        self.x("xdotool", "mousemove", str(window[3] + point[0]), str(window[4] + point[1]), "click", "1")


def pixels(path):
    """(width, height, rows of RGB tuples) through ImageMagick's PPM output."""
    data = subprocess.run(["convert", path, "ppm:-"], stdout=subprocess.PIPE, check=True).stdout
    parts = data.split(maxsplit=4)
    w, h = int(parts[1]), int(parts[2])
    raw = parts[4]
    return w, h, [[tuple(raw[(r * w + c) * 3:(r * w + c) * 3 + 3]) for c in range(w)] for r in range(h)]


def share(img, box, test):
    w, h, rows = img
    left, top, right, bottom = max(box[0], 0), max(box[1], 0), min(box[2], w), min(box[3], h)
    cells = [rows[r][c] for r in range(top, bottom) for c in range(left, right)]
    return sum(1 for p in cells if test(p)) / max(len(cells), 1)


def dark(p):
    return max(p) < 130


def check_drawing(path, size, controls, contact):
    img = pixels(path)
    label = os.path.basename(path)
    check(img[0] == size[0] and img[1] == size[1], "%s: %dx%d client area" % (label, img[0], img[1]))
    caption = resolve(controls["caption.title"], size)
    check(share(img, caption, lambda p: p == BAND) > 0.6, "%s: caption strip drawn" % label)
    check(share(img, caption, lambda p: min(p) > 200) > 0.005, "%s: caption text drawn" % label)
    for name in ("text.location", "btn.checkbox.Restart", "btn.checkbox.Help", "btn.checkbox.Contact"):
        check(share(img, resolve(controls[name], size), dark) > 0.01, "%s: %s has text" % (label, name))
    send = resolve(controls["btn.send"], size)
    check(share(img, send, lambda p: min(p) > 200) > 0.01, "%s: send button has text" % label)
    contact_rows = (0, resolve(controls["text.email"], size)[1], size[0], resolve(controls["edit.line"], size)[3])
    if contact:
        for name in ("text.email", "text.line"):
            check(share(img, resolve(controls[name], size), dark) > 0.01, "%s: %s has text" % (label, name))
        check(share(img, resolve(controls["edit.email"], size), lambda p: p == (255, 255, 255)) > 0.5,
              "%s: e-mail box shown" % label)
    else:
        check(share(img, contact_rows, dark) == 0, "%s: contact rows empty while hidden" % label)


def main():
    for tool in ("Xvfb", "xdotool", "import", "xwininfo"):
        if not shutil.which(tool):
            print("window_pixels: %s is missing (./run deps installs it)" % tool)
            return 1
    os.makedirs(SHOTS, exist_ok=True)
    os.environ["SUITE_WINEPREFIX"] = os.path.join(BUILD, "wineprefix-x11")
    env = wine_environment()
    env["SUITE_BUILD"] = BUILD
    number = os.environ.get("SUITE_XVFB_DISPLAY", "62")
    env["DISPLAY"] = ":" + number
    xvfb = subprocess.Popen(["Xvfb", ":" + number, "-screen", "0", "%dx%dx24" % SCREEN], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    display = Display(env)
    try:
        if not wait_for(lambda: display.x("xwininfo", "-root").strip() != "", 10):
            print("window_pixels: Xvfb did not start on :%s" % number)
            return 1
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "x11", "/f"],
                       env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The desktop process that "reg" itself started still draws with the driver of a fresh prefix
        # (none): end it, so that the next program starts a desktop on the X display.
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL)
        for language in LANGUAGES:
            run_language(display, env, language)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
        xvfb.terminate()
        xvfb.wait()
    print("window_pixels: %s" % ("all checks passed" if not failures else "%d checks failed" % len(failures)))
    return 1 if failures else 0


def run_language(display, env, language):
    env = dict(env, SUITE_LANGUAGE=language)
    subprocess.run([os.path.join(SOURCE, "tools", "install", "install.sh")], env=env, check=True,
                   stdout=subprocess.DEVNULL)
    install = os.path.join(env["WINEPREFIX"], "drive_c", "Program Files (x86)", "Vemko Antivirus")
    dump = os.path.join(install, "dump")
    for name in os.listdir(dump):
        os.remove(os.path.join(dump, name))
    received = os.path.join(install, "Ulvane.received.txt")
    if os.path.exists(received):
        os.remove(received)
    shutil.copy(os.path.join(BIN, "reporter", "capture", "recorder", "Ulvane.exe"), os.path.join(install, "Ulvane.exe"))
    controls = layout()

    demo = subprocess.Popen(["wine", os.path.join(install, "Orv.exe"), "--show-window", "crash", "null"], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    window = wait_for(display.kelvor_window, 180)
    if not check(window is not None, "%s: Kelvor's window appears" % language):
        demo.kill()
        return
    time.sleep(1.0)  # the first paint
    window = display.kelvor_window()
    name, w, h, x, y = window
    check(name == title_of(language), "%s: title is the language's item (%s)" % (language, name))
    frame = (OUTER[0] - w) // 2
    outer_left, outer_top = x - frame, y - (OUTER[1] - h - frame)
    check(abs(outer_left + OUTER[0] / 2 - SCREEN[0] / 2) <= 1 and abs(outer_top + OUTER[1] / 2 - SCREEN[1] / 2) <= 1,
          "%s: %dx%d window centred (client %dx%d at %d,%d)" % (language, OUTER[0], OUTER[1], w, h, x, y))
    plain = display.shot(window, "report_window_%s.png" % language)
    check_drawing(plain, (w, h), controls, contact=False)

    box = resolve(controls["btn.checkbox.Contact"], (w, h))
    display.click(window, ((box[0] + box[2]) // 2, (box[1] + box[3]) // 2))
    grown = wait_for(lambda: (lambda k: k if k and k[2] == h + 30 else None)(display.kelvor_window()), 10)
    if not check(grown is not None, "%s: 30 pixels taller with the contact controls (500x315)" % language):
        display.x("xdotool", "key", "Escape")
        return
    time.sleep(0.5)
    shown = display.shot(grown, "report_window_%s_contact.png" % language)
    check_drawing(shown, (grown[1], grown[2]), controls, contact=True)

    email, description = "", ""
    if language == "1033":
        email, description = "typed.by@xdotool.example", "The scan stopped at 40 percent"
        for area, text in (("edit.email", email), ("edit.line", description)):
            r = resolve(controls[area], (grown[1], grown[2]))
            display.click(grown, ((r[0] + r[2]) // 2, (r[1] + r[3]) // 2 + 2))
            display.x("xdotool", "type", "--delay", "20", text)
        display.shot(grown, "report_window_%s_typed.png" % language)
        display.x("xdotool", "key", "Return")
    else:
        display.x("xdotool", "key", "Escape")
    check(wait_for(lambda: display.kelvor_window() is None, 30) is not None, "%s: the window closes" % language)
    if not check(wait_for(lambda: os.path.exists(received), 60) is not None, "%s: uploader started" % language):
        return
    line = open(received, encoding="utf-8").read()
    check(line.endswith(" /Email:" + email), "%s: uploader's command line ends with /Email:%s" % (language, email))
    reports = [f for f in os.listdir(dump) if f.endswith(".txt")]
    if check(len(reports) == 1, "%s: one report" % language):
        text = open(os.path.join(dump, reports[0]), "rb").read().decode("utf-16-le")
        check("\r\nEmail:%s\r\nHashCode:" % email in text, "%s: report's Email: line" % language)
        check(text.endswith("\r\nUserContext:\r\n" + description), "%s: report's UserContext: section" % language)
    wait_for(lambda: demo.poll() is not None, 30)


if __name__ == "__main__":
    sys.exit(main())
