#!/usr/bin/python3
"""The keypad and the menus, end to end: the real program's keys clicked with the mouse, its menu
bar driven with the mouse, its About window read through the accessibility tree and the screen,
and the addresses it hands to the desktop.

    /usr/bin/python3 tests/e2e/test_keypad_menus.py path/to/quantoria --version X.Y.Z.W
                     [--artifacts DIR]
"""

import os
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases  # noqa: E402
from cases import (choose_menu, expect, expect_text, focus_row, fresh_start,  # noqa: E402
                   evaluate)

EXAMPLE = "(12+34)*3"
PRODUCT_PAGE = "http://www.quantoria.example/en/Quantoria_Detail.aspx?come_from=Quantoria_V1"

options = None  # the command line, for the version the build stamps into the program


def press(session, *keys):
    """Clicks keypad keys by their accessible names."""
    for key in keys:
        session.click(session.find(key))


def expect_focus_kept(session, row, context):
    name = session.focused_name()
    expect(name == f"Expression {row}",
           f"{context}: the focus is on {name!r}; the keypad must leave it in row {row}")


# ---- the cases ----------------------------------------------------------------------------------

def case_keypad_builds_and_evaluates(session):
    """(12+34)*3 clicked on the keypad into row 1, then the keypad's '=': 138.00, and the
    history records it; the keys never take the focus from the row."""
    fresh_start(session)
    focus_row(session, 1)
    press(session, "Open parenthesis", "One", "Two", "Plus", "Three", "Four",
          "Close parenthesis", "Times", "Three")
    expect_text(session, "Expression 1", EXAMPLE, "the keypad's keys")
    expect_focus_kept(session, 1, "after the keypad's keys")
    press(session, "Equals")
    expect_text(session, "Result 1", "138.00", "the keypad's '='")
    expect_focus_kept(session, 1, "after the keypad's '='")
    lines = session.text(session.find("History")).split("\n")
    expect(lines[2:5] == [EXAMPLE, "=", "138.00"],
           f"after the keypad's '=' the history begins {lines[:5]!r}")


def case_keypad_editing_keys(session):
    """Back space, the decimal point, the sign change, percent and division act on the active
    row; Clear empties that row, Clear all every row."""
    fresh_start(session)
    focus_row(session, 2)
    press(session, "Seven", "Eight", "Nine", "Back space")
    expect_text(session, "Expression 2", "78", "7 8 9 and Back space")
    press(session, "Decimal point", "Five", "Change sign")
    expect_text(session, "Expression 2", "-(78.5)", "then . 5 and +/-")
    press(session, "Times", "Two", "Equals")
    expect_text(session, "Result 2", "-157.00", "-(78.5)*2 and '='")
    press(session, "Change sign")
    expect_text(session, "Expression 2", "-(-(78.5)*2)", "+/- on -(78.5)*2")
    press(session, "Change sign")
    expect_text(session, "Expression 2", "-(78.5)*2", "+/- twice")

    focus_row(session, 3)
    press(session, "Five", "Zero", "Zero", "Times", "One", "Zero", "Percent", "Minus", "Six",
          "Divided by", "Four", "Equals")
    expect_text(session, "Expression 3", "500*10%-6/4", "the keys of row 3")
    expect_text(session, "Result 3", "48.50", "500*10%-6/4 and '='")
    expect_focus_kept(session, 3, "after the keys of row 3")

    press(session, "Clear")
    expect_text(session, "Expression 3", "", "Clear in row 3")
    expect_text(session, "Result 3", "", "Clear in row 3")
    expect_text(session, "Expression 2", "-(78.5)*2", "Clear in row 3, row 2")
    press(session, "Clear all")
    for row in (1, 2, 3, 4, 5):
        expect_text(session, f"Expression {row}", "", "Clear all")
        expect_text(session, f"Result {row}", "", "Clear all")


def case_example_fills_the_first_idle_row(session):
    """Example puts (12+34)*3 into the first empty row of 1-4 and evaluates it; with rows 1-4 in
    use it takes row 5."""
    fresh_start(session)
    choose_menu(session, "Example")
    expect_text(session, "Expression 1", EXAMPLE, "Example with every row empty")
    expect_text(session, "Result 1", "138.00", "Example with every row empty")
    focus_row(session, 3)
    session.type_text("1+1")
    choose_menu(session, "Example")
    expect_text(session, "Expression 2", EXAMPLE, "Example with rows 1 and 3 in use")
    expect_text(session, "Result 2", "138.00", "Example with rows 1 and 3 in use")
    expect_text(session, "Expression 3", "1+1", "Example with rows 1 and 3 in use")
    focus_row(session, 4)
    evaluate(session, "2+2")
    expect_text(session, "Result 4", "4.00", "2+2 in row 4")
    choose_menu(session, "Example")
    expect_text(session, "Expression 5", EXAMPLE, "Example with rows 1-4 in use")
    expect_text(session, "Result 5", "138.00", "Example with rows 1-4 in use")


def case_about_window_shows_version(session):
    """Help > About opens the modal About window with the program's version; Close closes it
    and gives the focus back to the box that had it."""
    import pyatspi
    focused = session.focused_name()
    choose_menu(session, "Help", "About")
    dialog = session.find_dialog("About")
    labels = session.dialog_labels(dialog)
    version = f"Version:{options.version}"
    expect(version in labels, f"the About window's labels are {labels!r}; expected {version!r}")
    expect(cases.TITLE in labels, f"the About window's labels are {labels!r}; expected the "
                                  f"product name {cases.TITLE!r}")
    about = [wid for wid, title in session.windows() if title == "About"]
    expect(len(about) == 1, f"the program's windows are {session.windows()!r}; expected one "
                            f"titled 'About'")
    if options.artifacts:
        os.makedirs(options.artifacts, exist_ok=True)
        shot = session.screenshot(os.path.join(options.artifacts, "about.png"), wid=about[0])
        print(f"  screenshot of the About window: {shot}")

    session.click(session.find_showing("Close", pyatspi.ROLE_PUSH_BUTTON))
    session.wait_no_dialog("About")
    expect(session.window_state(about[0])["viewable"] is False,
           "the About window is still on the screen after Close")
    session.wait_focused(focused)


def case_web_addresses_reach_the_desktop(session):
    """Help > Home Page and the About window's 'Visit Product Page' hand the product page's
    address to the desktop (xdg-open)."""
    import pyatspi
    already = len(session.opened_addresses())
    choose_menu(session, "Help", "Home Page")
    ok, opened = session.wait_for(lambda: session.opened_addresses()[already:],
                                  lambda new: len(new) >= 1)
    expect(opened == [PRODUCT_PAGE], f"Help > Home Page opened {opened!r}, expected "
                                     f"{[PRODUCT_PAGE]!r}")

    choose_menu(session, "Help", "About")
    session.find_dialog("About")
    session.click(session.find_showing("Visit Product Page", pyatspi.ROLE_PUSH_BUTTON))
    ok, opened = session.wait_for(lambda: session.opened_addresses()[already + 1:],
                                  lambda new: len(new) >= 1)
    expect(opened == [PRODUCT_PAGE], f"'Visit Product Page' opened {opened!r}, expected "
                                     f"{[PRODUCT_PAGE]!r}")
    session.click(session.find_showing("Close", pyatspi.ROLE_PUSH_BUTTON))
    session.wait_no_dialog("About")


CASES = [
    case_keypad_builds_and_evaluates,
    case_keypad_editing_keys,
    case_example_fills_the_first_idle_row,
    case_about_window_shows_version,
    case_web_addresses_reach_the_desktop,
]


def main():
    global options
    options = cases.arguments(
        __doc__.split("\n\n")[0],
        lambda parser: parser.add_argument("--version", required=True,
                                           help="the version the build gives the program"))
    return cases.run(CASES, options.program, options.artifacts, watchdog=240)


if __name__ == "__main__":
    sys.exit(main())
