#!/usr/bin/python3
"""Evaluating expressions in the main window, end to end: the real program on its own X server,
driven with the keyboard and the mouse, read through its accessibility tree and the screen.

    /usr/bin/python3 tests/e2e/test_evaluate.py path/to/quantoria [--artifacts DIR]

The cases share one running program; after a case fails the program is restarted, so the next
case starts from a fresh window. With --artifacts, a failed case leaves a screenshot and the
program's output there. The last line printed is 'N passed, N failed'; the exit status is 0 only
when every case passed.
"""

import os
import re
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases  # noqa: E402
import harness  # noqa: E402
from cases import (TITLE, CaseFailure, date_time_texts, evaluate, expect,  # noqa: E402
                   expect_text, focus_row)

YELLOW = (255, 255, 0)
WHITE = (255, 255, 255)


def history_lines(session):
    return session.text(session.find("History")).split("\n")


def expect_background(session, name, colour, context):
    """Waits (bounded) for a box's background, read from the screen near its right edge (its
    text sits on the left), to have `colour`."""
    x, y, w, h = session.extents(session.find(name))
    ok, actual = session.wait_for(lambda: session.pixel(x + w - 8, y + h // 2),
                                  lambda pixel: pixel == colour)
    expect(ok, f"{context}: {name!r} has the background {actual}, expected {colour}")


# ---- the cases ----------------------------------------------------------------------------------

def case_enter_evaluates_and_records_history(session):
    """Row 1: (12+34)*3 and Enter shows 138.00 and records the evaluation in the history."""
    expect(session.is_focused("Expression 1"), "the first expression box is not focused at start")
    before = evaluate(session, "(12+34)*3")
    expect_text(session, "Result 1", "138.00", "(12+34)*3 + Enter in row 1")
    after = session.now()

    expect_text(session, "Expression 1", "(12+34)*3",
                "after Enter the expression box keeps the expression, without the Enter")
    lines = history_lines(session)
    expect(len(lines) >= 5, f"the history has fewer than five lines: {lines!r}")
    expect(lines[0] == "", f"the history's first line is {lines[0]!r}, expected an empty line")
    stamp = re.sub(r"[\u00a0\u202f]", " ", lines[1])
    allowed = date_time_texts(before, after)
    expect(stamp in allowed,
           f"the history's date-time line is {lines[1]!r}; expected the time of the evaluation, "
           f"one of {sorted(allowed)}")
    expect(lines[2:5] == ["(12+34)*3", "=", "138.00"],
           f"the history entry reads {lines[2:5]!r}, expected ['(12+34)*3', '=', '138.00']")
    expect(session.is_focused("Expression 1"), "Enter moved the focus away from row 1")


def case_arrow_keys_move_between_rows(session):
    """Down and Up move the focus to the next and previous row; the active row turns yellow; a
    new history entry goes on top of the earlier ones."""
    focus_row(session, 1)
    session.key("ctrl+a")
    evaluate(session, "1+1")
    expect_text(session, "Result 1", "2.00", "1+1 + Enter in row 1")
    expect_background(session, "Expression 1", YELLOW, "row 1 focused")

    session.key("Down")
    session.wait_focused("Expression 2")
    expect(not session.is_focused("Expression 1"), "Down left row 1 focused as well")
    expect_background(session, "Expression 2", YELLOW, "after Down")
    expect_background(session, "Expression 1", WHITE, "after Down")

    history_before = history_lines(session)
    evaluate(session, "2+2")
    expect_text(session, "Result 2", "4.00", "2+2 + Enter after moving to row 2 with Down")
    expect_text(session, "Expression 2", "2+2", "the keys typed after Down")
    expect_text(session, "Result 1", "2.00", "after evaluating row 2, row 1's result")
    lines = history_lines(session)
    expect(lines[2:5] == ["2+2", "=", "4.00"] and lines[5:] == history_before,
           f"the new entry is not on top of the earlier history: {lines!r}")

    session.key("Up")
    session.wait_focused("Expression 1")
    expect_background(session, "Expression 1", YELLOW, "after Up")
    expect_background(session, "Expression 2", WHITE, "after Up")


def case_script_error_shows_exception(session):
    """Row 3: an expression the script engine rejects shows 'Exception occurred'."""
    focus_row(session, 3)
    evaluate(session, "foo")
    expect_text(session, "Result 3", "Exception occurred", "foo + Enter in row 3")
    expect(not session.dialogs(TITLE), "a script error also opened an error box")


def case_infinity_shows_error_box(session):
    """Row 4: 1/0 opens the program's error box and leaves the row's earlier result alone."""
    focus_row(session, 4)
    evaluate(session, "7*6")
    expect_text(session, "Result 4", "42.00", "7*6 + Enter in row 4")

    session.key("ctrl+a")
    evaluate(session, "1/0")
    try:
        box = session.find_dialog(TITLE)
    except harness.HarnessError:
        raise CaseFailure(f"1/0 + Enter opened no box titled {TITLE!r}; row 4 shows "
                          f"{session.text(session.find('Result 4'))!r}")
    ok, titles = session.wait_for(
        lambda: [title for wid, title in session.windows() if wid != session.window],
        lambda titles: TITLE in titles)
    expect(ok, f"no window besides the main one is titled {TITLE!r}: {titles!r}")
    labels = session.dialog_labels(box)
    expected = "'INF' is not a valid floating point value."
    expect(expected in labels, f"the error box says {labels!r}, expected {expected!r}")

    session.key("Return")
    try:
        session.wait_no_dialog(TITLE)
    except harness.HarnessError:
        raise CaseFailure("Enter did not close the error box")
    expect_text(session, "Result 4", "42.00", "after the 1/0 error box, row 4's result")
    expect_text(session, "Expression 4", "1/0", "after the 1/0 error box, row 4's expression")
    session.wait_focused("Expression 4")


CASES = [
    case_enter_evaluates_and_records_history,
    case_arrow_keys_move_between_rows,
    case_script_error_shows_exception,
    case_infinity_shows_error_box,
]


def main():
    args = cases.arguments(__doc__.split("\n\n")[0])
    return cases.run(CASES, args.program, args.artifacts, watchdog=240)


if __name__ == "__main__":
    sys.exit(main())
