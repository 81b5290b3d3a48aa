#!/usr/bin/python3
"""Living in the notification area, end to end: the real program next to a real XEmbed tray host
(trayer), its icon found in trayer's panel, its window's state read from the X server and the
window manager, the icon clicked with the mouse; a second start of the program; and a desktop
without a notification area, or with one that comes late or goes away.

    /usr/bin/python3 tests/e2e/test_tray.py path/to/quantoria [--artifacts DIR]
"""

import os
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases  # noqa: E402
import harness  # noqa: E402
from cases import (DEFAULT_SETTINGS, SETTINGS_FILE, CaseFailure, describe_window,  # noqa: E402
                   evaluate, expect, expect_exit, expect_text, fresh_start, history_file_lines)

REMINDER = "You can double click this icon to restore calculator at any time."


def shown(state):
    return state["viewable"] and state["wm_state"] == "Normal"


def in_tray(state):
    """Hidden into the notification area: unmapped and withdrawn, so no taskbar lists it."""
    return not state["viewable"] and not state["managed"]


def minimised(state):
    """Minimised the ordinary way: still managed (a taskbar lists it), iconic."""
    return not state["viewable"] and state["managed"] and state["wm_state"] == "Iconic"


def expect_window(session, predicate, what, context):
    ok, state = session.wait_window_state(predicate)
    expect(ok, f"{context}: the window is {describe_window(session)}, expected it {what} "
               f"({state})")


def expect_running(session, context):
    expect(session.program.poll() is None,
           f"{context}: the program ended (status {session.program.returncode})")


def balloon_texts(session):
    """The texts of the balloons the program shows now (they are windows of their own in its
    accessibility tree)."""
    import pyatspi
    session.app.clearCache()
    texts = []
    for i in range(session.app.childCount):
        try:
            child = session.app.getChildAtIndex(i)
            if child is not None and child.getRole() != pyatspi.ROLE_FRAME \
                    and child.getState().contains(pyatspi.STATE_SHOWING):
                texts.append(session.dialog_labels(child))
        except Exception:  # a balloon that went away while it was read
            continue
    return texts


def hide(session, gesture, predicate, what, context):
    """Makes the gesture that hides the window (close_window, minimize_window) and checks the
    window's state after it; returns a watch of the window's map events, started before, which
    the caller stops."""
    watch = session.watch_window()
    try:
        gesture()
        expect_window(session, predicate, what, context)
        expect(watch.wait("UnmapNotify"), f"{context}: the window was never unmapped "
                                          f"(its map events: {watch.events()})")
    except BaseException:
        watch.stop()
        raise
    return watch


def wait_shown(session, timeout):
    """Waits (bounded) for the main window to be shown again; True when it is."""
    deadline = time.monotonic() + timeout
    while True:
        if shown(session.window_state()):
            return True
        # Qt may map the window again under a new X window id: look for the program's window.
        wid = session.main_window()
        if wid is not None and wid != session.window:
            session.window = wid
            continue
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.1)


def expect_restored(session, watch, context, timeout=harness.FIND_TIMEOUT):
    """The window is shown again after `context`; `watch` (from hide()) tells a window that
    never came back from one that came back and went away again."""
    if wait_shown(session, timeout):
        return
    events = watch.events()
    expect(events.count("MapNotify") == 0,
           f"{context}: the window was mapped again and went away again at once; it is "
           f"{describe_window(session)} (its map events since it was hidden: {events})")
    raise CaseFailure(f"{context}: the window is {describe_window(session)}, expected it shown "
                      f"again (its map events since it was hidden: {events})")


def expect_reminder_balloon(session, context):
    ok, texts = session.wait_for(lambda: balloon_texts(session),
                                 lambda texts: [cases.TITLE, REMINDER] in texts)
    expect(ok, f"{context}: the balloons on the screen read {texts!r}; expected the reminder "
               f"{[cases.TITLE, REMINDER]!r}")


def restart_unless_shown(session):
    """A window the case before left on the screen stays; one that is not shown (a failed case
    before, or a window that went away by itself, which is reported) is started afresh."""
    if session.program is None or session.program.poll() is not None:
        session.restart_program()
        return
    state = session.window_state()
    if not shown(state):
        print(f"  note: the window the case before left shown is now {describe_window(session)} "
              f"({state}); its windows: {session.describe_windows()}; restarting the program")
        session.restart_program()


def with_tray(session):
    """The notification area is there and the program (started after it) shows its window."""
    if session.tray is None:
        session.stop_program()
        session.start_tray()
        session.start_program()
    else:
        restart_unless_shown(session)


def without_tray(session):
    """No notification area, and the program started without one shows its window."""
    if session.tray is not None:
        session.stop_program()
        session.stop_tray()
        session.start_program()
    else:
        restart_unless_shown(session)


# How often a gesture on the icon is made before the case gives up. On a machine short of CPU,
# the X server and openbox now and then lose the second press of a double click (a bare Qt program
# with an icon in trayer loses it too). A gesture after which the window was not even mapped is
# made again, and said so in the output; one after which the window was mapped and went away
# again is a failure.
GESTURE_ATTEMPTS = 3
GESTURE_WAIT = 5.0


def icon_gesture(session, button, repeat, took_effect, what):
    """Clicks the icon until took_effect() holds, GESTURE_ATTEMPTS times at most; returns the
    last value of took_effect()."""
    for attempt in range(1, GESTURE_ATTEMPTS + 1):
        session.click_tray_icon(button=button, repeat=repeat)
        ok, value = took_effect()
        if ok:
            if attempt > 1:
                print(f"  note: {what} took effect at attempt {attempt}")
            return True, value
    return False, value


BUTTON_NAMES = {1: "left", 2: "middle", 3: "right"}


def restore_by_double_click(session, watch, context, button=1):
    """Double-clicks the icon with `button` until the window hidden with hide() (its `watch`) is
    shown."""
    context = f"{context}, then a {BUTTON_NAMES[button]} double click on the icon"
    try:
        for attempt in range(1, GESTURE_ATTEMPTS + 1):
            session.click_tray_icon(button=button, repeat=2)
            if wait_shown(session, GESTURE_WAIT):
                if attempt > 1:
                    print(f"  note: the double click on the icon took effect at attempt {attempt}")
                return
            events = watch.events()
            expect(events.count("MapNotify") == 0,
                   f"{context}: the window was mapped again and went away again at once; it is "
                   f"{describe_window(session)} (its map events since it was hidden: {events})")
        raise CaseFailure(f"{context} ({GESTURE_ATTEMPTS} times): the window was never mapped "
                          f"again; it is {describe_window(session)}")
    finally:
        watch.stop()


# ---- the cases ----------------------------------------------------------------------------------

def balloon_geometries(session):
    """[(x, y, width, height)] of the balloons on the screen now: override-redirect windows of the
    program titled like it, other than its icon and its menus."""
    icon = session.tray_icon()
    found = []
    for wid, _ in session.windows():
        if icon is not None and int(wid, 0) == int(icon[0], 0):
            continue
        geometry = session.override_redirect_geometry(wid, title=cases.TITLE)
        if geometry is not None:
            found.append(geometry)
    return found


def distance(rect, point):
    """How far `point` lies outside the rectangle (x, y, w, h): 0 inside it."""
    x, y, w, h = rect
    px, py = point
    dx = max(x - px, 0, px - (x + w - 1))
    dy = max(y - py, 0, py - (y + h - 1))
    return max(dx, dy)


def case_icon_appears_with_reminder_balloon(session):
    """At start the icon is in trayer's panel and a balloon pops up next to it, pointing at it."""
    session.restart_program()  # the balloon of a start of its own
    icon = session.wait_tray_icon()
    expect(icon[3] > 0 and icon[4] > 0, f"the icon has no size: {icon}")
    ok, balloons = session.wait_for(lambda: balloon_geometries(session),
                                    lambda found: len(found) > 0)
    expect(ok, "no balloon came up at start")
    centre = (icon[1] + icon[3] // 2, icon[2] + icon[4] // 2)
    # A balloon points at the icon with its tail: its window reaches to the icon's centre or
    # nearly (the tail's tip is a few pixels off).
    near = [b for b in balloons if distance(b, centre) <= 16]
    expect(near, f"the start-up balloon is at {balloons}, not next to the icon at {centre}")


def case_right_button_pops_the_menu_on_release(session):
    """Pressing the right button on the icon does nothing; releasing it pops up the menu."""
    with_tray(session)
    _, x, y, w, h = session.wait_tray_icon()
    session.mouse_down(x + w // 2, y + h // 2, 3)
    try:
        # Nothing is to come: give a menu the time a release takes to bring one.
        ok, popups = session.wait_for(session.popup_windows, lambda p: len(p) > 0, timeout=1.5)
        expect(not ok, f"pressing the right button on the icon showed {popups!r}")
    finally:
        session.mouse_up(3)
    ok, popups = session.wait_for(session.popup_windows, lambda p: len(p) == 1)
    expect(ok, f"releasing the right button on the icon shows the popups {popups!r}; expected "
               f"one menu")
    session.key("Escape")
    ok, popups = session.wait_for(session.popup_windows, lambda p: len(p) == 0)
    expect(ok, f"Escape leaves the popups {popups!r}")


def case_middle_and_right_double_click_restore(session):
    """A double click with the middle or the right button restores the window too."""
    for button in (2, 3):
        with_tray(session)
        watch = hide(session, session.close_window, in_tray, "hidden into the notification area",
                     f"Alt+F4 before the {BUTTON_NAMES[button]} double click")
        restore_by_double_click(session, watch, "Alt+F4", button=button)
        if button == 3:
            # The first release of the double click popped the menu up; it may still be open.
            session.key("Escape")


def case_close_hides_into_tray_and_double_click_restores(session):
    """Closing the window (Alt+F4) hides it into the icon with the reminder balloon, the program
    keeps running, and a double click on the icon brings the window back as it was."""
    with_tray(session)
    evaluate(session, "6*7")
    expect_text(session, "Result 1", "42.00", "6*7 + Enter in row 1")
    watch = hide(session, session.close_window, in_tray, "hidden into the notification area",
                 "Alt+F4")
    expect_reminder_balloon(session, "Alt+F4")
    expect_running(session, "Alt+F4")
    session.wait_tray_icon()

    restore_by_double_click(session, watch, "Alt+F4")
    expect_text(session, "Expression 1", "6*7", "after the restore from the tray")
    expect_text(session, "Result 1", "42.00", "after the restore from the tray")
    lines = session.text(session.find("History")).split("\n")
    expect(lines[2:5] == ["6*7", "=", "42.00"],
           f"after the restore from the tray the history begins {lines[:5]!r}")


def case_minimise_hides_into_tray(session):
    """The title bar's minimise hides the window into the icon too."""
    with_tray(session)
    watch = hide(session, session.minimize_window, in_tray, "hidden into the notification area",
                 "minimise")
    expect_running(session, "minimise")
    restore_by_double_click(session, watch, "minimise")


def case_second_start_restores_the_first(session):
    """A second start while the first copy sits in the tray ends with status 1 and brings the
    first copy's window back."""
    with_tray(session)
    watch = hide(session, session.close_window, in_tray, "hidden into the notification area",
                 "Alt+F4")
    try:
        second = session.start_second_copy()
        status = session.wait_exit(second)
        expect(status == 1, f"the second start ended with status {status}, expected 1"
               if status is not None else "the second start still runs")
        expect_restored(session, watch, "a second start")
    finally:
        watch.stop()
    expect_running(session, "a second start")


def case_tray_menu_exit_ends_and_saves(session):
    """A right click on the icon pops a menu with the one item Exit; Exit ends the program with
    status 0, its history, settings and autostart entry saved."""
    import pyatspi
    with_tray(session)
    fresh_start(session)
    evaluate(session, "8*8")
    expect_text(session, "Result 1", "64.00", "8*8 + Enter in row 1")

    ok, popups = icon_gesture(
        session, 3, 1, lambda: session.wait_for(session.popup_windows, lambda p: len(p) == 1,
                                                timeout=GESTURE_WAIT),
        "a right click on the icon")
    expect(ok, f"a right click on the icon shows the popups {popups!r}; expected one menu")
    wid, x, y, w, h = popups[0]
    mark = session.focus_mark()
    session.move_mouse(x + w // 2, y + h // 2)  # the item under the mouse takes the focus
    item = session.wait_focus(lambda a: a.getRole() == pyatspi.ROLE_MENU_ITEM, mark)
    siblings = [item.parent.getChildAtIndex(i).name for i in range(item.parent.childCount)]
    expect(siblings == ["Exit"], f"the icon's menu holds {siblings!r}, expected ['Exit']")

    session.click(item)
    expect_exit(session, 0, "the icon menu's Exit")
    lines = history_file_lines(session)
    expect(lines is not None and lines[2:5] == ["8*8", "=", "64.00"],
           f"after the icon menu's Exit the history file holds {lines!r}")
    settings = session.program_file(SETTINGS_FILE)
    expect(settings == DEFAULT_SETTINGS, f"after the icon menu's Exit the settings file reads "
                                         f"{settings!r}, expected {DEFAULT_SETTINGS!r}")
    cases.expect_autostart_entry(session, "after the icon menu's Exit")
    session.start_program()  # for the next case


def case_without_tray_host_the_window_minimises(session):
    """Without a notification area the program starts and works; closing minimises the window
    the ordinary way (the window manager keeps it), and a second start brings it back."""
    without_tray(session)
    expect(session.tray_icon() is None, "an icon shows without a notification area")
    evaluate(session, "2+3")
    expect_text(session, "Result 1", "5.00", "2+3 + Enter without a notification area")
    watch = hide(session, session.close_window, minimised, "minimised",
                 "Alt+F4 without a notification area")
    try:
        expect_running(session, "Alt+F4 without a notification area")
        second = session.start_second_copy()
        status = session.wait_exit(second)
        expect(status == 1, f"the second start ended with status {status}, expected 1"
               if status is not None else "the second start still runs")
        expect_restored(session, watch, "a second start")
    finally:
        watch.stop()
    expect_text(session, "Result 1", "5.00", "after the second start")


def case_tray_host_started_later_gets_the_icon(session):
    """A notification area that starts after the program gets the icon, and from then on closing
    hides the window into it."""
    without_tray(session)
    session.start_tray()
    session.wait_tray_icon(timeout=harness.STEP_TIMEOUT)
    watch = hide(session, session.close_window, in_tray, "hidden into the notification area",
                 "Alt+F4 after the notification area came")
    restore_by_double_click(session, watch, "Alt+F4 after the notification area came")


def case_tray_host_leaving_brings_the_window_back(session):
    """When the notification area goes away while the window is hidden in it, the window comes
    back minimised (reachable from a taskbar), and a second start shows it."""
    with_tray(session)
    session.wait_tray_icon()
    watch = hide(session, session.close_window, in_tray, "hidden into the notification area",
                 "Alt+F4")
    watch.stop()
    session.stop_tray()
    ok, state = session.wait_window_state(lambda state: state["managed"],
                                          timeout=harness.STEP_TIMEOUT)
    expect(ok, f"the notification area went away; the window stays {describe_window(session)}")
    expect_running(session, "the notification area went away")
    watch = session.watch_window()
    try:
        second = session.start_second_copy()
        expect(session.wait_exit(second) == 1, "the second start did not end with status 1")
        expect_restored(session, watch, "a second start")
    finally:
        watch.stop()


CASES = [
    case_icon_appears_with_reminder_balloon,
    case_right_button_pops_the_menu_on_release,
    case_middle_and_right_double_click_restore,
    case_close_hides_into_tray_and_double_click_restores,
    case_minimise_hides_into_tray,
    case_second_start_restores_the_first,
    case_tray_menu_exit_ends_and_saves,
    case_without_tray_host_the_window_minimises,
    case_tray_host_started_later_gets_the_icon,
    case_tray_host_leaving_brings_the_window_back,
]


def main():
    args = cases.arguments(__doc__.split("\n\n")[0])
    return cases.run(CASES, args.program, args.artifacts, watchdog=300, tray=True)


if __name__ == "__main__":
    sys.exit(main())
