#!/usr/bin/python3
"""A second start with a launcher's startup id, end to end on X11: the real program on its own X
server with openbox and a notification area (trayer); another window is active; a second copy is
started with DESKTOP_STARTUP_ID as a launcher sets it. The first copy's window must end up active
(the root window's _NET_ACTIVE_WINDOW), asked for with the time of the id's "_TIME" suffix, carry
the id as its _NET_STARTUP_ID, and the launcher must get "remove: ID=<id>" (which ends its busy
cursor). The messages to the root window are read with root_messages.py.

    /usr/bin/python3 tests/e2e/test_activation.py path/to/quantoria [--artifacts DIR]
"""

import os
import secrets
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases  # noqa: E402
import harness  # noqa: E402
from cases import describe_window, expect  # noqa: E402


def shown(state):
    return state["viewable"] and state["wm_state"] == "Normal"


def in_tray(state):
    return not state["viewable"] and not state["managed"]


def program_window(session):
    """The program's main window as a number, following a new X window id after a restore."""
    wid = session.main_window()
    if wid is not None:
        session.window = wid
    return int(str(session.window), 0)


# The other program's window, started once per session.
_other = {}


def other_window_active(session):
    """Makes another program's window the active one, as when the user works elsewhere."""
    other = _other.get(id(session))
    if other is None or other.poll() is not None:
        other = session.start_helper("xmessage", ["xmessage", "-name", "other", "another program"],
                                     "x11-utils")
        _other[id(session)] = other
    wid = session.helper_window(other, "other")
    session.activate_window(wid)
    ok, active = session.wait_for(session.active_window, lambda w: w == wid)
    expect(ok, f"the other window {wid:#x} did not become active (active: {active})")


def fresh_shown_window(session):
    if session.program is None or session.program.poll() is not None \
            or not shown(session.window_state()):
        session.restart_program()


def start_second(session, startup_id):
    """Starts the second copy with DESKTOP_STARTUP_ID set to `startup_id` (None: unset) and
    checks that it ends with status 1."""
    env = {} if startup_id is None else {"DESKTOP_STARTUP_ID": startup_id}
    second = session.start_second_copy(extra_env=env)
    status = session.wait_exit(second)
    expect(status == 1, f"the second start ended with status {status}, expected 1"
           if status is not None else "the second start still runs")


def expect_active(session, context):
    """The program's window is shown and the active window (bounded wait)."""
    deadline = time.monotonic() + harness.FIND_TIMEOUT
    while True:
        wid = program_window(session)
        state = session.window_state(wid)
        active = session.active_window()
        if shown(state) and active == wid:
            return wid
        if time.monotonic() >= deadline:
            raise cases.CaseFailure(
                f"{context}: the window is {describe_window(session)}, the active window is "
                f"{active and hex(active)}; expected the program's window {wid:#x} active")
        time.sleep(0.1)


def expect_startup_handled(session, messages, startup_id, launch_time, context):
    """The running copy told the launcher the start is over and asked the window manager to
    activate its window with the launch's time, and the window carries the id."""
    removed = [f"remove: ID={startup_id}"]
    ok, seen = session.wait_for(messages.startup_messages, lambda m: m == removed)
    expect(ok, f"{context}: the startup messages were {seen!r}, expected {removed!r}")
    wid = program_window(session)
    ok, requests = session.wait_for(messages.activation_requests,
                                    lambda r: (wid, 1, launch_time) in r)
    expect(ok, f"{context}: the activation requests were {requests!r}, expected one for "
               f"{wid:#x} from an application (1) at the launch time {launch_time}")
    prop = session.window_property("_NET_STARTUP_ID", wid)
    expect(f'"{startup_id}"' in prop, f"{context}: the window's _NET_STARTUP_ID reads {prop!r}")


def startup_id(launch_time):
    return f"quantoria-e2e/{secrets.token_hex(4)}-0-host_TIME{launch_time}"


# ---- the cases ----------------------------------------------------------------------------------

def case_startup_id_activates_the_shown_window(session):
    """The window is shown but another one is active: the second start with a startup id makes
    it the active window, with the id's time, and ends the launch."""
    fresh_shown_window(session)
    other_window_active(session)
    messages = session.watch_root_messages()
    try:
        launch_time = messages.time()
        sid = startup_id(launch_time)
        start_second(session, sid)
        expect_active(session, "a second start with a startup id")
        expect_startup_handled(session, messages, sid, launch_time,
                               "a second start with a startup id")
    finally:
        messages.stop()


def case_startup_id_brings_the_window_back_from_the_tray(session):
    """The window is hidden in the notification area: the second start with a startup id shows
    it, activates it with the id's time (once it is on the screen), and ends the launch."""
    fresh_shown_window(session)
    session.wait_tray_icon()  # closing hides into the icon only once it is there
    session.close_window()
    ok, state = session.wait_window_state(in_tray)
    expect(ok, f"Alt+F4: the window is {describe_window(session)} ({state}), expected it in the "
               f"notification area")
    other_window_active(session)
    messages = session.watch_root_messages()
    try:
        launch_time = messages.time()
        sid = startup_id(launch_time)
        start_second(session, sid)
        expect_active(session, "a second start with a startup id, from the tray")
        expect_startup_handled(session, messages, sid, launch_time,
                               "a second start with a startup id, from the tray")
    finally:
        messages.stop()


def case_second_start_without_startup_id_as_before(session):
    """Without a startup id the window is raised as before, and no startup message is sent."""
    fresh_shown_window(session)
    other_window_active(session)
    messages = session.watch_root_messages()
    try:
        start_second(session, None)
        expect_active(session, "a second start without a startup id")
        time.sleep(0.5)  # what the running copy would send comes with the raise
        expect(messages.startup_messages() == [],
               f"startup messages without a startup id: {messages.startup_messages()!r}")
    finally:
        messages.stop()


def case_unacceptable_startup_id_is_dropped(session):
    """Startup ids that are not plain tokens (a space, a quote, too long) are not passed on: the
    window is still raised, and nothing is sent in their name."""
    fresh_shown_window(session)
    for sid in ("two words_TIME5", 'quote"d_TIME5', "x" * 300 + "_TIME5"):
        other_window_active(session)
        messages = session.watch_root_messages()
        try:
            start_second(session, sid)
            expect_active(session, f"a second start with the startup id {sid[:20]!r}...")
            time.sleep(0.5)
            expect(messages.startup_messages() == [],
                   f"startup messages for the id {sid[:20]!r}...: "
                   f"{messages.startup_messages()!r}")
        finally:
            messages.stop()


CASES = [
    case_startup_id_activates_the_shown_window,
    case_startup_id_brings_the_window_back_from_the_tray,
    case_second_start_without_startup_id_as_before,
    case_unacceptable_startup_id_is_dropped,
]


def main():
    args = cases.arguments(__doc__.split("\n\n")[0])
    return cases.run(CASES, args.program, args.artifacts, watchdog=240, tray=True)


if __name__ == "__main__":
    sys.exit(main())
