"""What the end-to-end scripts share: the failure type of a case, the checks and the user's
gestures they are written with, and the loop that runs a script's cases in one session.

A script lists its cases as functions of the session. They share one running program; each case
brings the program into the state it needs (a fresh start, a notification area or none), and after
a case fails the program is restarted, so one failure does not spill into the next case. With
--artifacts a failed case leaves a screenshot and the program's output there. The last line
printed is 'N passed, N failed' (and ', N skipped' when a case could not be made on this machine,
each with its reason on a SKIP line); the exit status is 0 only when every case passed or was
skipped.
"""

import argparse
import datetime
import os
import time
import traceback

import harness

TITLE = "Quantoria"
HISTORY_FILE = "calc_history.txt"
SETTINGS_FILE = "calc_config.ini"
# What the program writes at exit into a folder that held no settings file.
DEFAULT_SETTINGS = b"[Config]\nPrec=2\nComma=1\nStartup=1\nDisplayHistory=1\n"


class CaseFailure(AssertionError):
    pass


class CaseSkipped(Exception):
    """The machine cannot make what the case needs (raise it with the reason); the case is
    reported as skipped, with the reason, and neither passes nor fails."""


def expect(condition, message):
    if not condition:
        raise CaseFailure(message)


def expect_text(session, name, expected, context):
    """Waits (bounded) for the box `name` to show `expected`."""
    ok, actual = session.wait_text(name, lambda text: text == expected)
    expect(ok, f"{context}: {name!r} shows {actual!r}, expected {expected!r}")


def date_time_texts(start, end):
    """What the program's date-time line may read for a moment between start and end (local
    times of the session), in the en_US conventions the harness starts the program with
    (M/d/yy h:mm:ss AP; no time at midnight)."""
    texts = set()
    moment = start.replace(microsecond=0)
    while moment <= end:
        date = f"{moment.month}/{moment.day}/{moment:%y}"
        if moment.hour == moment.minute == moment.second == 0:
            texts.add(date)
        else:
            hour = moment.hour % 12 or 12
            texts.add(f"{date} {hour}:{moment:%M:%S} {'AM' if moment.hour < 12 else 'PM'}")
        moment += datetime.timedelta(seconds=1)
    return texts


def plain_spaces(text):
    """The date-time line with the no-break spaces some locales put before AM/PM made plain."""
    return text.replace("\u00a0", " ").replace("\u202f", " ")


# ---- gestures -----------------------------------------------------------------------------------

def evaluate(session, expression):
    """Types an expression into the focused box and presses Enter; returns the session's local
    time just before the Enter."""
    session.type_text(expression)
    before = session.now()
    session.key("Return")
    return before


def focus_row(session, row):
    session.click(session.find(f"Expression {row}"))
    session.wait_focused(f"Expression {row}")


def choose_menu(session, *path):
    """Clicks through the menu bar: choose_menu(session, "File", "Exit")."""
    import pyatspi
    session.click(session.find_showing(path[0], pyatspi.ROLE_MENU_ITEM))
    for name in path[1:]:
        session.click(session.find_showing(name, pyatspi.ROLE_MENU_ITEM))


def is_checked(session, name):
    import pyatspi
    box = session.find(name, pyatspi.ROLE_CHECK_BOX)
    return box.getState().contains(pyatspi.STATE_CHECKED)


def describe_window(session):
    """The main window's state in words, for failure messages."""
    try:
        state = session.window_state()
    except harness.HarnessError as error:
        return f"unknown ({error})"
    if state["viewable"]:
        return "shown"
    if state["managed"]:
        return (f"minimised (WM_STATE {state['wm_state']}, "
                f"_NET_WM_STATE {sorted(state['net_wm_state'])})")
    return "hidden (withdrawn, not managed by the window manager)"


def expect_exit(session, code, what):
    """Waits (bounded) for the program to end after `what`, with exit status `code`."""
    status = session.wait_exit()
    if status is None:
        raise CaseFailure(f"{what}: the program still runs {harness.EXIT_TIMEOUT:.0f}s later; "
                          f"its window is {describe_window(session)}")
    expect(status == code, f"{what}: the program ended with status {status}, expected {code}")


def fresh_start(session, files=None):
    """Restarts the program in an emptied folder that holds only `files` ({name: bytes})."""
    session.stop_program()
    session.clear_program_dir()
    for name, data in (files or {}).items():
        session.write_program_file(name, data)
    session.start_program()


def autostart_entry(session):
    path = os.path.join(session.config_home, "autostart", "Quantoria.desktop")
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def write_autostart_entry(session, data):
    folder = os.path.join(session.config_home, "autostart")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "Quantoria.desktop"), "wb") as f:
        f.write(data)


def expect_autostart_entry(session, context):
    """The autostart entry is there and starts the program's copy by its quoted path."""
    entry = autostart_entry(session)
    expect(entry is not None, f"{context}: no autostart entry in {session.config_home}/autostart")
    lines = entry.decode("utf-8").splitlines()
    expect(lines[:1] == ["[Desktop Entry]"], f"{context}: the autostart entry starts {lines[:1]}")
    exec_lines = [line for line in lines if line.startswith("Exec=")]
    expected = f'Exec="{session.program_path}"'
    expect(exec_lines == [expected],
           f"{context}: the autostart entry's Exec lines are {exec_lines}, expected [{expected!r}]")


def history_file_lines(session):
    """The history file's lines (text, without the line ends), checking on the way that it is
    UTF-8 and that every line ends with CR LF; None when there is no file."""
    data = session.program_file(HISTORY_FILE)
    if data is None:
        return None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise CaseFailure(f"the history file is not UTF-8: {error}")
    if not text:
        return []
    expect(text.endswith("\r\n"), f"the history file's last line does not end with CR LF: "
                                  f"{text[-40:]!r}")
    bare = text.replace("\r\n", "")
    expect("\n" not in bare and "\r" not in bare,
           f"the history file has line ends other than CR LF: {text!r}")
    return text[:-2].split("\r\n")


def wait_history_file(session, predicate, what, timeout=harness.FIND_TIMEOUT):
    """Waits (bounded) for the history file's lines to satisfy predicate; returns them."""
    deadline = time.monotonic() + timeout
    while True:
        lines = history_file_lines(session)
        if lines is not None and predicate(lines):
            return lines
        if time.monotonic() >= deadline:
            raise CaseFailure(f"{what}: after {timeout:.0f}s the history file holds {lines!r}")
        time.sleep(0.2)


# ---- running a script's cases -------------------------------------------------------------------

def arguments(description, extra=None):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("program", help="the quantoria binary")
    parser.add_argument("--artifacts", help="folder for screenshots and logs of failed cases")
    if extra:
        extra(parser)
    return parser.parse_args()


def run(cases, program, artifacts=None, watchdog=300, session_class=None, **session_options):
    """Runs the cases in one session (a harness.Session, or `session_class`, one made for another
    desktop); prints one line per case and the totals; returns the exit status of the script."""
    passed, failed, skipped = 0, 0, 0
    session_class = session_class or harness.Session
    try:
        with harness.watchdog(watchdog), session_class(program, **session_options) as session:
            for case in cases:
                name = case.__name__[len("case_"):]
                started = time.monotonic()
                try:
                    case(session)
                except CaseSkipped as reason:
                    skipped += 1
                    print(f"SKIP {name}: {reason}", flush=True)
                except CaseFailure as error:
                    failed += 1
                    print(f"FAIL {name}: {error}", flush=True)
                    keep_evidence(session, name, artifacts)
                    recover(session)
                except harness.HarnessError as error:
                    # Something the case waited for did not come: where it waited says what.
                    failed += 1
                    where = traceback.extract_tb(error.__traceback__)
                    steps = " > ".join(f"{frame.name}:{frame.lineno}" for frame in where[1:])
                    print(f"FAIL {name}: {error}\n  (at {steps})", flush=True)
                    keep_evidence(session, name, artifacts)
                    recover(session)
                except Exception:
                    failed += 1
                    print(f"FAIL {name}: unexpected error\n{traceback.format_exc()}", flush=True)
                    keep_evidence(session, name, artifacts)
                    recover(session)
                else:
                    passed += 1
                    print(f"ok   {name} ({time.monotonic() - started:.1f}s)", flush=True)
    except harness.HarnessError as error:
        failed += 1
        print(f"FAIL the session: {error}")
    except harness.Aborted as error:
        failed += 1
        print(f"FAIL aborted: {error}")
    except KeyboardInterrupt:
        failed += 1
        print("FAIL interrupted")
    print(f"{passed} passed, {failed} failed" + (f", {skipped} skipped" if skipped else ""))
    return 0 if failed == 0 and passed + skipped == len(cases) else 1


def recover(session):
    """A fresh program for the next case, whatever state the failed one left behind."""
    session.restart_program()


def keep_evidence(session, name, folder):
    log = session.program_log().strip()
    if log:
        print("  program output (last lines):\n    " + "\n    ".join(log.splitlines()[-15:]))
    if not folder:
        return
    os.makedirs(folder, exist_ok=True)
    try:
        shot = session.screenshot(os.path.join(folder, name + ".png"), whole_screen=True)
        print(f"  screenshot: {shot}")
    except harness.HarnessError as error:
        print(f"  no screenshot: {error}")
    with open(os.path.join(folder, name + ".log"), "w") as f:
        f.write(log + "\n")
