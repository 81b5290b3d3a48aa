#!/usr/bin/python3
"""The history file, the settings file and the autostart entry, end to end: the real program in a
folder of its own (where it keeps its files), ended through File > Exit and by the signals a
session manager or a terminal sends, and started again on what it left behind.

    /usr/bin/python3 tests/e2e/test_files.py path/to/quantoria [--artifacts DIR]
"""

import os
import signal
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases  # noqa: E402
from cases import (DEFAULT_SETTINGS, HISTORY_FILE, SETTINGS_FILE, choose_menu,  # noqa: E402
                   evaluate, expect, expect_exit, expect_text, focus_row,
                   fresh_start, history_file_lines, is_checked, plain_spaces,
                   wait_history_file)


def history_memo(session):
    return session.text(session.find("History"))


def expect_entry(lines, at, expression, result, dates=None, context=""):
    """lines[at:at+5] is one history entry: an empty line, the date-time, the expression, "=",
    the result."""
    entry = lines[at:at + 5]
    expect(len(entry) == 5 and entry[0] == "" and entry[2:] == [expression, "=", result],
           f"{context}: lines {at}..{at + 4} of the history read {entry!r}, expected an entry "
           f"for {expression} = {result}")
    if dates is not None:
        expect(plain_spaces(entry[1]) in dates,
               f"{context}: the entry's date-time line is {entry[1]!r}; expected the time of the "
               f"evaluation, one of {sorted(dates)}")


def settings_lines(session):
    data = session.program_file(SETTINGS_FILE)
    return None if data is None else data.decode("utf-8").splitlines()


def ended_saving(session, how, end):
    """Ends the program with `end()` and checks it went with status 0."""
    end()
    expect_exit(session, 0, how)


# ---- the cases ----------------------------------------------------------------------------------

def case_history_file_newest_first_with_crlf(session):
    """Two evaluations reach the history file soon after they are made (no exit needed): newest
    entry first, five lines each, UTF-8, every line ending with CR LF, the same text the memo
    shows."""
    fresh_start(session)
    before1 = evaluate(session, "1+1")
    expect_text(session, "Result 1", "2.00", "1+1 + Enter in row 1")
    dates1 = cases.date_time_texts(before1, session.now())
    focus_row(session, 2)
    before2 = evaluate(session, "2*3")
    expect_text(session, "Result 2", "6.00", "2*3 + Enter in row 2")
    dates2 = cases.date_time_texts(before2, session.now())

    lines = wait_history_file(session, lambda lines: len(lines) >= 10,
                              "two evaluations, then the autosave")
    expect(len(lines) == 10, f"the history file has {len(lines)} lines, expected 10: {lines!r}")
    expect_entry(lines, 0, "2*3", "6.00", dates2, "the newest entry")
    expect_entry(lines, 5, "1+1", "2.00", dates1, "the older entry")
    memo = history_memo(session)
    expect(memo == "\n".join(lines) + "\n",
           f"the file's text differs from the memo's: file {lines!r}, memo {memo!r}")


def case_history_loaded_at_start_and_kept_as_utf8(session):
    """A history file left by an earlier run is shown at start, non-ASCII text intact, and a new
    evaluation goes on top of it with the earlier bytes kept as they were."""
    earlier = ("\r\n1/2/25 3:04:05 PM\r\nprix_\u00e9t\u00e9*2\r\n=\r\n12.00\r\n"
               "\r\n1/1/25 9:00:00 AM\r\n\u03c0\u00b7r\u00b2\r\n=\r\n3.14\r\n").encode("utf-8")
    fresh_start(session, {HISTORY_FILE: earlier})
    memo = history_memo(session)
    expected_memo = earlier.decode("utf-8").replace("\r\n", "\n")
    expect(memo == expected_memo,
           f"at start the memo shows {memo!r}, expected the file's text {expected_memo!r}")

    before = evaluate(session, "5*5")
    expect_text(session, "Result 1", "25.00", "5*5 + Enter in row 1")
    dates = cases.date_time_texts(before, session.now())
    lines = wait_history_file(session, lambda lines: len(lines) >= 15,
                              "an evaluation on top of a loaded history")
    expect_entry(lines, 0, "5*5", "25.00", dates, "the new entry")
    data = session.program_file(HISTORY_FILE)
    expect(data.endswith(earlier),
           f"the earlier entries did not stay byte for byte: the file ends {data[-len(earlier):]!r}"
           f", expected {earlier!r}")


def case_settings_applied_at_start(session):
    """A settings file with four decimals, no thousands separator and the history hidden: the
    window starts that way, narrowed to the left panel, and the link brings the history back."""
    fresh_start(session, {SETTINGS_FILE:
                          b"[Config]\r\nPrec=4\r\nComma=0\r\nStartup=1\r\nDisplayHistory=0\r\n"})
    expect(not is_checked(session, "Comma"), "Comma=0: the Comma box is checked at start")
    ok, precision = session.wait_text("Precision digits", lambda text: text in ("4", "4.0"))
    expect(ok, f"Prec=4: the precision box shows {precision!r}")
    evaluate(session, "1234*2+1/3")
    expect_text(session, "Result 1", "2468.3333", "Prec=4, Comma=0: 1234*2+1/3")

    import pyatspi
    link = session.find_showing("Display History", pyatspi.ROLE_LABEL)
    narrow = session.window_frame()[2]
    session.click(link)
    session.find_showing("Hide History", pyatspi.ROLE_LABEL)
    ok, wide = session.wait_for(lambda: session.window_frame()[2], lambda w: w > narrow)
    expect(ok, f"DisplayHistory=0: the window is {narrow} px wide at start and {wide} px after "
               f"'Display History'; expected it to widen")


def case_file_exit_saves_and_ends(session):
    """File > Exit ends the program with status 0, having written the settings (the five default
    lines into a folder that had none), the history and the autostart entry; the next start
    shows the history again."""
    fresh_start(session)
    evaluate(session, "7*6")
    expect_text(session, "Result 1", "42.00", "7*6 + Enter in row 1")
    ended_saving(session, "File > Exit", lambda: choose_menu(session, "File", "Exit"))

    settings = session.program_file(SETTINGS_FILE)
    expect(settings == DEFAULT_SETTINGS,
           f"the settings file reads {settings!r}, expected {DEFAULT_SETTINGS!r}")
    lines = history_file_lines(session)
    expect(lines is not None and len(lines) == 5, f"after the exit the history is {lines!r}")
    expect_entry(lines, 0, "7*6", "42.00", context="after the exit")
    cases.expect_autostart_entry(session, "after File > Exit with Auto startup checked")

    session.start_program()
    memo = history_memo(session)
    expect(memo == "\n".join(lines) + "\n",
           f"after a restart the memo shows {memo!r}, expected the saved history {lines!r}")


def signal_case(session, number, change, settings, autostart, evaluation):
    """Makes a change only the exit saves, evaluates, sends the signal, and checks the exit
    status and the files."""
    name = signal.Signals(number).name
    expression, result = evaluation
    change()
    focus_row(session, 1)
    evaluate(session, expression)
    expect_text(session, "Result 1", result, f"{expression} + Enter before {name}")
    ended_saving(session, name, lambda: session.send_signal(number))

    actual = settings_lines(session)
    expect(actual == settings, f"after {name} the settings file reads {actual!r}, "
                               f"expected {settings!r}")
    lines = history_file_lines(session)
    expect(lines is not None and len(lines) >= 5, f"after {name} the history is {lines!r}")
    expect_entry(lines, 0, expression, result, context=f"after {name}")
    if autostart:
        cases.expect_autostart_entry(session, f"after {name} with Auto startup checked")
    else:
        expect(cases.autostart_entry(session) is None,
               f"after {name} with Auto startup unchecked the autostart entry is still there")


def case_sigterm_saves_like_exit(session):
    """SIGTERM: the settings changed in the window (Comma off), the history and the autostart
    entry are saved, and the status is 0."""
    import pyatspi
    fresh_start(session)

    def comma_off():
        session.click(session.find("Comma", pyatspi.ROLE_CHECK_BOX))
        ok, _ = session.wait_for(lambda: is_checked(session, "Comma"), lambda c: not c)
        expect(ok, "a click on Comma left it checked")

    signal_case(session, signal.SIGTERM, comma_off,
                ["[Config]", "Prec=2", "Comma=0", "Startup=1", "DisplayHistory=1"], True,
                ("1000*3", "3000.00"))


def case_sighup_saves_and_removes_autostart(session):
    """SIGHUP with Auto startup unchecked: an existing autostart entry is removed, Startup=0 is
    saved with the history, and the status is 0."""
    import pyatspi
    cases.write_autostart_entry(session, b"[Desktop Entry]\nType=Application\nExec=old\n")
    fresh_start(session)

    def startup_off():
        session.click(session.find("Auto startup", pyatspi.ROLE_CHECK_BOX))
        ok, _ = session.wait_for(lambda: is_checked(session, "Auto startup"), lambda c: not c)
        expect(ok, "a click on Auto startup left it checked")

    signal_case(session, signal.SIGHUP, startup_off,
                ["[Config]", "Prec=2", "Comma=1", "Startup=0", "DisplayHistory=1"], False,
                ("1000*3", "3,000.00"))


def case_sigint_saves_like_exit(session):
    """SIGINT (Ctrl+C in a terminal) with the history hidden: DisplayHistory=0, the history and
    the autostart entry are saved, and the status is 0."""
    import pyatspi
    fresh_start(session)

    def hide_history():
        session.click(session.find_showing("Hide History", pyatspi.ROLE_LABEL))
        session.find_showing("Display History", pyatspi.ROLE_LABEL)

    signal_case(session, signal.SIGINT, hide_history,
                ["[Config]", "Prec=2", "Comma=1", "Startup=1", "DisplayHistory=0"], True,
                ("4*256", "1,024.00"))


def long_history(entries):
    """A history as the program writes it, newest first, with text outside ASCII in it."""
    return b"".join(f"\r\n12/8/2026 7:{i % 60:02d}:00 AM\r\n(12+{i})*3\u00e9\r\n=\r\n"
                    f"{(12 + i) * 3}.00\r\n".encode("utf-8") for i in range(entries, 0, -1))


def case_long_history_shown_from_the_top_and_kept_whole(session):
    """A history of 100,000 entries (5 MB): the memo shows its newest entries at once; the user
    goes to its end (Ctrl+End in the memo) and types there; an evaluation goes on top; File > Exit
    leaves the file with every earlier byte kept, the typed text at the very end. Then a start
    and an exit with no change leave the file untouched."""
    earlier = long_history(100000)
    fresh_start(session, {HISTORY_FILE: earlier})
    memo = history_memo(session)
    expect(memo.startswith("\n12/8/2026 7:40:00 AM\n(12+100000)*3\u00e9\n=\n300036.00\n"),
           f"at start the memo begins {memo[:80]!r}")
    session.click(session.find("History"))
    session.key("ctrl+End")
    session.type_text("zz")
    ok, memo = session.wait_text("History", lambda text: text.endswith("zz"))
    expect(ok, f"Ctrl+End and typing in the memo: it ends {memo[-40:]!r}")
    focus_row(session, 1)
    evaluate(session, "5*5")
    expect_text(session, "Result 1", "25.00", "5*5 + Enter in row 1")
    ended_saving(session, "File > Exit", lambda: choose_menu(session, "File", "Exit"))
    data = session.program_file(HISTORY_FILE)
    expect(data.endswith(earlier + b"zz") and data[:-len(earlier) - 2].count(b"\r\n") == 5,
           f"after the exit the file is {len(data)} bytes, begins {data[:80]!r} and ends "
           f"{data[-40:]!r}; expected one new entry, the earlier {len(earlier)} bytes, then zz")

    stamp = os.stat(os.path.join(session.program_dir, HISTORY_FILE))
    session.start_program()
    ended_saving(session, "File > Exit", lambda: choose_menu(session, "File", "Exit"))
    after = os.stat(os.path.join(session.program_dir, HISTORY_FILE))
    expect((after.st_ino, after.st_mtime_ns) == (stamp.st_ino, stamp.st_mtime_ns),
           "a start and an exit with nothing changed rewrote the history file")
    expect(session.program_file(HISTORY_FILE) == data, "the history file changed")


CASES = [
    case_history_file_newest_first_with_crlf,
    case_long_history_shown_from_the_top_and_kept_whole,
    case_history_loaded_at_start_and_kept_as_utf8,
    case_settings_applied_at_start,
    case_file_exit_saves_and_ends,
    case_sigterm_saves_like_exit,
    case_sighup_saves_and_removes_autostart,
    case_sigint_saves_like_exit,
]


def main():
    args = cases.arguments(__doc__.split("\n\n")[0])
    return cases.run(CASES, args.program, args.artifacts, watchdog=420)


if __name__ == "__main__":
    sys.exit(main())
