#!/usr/bin/python3
"""Hostile expressions and termination, end to end: the real program on its own X server.

    /usr/bin/python3 tests/e2e/test_robust.py path/to/quantoria --eval path/to/quantoria-eval
                                              [--artifacts DIR]

Every class of expression that used to take the window down or hold it (native recursion in the
engine, queued jobs, unbounded built-ins, memory kept in globals) is typed into the window and fed
to quantoria-eval: the window must stay up and answering, show a message in the row within the
time limit, stay under the memory cap (summed over the program and its engine process), and
evaluate the next expression. Then termination: SIGTERM while a runaway evaluates, while a queued
job loops, while the error box is open, and with a save that fails; each must end the program
within 2 s, and the failed save must be reported on standard error, not in a box.
"""

import os
import signal
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases  # noqa: E402
import harness  # noqa: E402
from cases import CaseFailure, evaluate, expect, expect_text, focus_row  # noqa: E402

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


def termination_case(name, prepare, expected_in_log=None):
    def case(session):
        cases.fresh_start(session)
        prepare(session)
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
    case.__name__ = "case_sigterm_" + name.replace(" ", "_")
    return case


def start_evaluating(expression):
    def prepare(session):
        focus_row(session, 1)
        evaluate(session, expression)
        time.sleep(1.0)  # it runs now
    return prepare


def open_error_box(session):
    focus_row(session, 1)
    evaluate(session, "1/0")
    session.find_dialog(cases.TITLE)


def open_about_window(session):
    cases.choose_menu(session, "Help", "About")
    session.find_dialog("About")


def failing_save(session):
    # The settings file's place is taken by a folder: writing it at the end fails.
    os.mkdir(os.path.join(session.program_dir, "calc_config.ini"))
    focus_row(session, 1)
    evaluate(session, "2+2")
    expect_text(session, "Result 1", "4.00", "before SIGTERM")


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
        termination_case("with a failed save", failing_save, "calc_config.ini"),
        case_kill_after_evaluation_loses_nothing,
    ]
    return cases.run(all_cases, args.program, args.artifacts, watchdog=900)


if __name__ == "__main__":
    sys.exit(main())
