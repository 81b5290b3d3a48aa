#!/usr/bin/python3
"""What only a real desktop shows: a held arrow key, the About window's place over the main
window, SIGTERM while the start-up error box is open, and the window under a dark colour scheme
(qt6ct's "darker" colours with the Fusion style), read from the screen.

    /usr/bin/python3 tests/e2e/test_look.py path/to/quantoria [--artifacts DIR]

With --artifacts, the dark-scheme screenshots are kept there, and a failed case leaves a
screenshot and the program's output. The last line printed is 'N passed, N failed'; the exit
status is 0 only when every case passed.
"""

import os
import re
import shutil
import signal
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases  # noqa: E402
import harness  # noqa: E402
from cases import (TITLE, CaseFailure, choose_menu, evaluate, expect, expect_text,  # noqa: E402
                   focus_row)

ARTIFACTS = None

QT6CT_CONF = """[Appearance]
color_scheme_path=/usr/share/qt6ct/colors/darker.conf
custom_palette=true
style=Fusion
"""


def xdotool(session, *argv):
    session._run([harness._tool("xdotool", "xdotool"), *argv])


def frame_centre(session, wid):
    x, y, w, h = session.window_frame(wid)
    return x + w / 2, y + h / 2


def contrast(a, b):
    """WCAG 2's contrast ratio of two (red, green, blue) colours."""
    def luminance(rgb):
        def channel(v):
            c = v / 255
            return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4
        r, g, b = (channel(v) for v in rgb)
        return 0.2126 * r + 0.7152 * g + 0.0722 * b
    la, lb = luminance(a) + 0.05, luminance(b) + 0.05
    return max(la, lb) / min(la, lb)


def read_area(session, x, y, w, h):
    """The pixels of an area of the screen: {(x, y): (r, g, b)}."""
    out = session._run([harness._tool("import", "imagemagick"), "-display", session.display,
                        "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage", "txt:-"])
    scale = int(re.search(r"enumeration: \d+,\d+,(\d+),", out).group(1))
    pixels = {}
    for m in re.finditer(r"^(\d+),(\d+): \(\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+)", out, re.MULTILINE):
        px, py, *rgb = (int(v) for v in m.groups())
        pixels[(px, py)] = tuple(round(v * 255 / scale) for v in rgb)
    return pixels


def text_contrast(session, name):
    """(background, text colour, ratio) of the line of text in a box: the colour seen most
    often, and the one that stands out most on it. The box's frame is left out, and so is the
    caret (a column of one colour, drawn inverted)."""
    x, y, w, h = session.extents(session.find(name))
    pixels = read_area(session, x + 5, y + 4, w - 10, h - 8)
    counts = {}
    for rgb in pixels.values():
        counts[rgb] = counts.get(rgb, 0) + 1
    background = max(counts, key=counts.get)
    columns = {}
    for (px, _), rgb in pixels.items():
        columns.setdefault(px, []).append(rgb)
    caret = set()
    for px, colours in columns.items():
        marks = [c for c in colours if c != background]
        if len(marks) >= len(colours) // 2 and len(set(marks)) == 1:
            caret.add(px)
    text, best = background, 1.0
    for (px, _), rgb in pixels.items():
        if px in caret:
            continue
        ratio = contrast(rgb, background)
        if ratio > best:
            text, best = rgb, ratio
    return background, text, best


# ---- the cases ----------------------------------------------------------------------------------

def case_held_arrow_key_moves_the_focus_once(session):
    """Down held for 1.5 s in row 1 (the X server repeats it 25 times a second) moves the focus
    to row 2 once, on the release."""
    focus_row(session, 1)
    xdotool(session, "keydown", "Down")
    try:
        time.sleep(1.5)
    finally:
        xdotool(session, "keyup", "Down")
    session.wait_focused("Expression 2")
    time.sleep(0.5)  # nothing more comes of the held key
    expect(session.is_focused("Expression 2"),
           f"after holding Down in row 1 the focus is on {session.focused_name()!r}, "
           f"expected 'Expression 2'")


def case_about_is_centred_over_the_main_window(session):
    """Help > About opens the About window centred over the main window, frame on frame."""
    choose_menu(session, "Help", "About")
    session.find_dialog("About")
    ok, found = session.wait_for(
        lambda: [wid for wid, title in session.windows() if title == "About"], bool)
    expect(ok, "no window titled 'About' is on the screen")
    about = found[0]
    time.sleep(0.5)  # the window manager has placed and framed it
    mx, my = frame_centre(session, session.window)
    ax, ay = frame_centre(session, about)
    session.key("Escape")
    session.wait_no_dialog("About")
    expect(abs(ax - mx) <= 2 and abs(ay - my) <= 2,
           f"the About window's centre is {ax - mx:+.0f}, {ay - my:+.0f} px from the main "
           f"window's")


def case_sigterm_ends_the_program_while_the_start_up_error_box_is_open(session):
    """The history file cannot be read (a folder stands in its place): the start-up error box
    opens. SIGTERM then ends the program with status 0, saving the settings like File > Exit,
    and leaves the folder alone."""
    session.stop_program()
    session.clear_program_dir()
    history = os.path.join(session.program_dir, cases.HISTORY_FILE)
    os.mkdir(history)
    try:
        # Started by hand: the program's main window does not come while the box is open.
        shutil.copy2(session.program_source, session.program_path)
        open(os.path.join(session.program_dir, "quantoria.portable"), "a").close()
        session.program = session._spawn("program", [session.program_path],
                                         env=session._program_env(),
                                         cwd=os.path.join(session.root, "home"))
        ok, _ = session.wait_for(
            lambda: [wid for wid, title in session.windows() if title == TITLE], bool)
        expect(ok, "no error box came up at start")
        time.sleep(0.5)
        if ARTIFACTS:
            os.makedirs(ARTIFACTS, exist_ok=True)
            session.screenshot(os.path.join(ARTIFACTS, "start-up-error-box.png"),
                               whole_screen=True)
        session.send_signal(signal.SIGTERM)
        status = session.wait_exit()
        expect(status is not None, "SIGTERM while the start-up error box is open: the program "
                                   f"still runs {harness.EXIT_TIMEOUT:.0f}s later")
        expect(status == 0, f"SIGTERM at the start-up error box: the program ended with status "
                            f"{status}, expected 0")
        settings = session.program_file(cases.SETTINGS_FILE)
        expect(settings == cases.DEFAULT_SETTINGS,
               f"after SIGTERM at the start-up error box the settings file reads {settings!r}")
        expect(os.path.isdir(history), "the unreadable history was written over")
    finally:
        session.stop_program()
        if os.path.isdir(history):
            os.rmdir(history)
        session.start_program()


def case_dark_scheme_keeps_every_box_readable(session):
    """Under qt6ct's "darker" scheme the rows' texts read on their backgrounds (WCAG AA, 4.5 : 1):
    the active row (yellow), an idle row (white), a result (silver)."""
    conf = os.path.join(session.config_home, "qt6ct")
    os.makedirs(conf, exist_ok=True)
    with open(os.path.join(conf, "qt6ct.conf"), "w") as f:
        f.write(QT6CT_CONF)
    session.restart_program()
    focus_row(session, 1)
    evaluate(session, "-987654321.5")
    expect_text(session, "Result 1", "-987,654,321.50", "-987654321.5 + Enter in row 1")
    focus_row(session, 2)
    session.type_text("(12+34)*3")
    time.sleep(0.3)
    if ARTIFACTS:
        os.makedirs(ARTIFACTS, exist_ok=True)
        session.screenshot(os.path.join(ARTIFACTS, "dark-scheme.png"))
    # The scheme is in force: the panel behind the rows is dark.
    x, y, w, h = session.extents(session.find("Expression 1"))
    panel = session.pixel(x - 84, y + h + 2)
    expect(sum(panel) < 3 * 80, f"the window's panel is {panel}: the dark scheme is not in force")
    problems = []
    for name in ("Expression 1", "Expression 2", "Result 1"):
        background, text, ratio = text_contrast(session, name)
        if ratio < 4.5:
            problems.append(f"{name}: {text} on {background}, {ratio:.2f} : 1")
    expect(not problems, "texts that do not read: " + "; ".join(problems))


CASES = [
    case_held_arrow_key_moves_the_focus_once,
    case_about_is_centred_over_the_main_window,
    case_sigterm_ends_the_program_while_the_start_up_error_box_is_open,
    case_dark_scheme_keeps_every_box_readable,
]


def main():
    global ARTIFACTS
    args = cases.arguments(__doc__.split("\n\n")[0])
    ARTIFACTS = args.artifacts
    # qt6ct reads its settings only when the platform theme is asked for.
    return cases.run(CASES, args.program, args.artifacts, watchdog=280,
                     program_env={"QT_QPA_PLATFORMTHEME": "qt6ct"})


if __name__ == "__main__":
    sys.exit(main())
