#!/usr/bin/python3
"""SIGKILL while the history is being saved, in a loop: the real program on its own X server,
started on a large history file, evaluates, and is killed at a random moment around the save.

    /usr/bin/python3 tests/e2e/test_kill_saves.py path/to/quantoria [--rounds N] [--seed N]
                                                  [--size-mib N] [--artifacts DIR]

After each kill the history file must be whole: a valid history, byte for byte either the old
file or the old file with the new entry on top. The kill must take the engine process with it,
and the next start must leave no temporary file of a save beside the history. A few
evaluations without a kill first measure how long a save takes, so that the kills fall before, during and after
the saves. The seed is printed; --seed repeats a run's moments.
"""

import os
import random
import signal
import sys
import threading
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases  # noqa: E402
import harness  # noqa: E402
from cases import HISTORY_FILE, expect  # noqa: E402

# Files the folder may hold; anything else after a start is a save's leftover.
KNOWN_FILES = {HISTORY_FILE, HISTORY_FILE + ".lock", cases.SETTINGS_FILE, "quantoria.portable",
               "quantoria-engine"}
SAVE_BOUND = 60.0  # a save of the large history on a loaded machine
CALIBRATION_SAVES = 3
KILL_WINDOW = 2.0  # the kills fall within this many times a measured save after Enter


def history_entries(data, what):
    """The (date, expression, result) entries of a history file's bytes, newest first; fails
    unless the bytes are whole entries."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise cases.CaseFailure(f"{what}: not UTF-8: {error}")
    if not text:
        return []
    expect(text.endswith("\r\n"), f"{what}: the last line is cut: {text[-60:]!r}")
    lines = text[:-2].split("\r\n")
    expect(len(lines) % 5 == 0, f"{what}: {len(lines)} lines, not whole entries")
    for at in range(0, len(lines), 5):
        blank, date, expression, equals, result = lines[at:at + 5]
        if not (blank == "" and equals == "=" and date and expression and result):
            raise cases.CaseFailure(f"{what}: lines {at}..{at + 4} are no entry: "
                                    f"{lines[at:at + 5]!r}")
    return [(lines[at + 1], lines[at + 2], lines[at + 4]) for at in range(0, len(lines), 5)]


def large_history(size):
    """A history file of about `size` bytes, entries of different lengths."""
    parts, total, n = [], 0, 0
    while total < size:
        entry = (f"\r\n{n % 12 + 1}/{n % 28 + 1}/25 {n % 12 + 1}:{n % 60:02}:{n % 59:02} PM\r\n"
                 f"{n}*{n % 97}+Math.sqrt({n % 1000})\r\n=\r\n{n * (n % 97):,}.{n % 100:02}\r\n")
        parts.append(entry)
        total += len(entry)
        n += 1
    return "".join(parts).encode("utf-8")


def leftovers(session):
    return sorted(name for name in os.listdir(session.program_dir)
                  if name not in KNOWN_FILES and name != os.path.basename(session.program_path))


def children(pid):
    found = set()
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/children") as f:
                found |= {int(p) for p in f.read().split()}
        except OSError:
            pass
    return found


def type_expression(session, expression):
    """Types into the focused expression box (row 1 after a start)."""
    session.activate()
    session.key("ctrl+a")
    session.type_text(expression)


def press_enter(session):
    """Presses Enter from another thread, so that the caller can act while the program handles
    it; returns the thread and the moment just before the press."""
    thread = threading.Thread(target=session.key, args=("Return",), daemon=True)
    moment = time.monotonic()
    thread.start()
    return thread, moment


def replaced(session, before):
    """True once the history file is another file than `before` (its inode number)."""
    try:
        return os.stat(os.path.join(session.program_dir, HISTORY_FILE)).st_ino != before
    except FileNotFoundError:
        return False


def check_history(data, old, expression, result, what):
    """The history after a kill: the old bytes, or the new entry on top of them. Returns True
    when the new entry is there."""
    history_entries(data, what)
    if data == old:
        return False
    expect(data.endswith(old),
           f"{what}: the file ({len(data)} bytes) is neither the old one ({len(old)} bytes) nor "
           f"the old one with an entry on top")
    top = history_entries(data[:len(data) - len(old)], what + ", its new part")
    expect([entry[1:] for entry in top] == [(expression, result)],
           f"{what}: the new part is {top!r}, expected one entry {expression} = {result}")
    return True


def kill_loop(rounds, seed, size):
    def case_kill_during_saves(session):
        rng = random.Random(seed)
        print(f"     seed {seed}, {rounds} rounds, a history of {size / 2**20:.0f} MiB",
              flush=True)
        session.stop_program()
        session.clear_program_dir()
        history = large_history(size)
        session.write_program_file(HISTORY_FILE, history)
        # What a kill between the temporary file's naming and the rename leaves, seconds old.
        session.write_program_file(HISTORY_FILE + ".Kx9Lm2", history)

        # Enter until the history file is replaced.
        started = time.monotonic()
        session.start_program()
        print(f"     a start on that history takes {time.monotonic() - started:.2f}s", flush=True)
        found = leftovers(session)
        expect(not found, f"a temporary file of a killed save stays after the start: {found}")
        # The first evaluation also starts the engine: the shortest of a few counts.
        saves = []
        for n in range(CALIBRATION_SAVES):
            inode = os.stat(os.path.join(session.program_dir, HISTORY_FILE)).st_ino
            type_expression(session, f"0*{n}")
            pressing, entered = press_enter(session)
            # Polled finely: the harness's polls are a tenth of a second apart.
            while not replaced(session, inode):
                expect(time.monotonic() - entered < SAVE_BOUND,
                       f"no save of the large history within {SAVE_BOUND:.0f}s of Enter")
                time.sleep(0.002)
            saves.append(time.monotonic() - entered)
            pressing.join(harness.COMMAND_TIMEOUT)
        save = min(saves)
        print(f"     Enter (xdotool's start included) to the saved file's rename takes "
              f"{', '.join(f'{s:.3f}s' for s in saves)}; the kills fall within "
              f"{save * KILL_WINDOW:.3f}s of the Enter", flush=True)
        session.stop_program()

        outcomes = {"old": 0, "new": 0}
        left = 0
        for n in range(1, rounds + 1):
            old = session.program_file(HISTORY_FILE)
            session.start_program()
            found = leftovers(session)
            expect(not found, f"round {n}: after the start these are still beside the history: "
                              f"{found}")
            expression, result = f"{n}*7", f"{n * 7}.00"
            delay = rng.uniform(0, save * KILL_WINDOW)
            type_expression(session, expression)
            engines = children(session.program.pid)
            pressing, entered = press_enter(session)
            time.sleep(max(0.0, entered + delay - time.monotonic()))
            session.send_signal(signal.SIGKILL)
            pressing.join(harness.COMMAND_TIMEOUT)
            expect(session.wait_exit() is not None, f"round {n}: the program survived SIGKILL")
            try:
                harness._poll("the engine to end with the program",
                              lambda: not any(harness._alive(pid) for pid in engines),
                              harness.STOP_TIMEOUT)
            except harness.HarnessError:
                raise cases.CaseFailure(f"round {n}: the engine process(es) {sorted(engines)} "
                                        f"outlived the program's SIGKILL")
            what = f"round {n} (killed {delay:.3f}s after Enter)"
            data = session.program_file(HISTORY_FILE)
            expect(data is not None, f"{what}: the history file is gone")
            new = check_history(data, old, expression, result, what)
            outcomes["new" if new else "old"] += 1
            left += bool(leftovers(session))
        session.start_program()
        found = leftovers(session)
        expect(not found, f"after the last round's start these are still beside the history: "
                          f"{found}")
        print(f"     the file held the old history after {outcomes['old']} kills and the new "
              f"entry after {outcomes['new']}; {left} kills left a temporary file behind (the "
              f"next start removed each)", flush=True)
    return case_kill_during_saves


def main():
    def extra(parser):
        parser.add_argument("--rounds", type=int, default=20)
        parser.add_argument("--seed", type=int, default=None)
        parser.add_argument("--size-mib", type=int, default=48)

    args = cases.arguments(__doc__.split("\n\n")[0], extra)
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2**32)
    return cases.run([kill_loop(args.rounds, seed, args.size_mib * 2**20)], args.program,
                     args.artifacts, watchdog=600, accessible=False)


if __name__ == "__main__":
    sys.exit(main())
