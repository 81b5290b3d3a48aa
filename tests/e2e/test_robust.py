#!/usr/bin/python3
"""Hostile expressions and termination, end to end: the real program on its own X server.

    /usr/bin/python3 tests/e2e/test_robust.py path/to/quantoria --eval path/to/quantoria-eval
                                              [--artifacts DIR]

Every class of expression that used to take the window down or hold it (native recursion in the
engine, queued jobs, unbounded built-ins, memory kept in globals) is typed into the window and fed
to quantoria-eval: the window must stay up and answering, show a message in the row within the
time limit, stay under the memory cap (summed over the program and its engine process), and
evaluate the next expression. Then termination: SIGTERM while a runaway evaluates, while a queued
job loops, while each modal box the window can show is open, and with a save that fails (a
settings file's place taken, a full disk); each must end the program within 2 s, and the failed
save must be reported on standard error and as a desktop notification, not in a box. Last, two
copies on two displays (two sessions, each with its own runtime folder) sharing one portable
folder: the one that came second is told the history is in use and keeps its entries in a file of
its own beside it; no entry of either is lost.

The session is the desktop of desktop_xfce.py without its panel: dunst serves notifications and
dbus-monitor records the Notify calls.
"""

import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases  # noqa: E402
import desktop_xfce  # noqa: E402
import harness  # noqa: E402
from cases import (HISTORY_FILE, TITLE, CaseFailure, CaseSkipped, evaluate,  # noqa: E402
                   expect, expect_text, focus_row)

TIME_LIMIT = 10.0           # the engine's time-out
ANSWER_BOUND = TIME_LIMIT + 3.0  # the time-out, the kill's grace and a loaded machine's slack
MEMORY_CAP_MIB = 40 + 512 + 128  # idle budget + the engine's limit + its hard margin
TERMINATION_BOUND = 2.0     # what the program promises
TERMINATION_SLACK = 1.0     # a loaded machine: delivery of the signal, the exit itself

ABORTED = "Operation aborted"
NO_MEMORY = "Not enough storage is available to complete this operation"
FAULT = "The server threw an exception"
SCRIPT_ERROR = "Exception occurred"
RESTARTED = "; the script engine was restarted and its variables are lost"

# (name, expression, the messages allowed in the result box; None: a number or the
# out-of-memory message, evaluated several times over). Each builds its hostile shape with a loop,
# so the text fits in a row, and none holds a "=", which evaluates the row as it is typed.
NUMBER = object()
HOSTILE = [
    # Native recursion inside the engine's C++ code.
    ("nested array text",
     "Array(1e5).fill(0).reduce(function(a){return [a]},[]).toString().length",
     {FAULT + RESTARTED, SCRIPT_ERROR, NUMBER}),
    ("flat of a nested array",
     "Array(1e5).fill(0).reduce(function(a){return [a]},[]).flat(Infinity).length",
     {FAULT + RESTARTED, SCRIPT_ERROR, NUMBER}),
    ("deep regular expression groups", "new RegExp('('.repeat(1e5)+')'.repeat(1e5)).test('')+1",
     {FAULT + RESTARTED, SCRIPT_ERROR, NUMBER}),
    ("proxy chain text",
     "String(Array(1e5).fill(0).reduce(function(p){return new Proxy(p,{})},{})).length",
     {FAULT + RESTARTED, SCRIPT_ERROR, NUMBER}),
    ("huge JSON array", "JSON.parse('['+'1,'.repeat(3e7)+'1]').length",
     {FAULT + RESTARTED, NO_MEMORY + RESTARTED, NO_MEMORY, SCRIPT_ERROR}),
    # Work queued by the script runs before the answer, under the same limits.
    ("queued endless job", "Promise.resolve().then(function(){while(1){}}),2", {ABORTED}),
    ("endless job chain", "(function f(){Promise.resolve().then(f)})(),2", {ABORTED}),
    ("job chain that allocates",
     "(function f(k){k.push(Array(1e5).fill(1));Promise.resolve().then(function(){f(k)})})([]),2",
     {NO_MEMORY, NO_MEMORY + RESTARTED, ABORTED, ABORTED + RESTARTED}),
    # One built-in call that outruns both limits.
    ("huge filled array", "new Array(1e9).fill(0).length",
     {NO_MEMORY, NO_MEMORY + RESTARTED, ABORTED + RESTARTED, SCRIPT_ERROR}),
    ("huge repeat", "'x'.repeat(2**29).length", {NO_MEMORY, NO_MEMORY + RESTARTED, SCRIPT_ERROR}),
    ("huge regex replace", "'ab'.repeat(1e7).replace(/a/g,'x'.repeat(100)).length",
     {NO_MEMORY, NO_MEMORY + RESTARTED, ABORTED, ABORTED + RESTARTED, SCRIPT_ERROR}),
    # Memory kept in globals across evaluations counts against the same cap.
    ("memory kept across evaluations",
     "(this.g||Object.defineProperty(this,'g',{value:[]}).g).push(Array(4e6).fill(Math.random()))",
     None),
]
ROUNDS_KEPT = 9


def allowed_text(text, allowed):
    if allowed is None:
        allowed = {NO_MEMORY, NO_MEMORY + RESTARTED, NUMBER}
    if NUMBER in allowed and text.replace(",", "").replace(".", "").isdigit():
        return True
    return text in allowed


def descendants(pid):
    found = []
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            children = [int(p) for p in f.read().split()]
    except OSError:
        return found
    for child in children:
        found.append(child)
        found.extend(descendants(child))
    return found


def pss_mib(pid):
    """PSS of the program and every process it runs, in MiB."""
    total = 0
    for p in [pid] + descendants(pid):
        try:
            with open(f"/proc/{p}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total / 1024


def result_of(session, row=1):
    return session.text(session.find(f"Result {row}"))


def wait_result_change(session, before, bound):
    """Waits until row 1's result differs from `before`; the new text and the seconds taken."""
    started = time.monotonic()
    while time.monotonic() - started < bound:
        text = result_of(session)
        if text != before:
            return text, time.monotonic() - started
        time.sleep(0.1)
    return result_of(session), time.monotonic() - started


def hostile_case(name, expression, allowed):
    def case(session):
        focus_row(session, 1)
        session.key("ctrl+a")
        evaluate(session, "0")
        expect_text(session, "Result 1", "0.00", "before the hostile expression")
        repeats = ROUNDS_KEPT if allowed is None else 1
        for round_ in range(repeats):
            focus_row(session, 1)
            session.key("ctrl+a")
            before = result_of(session)
            session.type_text(expression)
            session.key("Return")
            text, took = wait_result_change(session, before, ANSWER_BOUND)
            expect(session.program.poll() is None,
                   f"{name}: the program ended (status {session.program.returncode})")
            expect(text != before or allowed_text(text, allowed),
                   f"{name}: no message in the row within {ANSWER_BOUND:.0f}s")
            expect(allowed_text(text, allowed), f"{name}: the row shows {text!r}")
            expect(took <= ANSWER_BOUND, f"{name}: the row answered after {took:.1f}s")
            memory = pss_mib(session.program.pid)
            expect(memory <= MEMORY_CAP_MIB,
                   f"{name} (round {round_ + 1}): the program holds {memory:.0f} MiB "
                   f"(PSS with its engine), over {MEMORY_CAP_MIB} MiB")
        focus_row(session, 1)
        session.key("ctrl+a")
        evaluate(session, "6*7")
        expect_text(session, "Result 1", "42.00", f"the evaluation after {name}")
    case.__name__ = "case_window_" + name.replace(" ", "_")
    return case


def eval_table_case(program):
    def case_eval_survives_every_class(session):
        """quantoria-eval: each hostile expression gives a message, and the line after it is
        evaluated by the same process."""
        for name, expression, allowed in HOSTILE:
            started = time.monotonic()
            out = subprocess.run([program, "--", expression, "6*7"], capture_output=True,
                                 text=True, timeout=ANSWER_BOUND * 2 + 10,
                                 cwd=session.root).stdout.splitlines()
            took = time.monotonic() - started
            expect(len(out) == 2, f"eval, {name}: printed {out!r}")
            expect(allowed_text(out[0], allowed), f"eval, {name}: printed {out[0]!r}")
            expect(out[1] == "42.00", f"eval, {name}: the next line gave {out[1]!r}")
            expect(took <= ANSWER_BOUND + 5, f"eval, {name}: took {took:.1f}s")
        # Queued jobs run before the answer, and variables stay between lines.
        out = subprocess.run([program, "--", "var x=1;Promise.resolve().then(()=>{x=9});2", "x"],
                             capture_output=True, text=True, timeout=30).stdout.splitlines()
        expect(out == ["2.00", "9.00"], f"eval, queued job: printed {out!r}")
    return case_eval_survives_every_class


def expect_ends_on_sigterm(session, name, expected_in_log=None):
    """Sends SIGTERM and checks the program ends within the bound, and (when given) that its
    standard error names `expected_in_log`."""
    started = time.monotonic()
    session.send_signal(signal.SIGTERM)
    status = session.wait_exit(timeout=TERMINATION_BOUND + TERMINATION_SLACK + 5)
    took = time.monotonic() - started
    expect(status is not None, f"{name}: the program still runs after {took:.1f}s")
    print(f"     {name}: ended {took:.2f}s after SIGTERM, status {status}", flush=True)
    expect(took <= TERMINATION_BOUND + TERMINATION_SLACK,
           f"{name}: the program took {took:.1f}s to end after SIGTERM")
    if expected_in_log:
        log = session.program_log()
        expect(expected_in_log in log,
               f"{name}: standard error does not report {expected_in_log!r}: {log[-500:]!r}")


def termination_case(name, prepare, expected_in_log=None, after=None):
    """SIGTERM in the state `prepare(session)` brings the program into; `after(session)` checks
    what the ending left behind."""
    def case(session):
        cases.fresh_start(session)
        prepare(session)
        expect_ends_on_sigterm(session, name, expected_in_log)
        if after:
            after(session)
    case.__name__ = "case_sigterm_" + name.replace(" ", "_")
    return case


def start_evaluating(expression):
    def prepare(session):
        focus_row(session, 1)
        evaluate(session, expression)
        time.sleep(1.0)  # it runs now
    return prepare


def expect_box(session, title, text):
    """The program shows a box titled `title` with a label reading `text`."""
    box = session.find_dialog(title)
    labels = session.dialog_labels(box)
    expect(text in labels, f"the box titled {title!r} says {labels!r}, expected {text!r}")
    return box


def open_error_box(session):
    focus_row(session, 1)
    evaluate(session, "1/0")
    session.find_dialog(TITLE)


def open_about_window(session):
    cases.choose_menu(session, "Help", "About")
    session.find_dialog("About")


ERASE_QUESTION = "All historys of calculator will be lost, are you sure?"


def open_erase_question(session):
    import pyatspi
    focus_row(session, 1)
    evaluate(session, "3*3")
    expect_text(session, "Result 1", "9.00", "before Erase History")
    cases.wait_history_file(session, lambda lines: "3*3" in lines, "3*3 before Erase History")
    session.click(session.find_showing("Erase History", pyatspi.ROLE_LABEL))
    expect_box(session, TITLE, ERASE_QUESTION)


def history_kept(session):
    """Termination answers no question: the history the erase box asked about is still there."""
    lines = cases.history_file_lines(session)
    expect(lines is not None and "3*3" in lines,
           f"SIGTERM at the erase question erased the history: the file holds {lines!r}")


DAMAGED = "The program file of Quantoria is damaged. Please obtain Quantoria again."


def open_damaged_program_box(session):
    """A copy of the program with one byte appended after its seal: the integrity box shows
    once the window is up."""
    folder = os.path.join(session.root, "damaged")
    os.makedirs(folder, exist_ok=True)
    damaged = os.path.join(folder, os.path.basename(session.program_source))
    shutil.copy2(session.program_source, damaged)
    with open(damaged, "ab") as f:
        f.write(b"\0")
    original = session.program_source
    session.program_source = damaged
    try:
        # The box comes right after the window, and keeps the window from being activated.
        session.start_program(until_dialog=TITLE)
    finally:
        session.program_source = original
    expect_box(session, TITLE, DAMAGED)


def open_start_up_box(session):
    """A folder where the history file should be: the program says so in a box while its window
    is being made, before its event loop runs."""
    session.stop_program()
    session.clear_program_dir()
    os.mkdir(os.path.join(session.program_dir, HISTORY_FILE))
    session.start_program(until_dialog=TITLE)


def failing_save(session):
    # The settings file's place is taken by a folder: writing it at the end fails.
    os.mkdir(os.path.join(session.program_dir, "calc_config.ini"))
    focus_row(session, 1)
    evaluate(session, "2+2")
    expect_text(session, "Result 1", "4.00", "before SIGTERM")


def failed_save_notified(session):
    """The failed save was also a notification, through the desktop's notification service,
    naming the file."""
    path = os.path.join(session.program_dir, "calc_config.ini")

    def notified():
        return [call for call in session.notify_calls()
                if call.app_name == TITLE and path in call.body]

    try:
        harness._poll("a Notify call naming the settings file", notified, harness.FIND_TIMEOUT)
    except harness.HarnessError:
        raise CaseFailure(f"no Notify call names {path}: the calls seen are "
                          f"{session.notify_calls()!r}")
    expect(session.name_owner(desktop_xfce.NOTIFICATIONS),
           "the notification service left the bus")


# ---- a full disk --------------------------------------------------------------------------------

FULL_DISK_SIZE_MIB = 48  # the program's copy (~20 MiB), the history, and room to fill


def run_root_command(argv):
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as error:
        return False, str(error)
    return done.returncode == 0, (done.stderr or done.stdout).strip()


def unmount(folder):
    """Unmounts `folder` (bounded retries while the kernel still holds it, then a lazy unmount);
    an error message, or None."""
    message = ""
    for _ in range(10):
        ok, message = run_root_command(["umount", folder])
        if ok or not os.path.ismount(folder):
            return None
        time.sleep(0.5)
    ok, lazy = run_root_command(["umount", "-l", folder])
    return None if ok else f"umount {folder}: {message}; umount -l: {lazy}"


def fill_disk(folder):
    """Writes a file into `folder` until the file system has no byte left."""
    fd = os.open(os.path.join(folder, "filler"), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        for size in (1 << 20, 4096, 1):
            chunk = b"\0" * size
            while True:
                try:
                    if os.write(fd, chunk) < size:
                        break
                except OSError:
                    break
    finally:
        os.close(fd)
    left = os.statvfs(folder)
    expect(left.f_bavail == 0, f"the disk was not filled: {left.f_bavail} blocks left")


def history_bytes(entries):
    """The history file's bytes for (date, expression, result) entries, newest first."""
    return "".join(f"\r\n{date}\r\n{expression}\r\n=\r\n{result}\r\n"
                   for date, expression, result in entries).encode("utf-8")


def case_sigterm_on_a_full_disk(session):
    """The program's folder on a small tmpfs, filled up: an evaluation's save fails, the window
    says so, and SIGTERM still ends the program within the bound, reporting the failed save on
    standard error; the history file that was there stays whole, and no temporary file is
    left."""
    session.stop_program()
    session.clear_program_dir()
    folder = session.program_dir
    ok, message = run_root_command(["mount", "-t", "tmpfs", "-o",
                                    f"size={FULL_DISK_SIZE_MIB}m,mode=0755", "tmpfs", folder])
    if not ok:
        raise CaseSkipped(f"cannot mount a tmpfs on the program's folder ({message}); the "
                          f"full-disk row needs root (CAP_SYS_ADMIN)")
    problem = None
    try:
        earlier = history_bytes([(f"1/2/25 3:04:{n:02} PM", f"{n}+{n}", f"{2 * n}.00")
                                 for n in range(40)])
        session.write_program_file(HISTORY_FILE, earlier)
        session.start_program()
        fill_disk(folder)
        focus_row(session, 1)
        evaluate(session, "5*5")
        expect_text(session, "Result 1", "25.00", "5*5 on a full disk")
        # The save on the writer thread failed; the autosave tries once more and says so.
        labels = session.dialog_labels(session.find_dialog(TITLE))
        expect(any(HISTORY_FILE in label for label in labels),
               f"the box after the failed save says {labels!r}; expected {HISTORY_FILE} named")
        expect_ends_on_sigterm(session, "on a full disk", HISTORY_FILE)
        history = os.path.join(folder, HISTORY_FILE)
        try:
            harness._poll("a Notify call naming the history file",
                          lambda: [call for call in session.notify_calls()
                                   if history in call.body], harness.FIND_TIMEOUT)
        except harness.HarnessError:
            raise CaseFailure(f"no Notify call names {history}: {session.notify_calls()!r}")
        data = session.program_file(HISTORY_FILE)
        expect(data == earlier, f"on a full disk the history file changed: {len(data or b'')} "
                                f"bytes, was {len(earlier)}")
        leftovers = sorted(name for name in os.listdir(folder)
                           if re.fullmatch(r"calc_(history\.txt|config\.ini)\.[A-Za-z0-9]{6}",
                                           name))
        expect(not leftovers, f"temporary files left on the full disk: {leftovers}")
    finally:
        session.stop_program()
        problem = unmount(folder)
    expect(problem is None, f"the tmpfs stays mounted: {problem}")


# ---- two copies on two displays sharing one folder -----------------------------------------------

IN_USE = (r"The history file {history} is in use by another copy of Quantoria, which keeps it\. "
          r"The history of this session is kept in ({folder}/calc_history-session-"
          r"\d{{8}}-\d{{6}}-\d+\.txt)\.")


def history_entries(data, what):
    """The (date, expression, result) entries of a history file's bytes, newest first; fails
    unless the bytes are whole entries."""
    text = data.decode("utf-8")
    expect(text.endswith("\r\n"), f"{what}: the last line is cut: {text[-60:]!r}")
    lines = text[:-2].split("\r\n")
    expect(len(lines) % 5 == 0, f"{what}: {len(lines)} lines, not whole entries")
    entries = []
    for at in range(0, len(lines), 5):
        blank, date, expression, equals, result = lines[at:at + 5]
        expect(blank == "" and equals == "=" and date and expression and result,
               f"{what}: lines {at}..{at + 4} are no entry: {lines[at:at + 5]!r}")
        entries.append((date, expression, result))
    return entries


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def case_two_displays_share_one_folder(session):
    """Two copies in two sessions (displays, buses and runtime folders of their own) started
    from one portable folder, evaluating in turns: the second is told the history is in use,
    and keeps its entries in the file the message names; one ends by File > Exit, the other by
    SIGTERM; every entry is in the file of the copy that made it."""
    import pyatspi
    earlier = [("1/2/25 3:04:05 PM", "1+2", "3.00")]
    session.stop_program()
    session.clear_program_dir()
    session.write_program_file(HISTORY_FILE, history_bytes(earlier))
    folder = session.program_dir
    history = os.path.join(folder, HISTORY_FILE)
    with harness.Session(session.program_source, accessible=False,
                         program_dir=folder) as first:
        expect(first.display != session.display, "both copies are on one display")
        box = session.start_program(until_dialog=TITLE)
        labels = session.dialog_labels(box)
        pattern = IN_USE.format(history=re.escape(history), folder=re.escape(folder))
        told = [m for m in (re.fullmatch(pattern, label) for label in labels) if m]
        expect(told, f"the second copy's box says {labels!r}; expected the history-in-use "
                     f"message for {history}")
        session_file = told[0].group(1)
        session.click(session.find_showing("OK", pyatspi.ROLE_PUSH_BUTTON))
        session.wait_no_dialog(TITLE)
        session.finish_start()

        mine, theirs = [], []
        for n in range(1, 4):
            expression, result = f"{n}*11", f"{n * 11}.00"
            first.activate()
            first.key("ctrl+a")
            first.type_text(expression)
            first.key("Return")
            mine.append((expression, result))
            cases.wait_history_file(first, lambda lines, e=expression: e in lines,
                                    f"the first copy's {expression}")
            expression, result = f"{n}*22", f"{n * 22}.00"
            focus_row(session, 1)
            session.key("ctrl+a")
            evaluate(session, expression)
            expect_text(session, "Result 1", result, f"the second copy's {expression}")
            theirs.append((expression, result))
            ok, data = session.wait_for(lambda: read_file(session_file),
                                        lambda d, e=expression: f"\r\n{e}\r\n".encode() in d)
            expect(ok, f"the second copy's {expression} is not in {session_file}: {data!r}")

        cases.choose_menu(session, "File", "Exit")
        cases.expect_exit(session, 0, "File > Exit in the second copy")
        first.send_signal(signal.SIGTERM)
        status = first.wait_exit()
        expect(status == 0, f"SIGTERM to the first copy: status {status}")

    def expressions(path):
        return [(e, r) for _, e, r in history_entries(read_file(path), os.path.basename(path))]

    before = [(e, r) for _, e, r in earlier]
    kept = expressions(history)
    expect(kept == mine[::-1] + before,
           f"the history file holds {kept}, expected the first copy's {mine[::-1] + before}")
    sessions = glob.glob(os.path.join(folder, "calc_history-session-*.txt"))
    expect(sessions == [session_file], f"session files {sessions}, expected [{session_file}]")
    kept = expressions(session_file)
    expect(kept == theirs[::-1] + before,
           f"{session_file} holds {kept}, expected the second copy's {theirs[::-1] + before}")


def case_kill_after_evaluation_loses_nothing(session):
    """SIGKILL right after an evaluation shows its result: every evaluation before it is in the
    history file (each is on disk before the next one runs)."""
    cases.fresh_start(session)
    focus_row(session, 1)
    for n in range(1, 4):
        session.key("ctrl+a")
        evaluate(session, f"{n}*111")
        expect_text(session, "Result 1", f"{n * 111}.00", f"{n}*111 + Enter")
    session.send_signal(signal.SIGKILL)
    expect(session.wait_exit() is not None, "the program survived SIGKILL")
    text = (session.program_file("calc_history.txt") or b"").decode("utf-8", "replace")
    for n in range(1, 3):
        expect(f"{n}*111\r\n=\r\n{n * 111}.00" in text,
               f"after SIGKILL the history file lacks {n}*111: {text!r}")


def main():
    args = cases.arguments(__doc__.split("\n\n")[0],
                           lambda parser: parser.add_argument("--eval", required=True))
    all_cases = [hostile_case(*row) for row in HOSTILE]
    all_cases.append(eval_table_case(os.path.abspath(args.eval)))
    all_cases += [
        termination_case("evaluating a runaway", start_evaluating("while(1){}")),
        termination_case("a queued job looping",
                         start_evaluating("Promise.resolve().then(()=>{while(1){}});2")),
        termination_case("with the error box open", open_error_box),
        termination_case("with the About window open", open_about_window),
        termination_case("with the erase question open", open_erase_question,
                         after=history_kept),
        termination_case("with the damaged program box open", open_damaged_program_box),
        termination_case("with a box open while the window is made", open_start_up_box),
        termination_case("with a failed save", failing_save, "calc_config.ini",
                         after=failed_save_notified),
        case_sigterm_on_a_full_disk,
        case_kill_after_evaluation_loses_nothing,
        case_two_displays_share_one_folder,
    ]
    logs = os.path.join(args.artifacts, "desktop") if args.artifacts else None
    return cases.run(all_cases, args.program, args.artifacts, watchdog=900,
                     session_class=desktop_xfce.XfceSession, tray=False, notifications=True,
                     logs=logs)


if __name__ == "__main__":
    sys.exit(main())
