#!/usr/bin/python3
"""The program on Wayland, end to end: sway (headless) with waybar's tray (a StatusNotifierItem
host) and dunst, the program on Qt's Wayland platform; typed into with wtype, its windows read
from sway's tree, its item called and its icon clicked in waybar, its reminders counted on the
bus. See desktop_sway.py for how the desktop is run.

    /usr/bin/python3 tests/e2e/test_wayland.py path/to/quantoria [--artifacts DIR]
"""

import os
import signal
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases  # noqa: E402
import desktop_sway  # noqa: E402
import harness  # noqa: E402
from cases import (TITLE, CaseFailure, evaluate, expect, expect_exit, expect_text,  # noqa: E402
                   fresh_start, history_file_lines)

REMINDER = "You can double click this icon to restore calculator at any time."
# How long the panel waits after the program before it starts, in the late-panel case.
PANEL_DELAY = 3.0
# How often a click on the icon is made before a case gives up on it, and how long each waits.
CLICK_ATTEMPTS = 3
CLICK_WAIT = 5.0
# The part of the screen, from the icon's right edge leftwards and from the top, where waybar's
# menu of one item opens; dunst's notifications show below it.
MENU_AREA = (300, 68)


def describe(session):
    state = session.window_state()
    if state["viewable"]:
        return f"shown ({'focused' if state['focused'] else 'not focused'})"
    if state["managed"]:
        return "in sway's tree but not visible"
    return "hidden (no window in sway's tree)"


def expect_shown(session, context, focused=True, timeout=harness.FIND_TIMEOUT):
    ok, state = session.wait_window_state(
        lambda s: s["viewable"] and (s["focused"] or not focused), timeout)
    expect(ok, f"{context}: the window is {describe(session)}, expected it shown"
               f"{' and focused' if focused else ''}")
    session.window = state["id"]


def expect_hidden(session, context):
    ok, _ = session.wait_window_state(lambda s: not s["managed"])
    expect(ok, f"{context}: the window is {describe(session)}, expected it hidden")


def expect_running(session, context):
    expect(session.program.poll() is None,
           f"{context}: the program ended (status {session.program.returncode})")


def reminders(session, since):
    """The reminder Notify calls made since the mark `since` (a count of notifications())."""
    return [n for n in session.notifications()[since:] if n[1:3] == (TITLE, REMINDER)]


def expect_one_reminder(session, since, context):
    """Exactly one reminder reached the notification service since `since`, with the title,
    text and time-out of the balloon."""
    ok, found = session.wait_for(lambda: reminders(session, since), lambda found: found)
    if not ok:
        monitor = session._read_log("dbus-monitor").strip().splitlines()[-12:]
        raise CaseFailure(
            f"{context}: no reminder reached the notification service; it was sent "
            f"{session.notifications()[since:]!r} ({len(session.notifications())} this session, "
            f"{since} before); the watcher lists the program's item: "
            f"{session.program_item() is not None}; {session.notification_service_state()}; "
            f"the bus monitor's last lines:\n    " + "\n    ".join(monitor))
    time.sleep(1.0)  # a second one would come at once
    found = reminders(session, since)
    expect(len(found) == 1, f"{context}: {len(found)} reminders reached the notification "
                            f"service, expected one: {found!r}")
    expect(found[0][3] == 5000, f"{context}: the reminder's time-out is {found[0][3]}, "
                                f"expected 5000")


def with_panel(session):
    """waybar runs, the program started after it, its window shown."""
    if session.panel is None:
        session.stop_program()
        session.start_tray()
        session.start_program()
    elif session.program is None or session.program.poll() is not None \
            or not session.window_state()["viewable"]:
        session.restart_program()


def click_icon(session, button, took_effect, what):
    """Clicks the program's icon in waybar until took_effect() gives (True, value)."""
    value = None
    for attempt in range(1, CLICK_ATTEMPTS + 1):
        icon = session.wait_tray_icon(timeout=harness.STEP_TIMEOUT)
        _, x, y, w, h = icon
        session.click_at(x + w // 2, y + h // 2, button=button)
        ok, value = took_effect()
        if ok:
            if attempt > 1:
                print(f"  note: {what} took effect at attempt {attempt}")
            return True, value
    return False, value


def open_icon_menu(session):
    """Right-clicks the icon until waybar's menu opens; returns (x, y, width, height) of the
    menu. It opens at the pointer, next to the icon, and is found as what changed on the screen
    there, with the pointer parked away both times (it is drawn into the picture); the
    notifications show further down."""
    _, x, _, w, _ = session.wait_tray_icon()
    region = (max(x + w - MENU_AREA[0], 0), 0, MENU_AREA[0], MENU_AREA[1])
    before = session.screen_pixels(*region)

    def menu_open():
        session.move_mouse(*desktop_sway.POINTER_PARKING)
        return session.wait_for(
            lambda: session.changed_box(region, before, session.screen_pixels(*region)),
            lambda box: box is not None and box[2] > 20 and box[3] > 10, timeout=CLICK_WAIT)

    ok, menu = click_icon(session, 3, menu_open, "a right click on the icon")
    expect(ok, f"a right click on the icon opened no menu next to it (what changed: {menu})")
    return menu


def hide_into_tray(session, context):
    session.ensure_notification_service()
    mark = len(session.notifications())
    session.close_window()
    expect_hidden(session, context)
    expect_running(session, context)
    expect_one_reminder(session, mark, context)


def restore_by_click(session, context):
    ok, _ = click_icon(session, 1, lambda: session.wait_window_state(
        lambda s: s["viewable"], CLICK_WAIT), "a left click on the icon")
    expect(ok, f"{context}, then a left click on the icon ({CLICK_ATTEMPTS} times): the window "
               f"is {describe(session)}")
    expect_shown(session, f"{context}, then a left click on the icon")


# ---- the cases ----------------------------------------------------------------------------------

def case_start(session):
    """The program starts on Wayland with its window shown and focused, its item registered
    with waybar's watcher and drawn in the bar, and the reminder sent once as a notification."""
    if session.notifier.poll() is not None:
        session.ensure_notification_service()
        session.restart_program()
    with_panel(session)
    mark = session.start_notifications
    expect_shown(session, "at start")
    views = session.program_views()
    expect([v.get("app_id") for v in views if v.get("visible")] != [],
           f"sway lists no visible window of the program: {session.describe_windows()}")
    icon = session.wait_tray_icon(timeout=harness.STEP_TIMEOUT)
    expect(icon[3] > 0 and icon[4] > 0, f"the icon has no size: {icon}")
    title = session.item_property("Title")
    expect(title == TITLE, f"the item's title is {title!r}, expected {TITLE!r}")
    expect_one_reminder(session, mark, "at start")


def case_evaluate(session):
    """(12+34)*3 typed with wtype into row 1 and Enter shows 138.00."""
    with_panel(session)
    cases.focus_row(session, 1)
    session.key("ctrl+a")
    evaluate(session, "(12+34)*3")
    expect_text(session, "Result 1", "138.00", "(12+34)*3 + Enter in row 1")
    lines = session.text(session.find("History")).split("\n")
    expect(lines[2:5] == ["(12+34)*3", "=", "138.00"],
           f"the history begins {lines[:5]!r}")


def case_mouse_on_row_and_keypad(session):
    """Clicks land where the accessibility tree says the controls are (their places inside the
    window plus the window's place in sway's layout): row 2 takes the focus, 7*6 on the keypad
    and its '=' show 42.00."""
    with_panel(session)
    cases.focus_row(session, 2)
    session.key("ctrl+a", "BackSpace")
    for key in ("Seven", "Times", "Six", "Equals"):
        session.click(session.find(key))
    expect_text(session, "Result 2", "42.00", "7*6 and '=' clicked on the keypad in row 2")
    expect(session.is_focused("Expression 2"), f"after the keypad the focus is on "
                                               f"{session.focused_name()!r}, not on row 2")


def case_close_into_tray_and_click_restores(session):
    """sway's kill (the window's close request) hides the window into the tray with one
    reminder; a left click on the icon (the item's Activate) brings it back, focused, as it
    was."""
    with_panel(session)
    cases.focus_row(session, 1)
    session.key("ctrl+a")
    evaluate(session, "6*7")
    expect_text(session, "Result 1", "42.00", "6*7 + Enter in row 1")
    hide_into_tray(session, "sway's kill")
    session.wait_tray_icon()
    restore_by_click(session, "sway's kill")
    expect_text(session, "Expression 1", "6*7", "after the restore from the tray")
    expect_text(session, "Result 1", "42.00", "after the restore from the tray")


def case_activate_restores(session):
    """The item's Activate, called on the bus as a host does, brings a hidden window back."""
    with_panel(session)
    hide_into_tray(session, "sway's kill")
    session.item_call("Activate", 0, 0)
    expect_shown(session, "sway's kill, then the item's Activate")


def case_menu_exit_ends_and_saves(session):
    """A right click on the icon opens waybar's menu built from the item's DBusMenu, which holds
    the one item Exit; choosing it ends the program with status 0 and saves the history."""
    with_panel(session)
    fresh_start(session)
    evaluate(session, "8*8")
    expect_text(session, "Result 1", "64.00", "8*8 + Enter in row 1")
    labels = session.item_menu()
    expect(labels == ["Exit"], f"the item's menu holds {labels!r}, expected ['Exit']")

    menu = open_icon_menu(session)
    mx, my, mw, mh = menu
    expect(mh < 60, f"the menu next to the icon is {mw}x{mh}: more than the one item Exit")
    session.click_at(mx + mw // 2, my + mh // 2)
    expect_exit(session, 0, "the icon menu's Exit")
    lines = history_file_lines(session)
    expect(lines is not None and lines[2:5] == ["8*8", "=", "64.00"],
           f"after the icon menu's Exit the history file holds {lines!r}")
    session.start_program()


def case_second_start_restores_from_the_tray(session):
    """A second start while the window is hidden in the tray ends with status 1 and brings the
    window back, focused."""
    with_panel(session)
    hide_into_tray(session, "sway's kill")
    second = session.start_second_copy()
    status = session.wait_exit(second)
    expect(status == 1, f"the second start ended with status {status}, expected 1"
           if status is not None else "the second start still runs")
    expect_shown(session, "a second start while the window was in the tray")


def case_second_start_with_token_focuses_the_first(session):
    """Another window has the focus; a second start with a launcher's activation token ends with
    status 1, and the first copy's window ends up focused."""
    with_panel(session)
    other = session.start_other_window()
    try:
        expect(not session.window_state()["focused"],
               "the program's window kept the focus when the other window came")
        token = session.activation_token(desktop_sway.PROGRAM_APP_ID)
        second = session.start_second_copy(activation_token=token)
        status = session.wait_exit(second)
        expect(status == 1, f"the second start ended with status {status}, expected 1"
               if status is not None else "the second start still runs")
        expect_shown(session, "a second start with an activation token")
    finally:
        session.stop_other_window(other)


def case_late_panel_gets_the_icon(session):
    """waybar started 3 s after the program still gets its icon, and from then on closing hides
    the window into it."""
    session.stop_program()
    if session.panel is not None:
        session.stop_tray()
    session.start_program()
    expect(session.program_item() is None, "the program's item is listed without a watcher")
    time.sleep(PANEL_DELAY)
    session.start_tray()
    session.wait_tray_icon(timeout=harness.STEP_TIMEOUT)
    hide_into_tray(session, "sway's kill after the late panel came")
    restore_by_click(session, "sway's kill after the late panel came")


def case_sigterm_saves_history(session):
    """SIGTERM ends the program with status 0 and its history saved."""
    with_panel(session)
    fresh_start(session)
    evaluate(session, "9*9")
    expect_text(session, "Result 1", "81.00", "9*9 + Enter in row 1")
    session.send_signal(signal.SIGTERM)
    expect_exit(session, 0, "SIGTERM")
    lines = history_file_lines(session)
    expect(lines is not None and lines[2:5] == ["9*9", "=", "81.00"],
           f"after SIGTERM the history file holds {lines!r}")
    session.start_program()


def case_without_panel_close_keeps_the_window(session):
    """Without a notification area, a close request would minimise the window; sway has no
    minimised state, so the window stays on the screen, and the program keeps running."""
    session.stop_program()
    if session.panel is not None:
        session.stop_tray()
    session.start_program()
    session.close_window()
    time.sleep(2.0)  # what a close request does, it has done by now
    expect_shown(session, "sway's kill without a notification area", focused=False)
    expect_running(session, "sway's kill without a notification area")
    evaluate(session, "2+3")
    expect_text(session, "Result 1", "5.00", "2+3 + Enter after the close request")


def case_without_notification_service(session):
    """With no notification service on the bus, closing still hides the window into the tray
    (the reminder goes nowhere), and a click on the icon brings it back."""
    with_panel(session)
    session.stop_notification_service()
    try:
        session.close_window()
        expect_hidden(session, "sway's kill without a notification service")
        expect_running(session, "sway's kill without a notification service")
        restore_by_click(session, "sway's kill without a notification service")
    finally:
        session.start_notification_service()


def case_panel_quitting_with_its_menu_open(session):
    """waybar quits while its menu of the program's icon is open and the window is hidden: the
    program keeps running and the window comes back."""
    with_panel(session)
    hide_into_tray(session, "sway's kill")
    open_icon_menu(session)
    session.stop_tray()
    expect_shown(session, "the panel quit with its menu open", focused=False,
                 timeout=harness.STEP_TIMEOUT)
    expect_running(session, "the panel quit with its menu open")


def case_panel_quitting_brings_the_window_back(session):
    """When waybar quits while the window is hidden in its tray, the window comes back: sway has
    no minimised state, so it is shown."""
    with_panel(session)
    hide_into_tray(session, "sway's kill")
    session.stop_tray()
    expect_shown(session, "the panel quit while the window was hidden", focused=False,
                 timeout=harness.STEP_TIMEOUT)
    expect_running(session, "the panel quit")


CASES = [
    case_start,
    case_evaluate,
    case_mouse_on_row_and_keypad,
    case_close_into_tray_and_click_restores,
    case_activate_restores,
    case_menu_exit_ends_and_saves,
    case_second_start_restores_from_the_tray,
    case_second_start_with_token_focuses_the_first,
    case_late_panel_gets_the_icon,
    case_sigterm_saves_history,
    case_without_panel_close_keeps_the_window,
    case_without_notification_service,
    case_panel_quitting_with_its_menu_open,
    case_panel_quitting_brings_the_window_back,
]


def main():
    args = cases.arguments(__doc__.split("\n\n")[0])
    return cases.run(CASES, args.program, args.artifacts, watchdog=420,
                     session_class=desktop_sway.SwaySession)


if __name__ == "__main__":
    sys.exit(main())
