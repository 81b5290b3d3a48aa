#!/usr/bin/python3
"""Living in the notification area of a StatusNotifierItem host, end to end: the real program next
to a real xfce4-panel whose tray plugin is the watcher and host, and a real notification service
(dunst). The icon is found among the watcher's items and in the panel, clicked with the mouse
where a user clicks; the host's menu is chosen from with the mouse; the reminders are counted as
the Notify calls the bus carried; the panel comes late, quits, or is killed while its menu is
open; the notification service is missing.

    /usr/bin/python3 tests/e2e/test_tray_sni.py path/to/quantoria [--artifacts DIR]
"""

import os
import signal
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cases  # noqa: E402
import desktop_xfce  # noqa: E402
import harness  # noqa: E402
from cases import (CaseFailure, describe_window, evaluate, expect, expect_exit,  # noqa: E402
                   expect_text, fresh_start, history_file_lines)
from test_tray import (GESTURE_ATTEMPTS, GESTURE_WAIT, REMINDER, expect_running,  # noqa: E402
                       expect_window, hide, in_tray, restart_unless_shown, shown, wait_shown)

REMINDER_TIMEOUT_MS = 5000
# After the Notify calls a case waits for, how long no further one may come.
SETTLE = 2.0
# Signals by which an item would turn its icon into something else while a reminder shows. (A
# NewIcon only asks the host to read the icon again; whether it changed is read from the item.)
ATTENTION_SIGNALS = {"NewAttentionIcon", "NewOverlayIcon", "NewStatus"}
# How far from the click the host's menu may open (it opens at the pointer, next to the panel).
MENU_REACH = 150
# One entry of the host's menu is at most this high (with the menu's own border).
MENU_ONE_ENTRY_HEIGHT = 60


def with_panel(session):
    """The panel and the notification service run, and the program (started after them) shows
    its window."""
    if session.notifier is None:
        session.start_notifications()
    if session.tray is None:
        session.stop_program()
        session.start_tray()
        session.start_program()
    else:
        restart_unless_shown(session)


def reachable(state):
    """A window the user can get back to: shown, or minimised and kept by the window manager
    (a taskbar lists it)."""
    return state["managed"] and (state["viewable"] or state["wm_state"] in ("Normal", "Iconic"))


def program_connection(session, sender):
    """Whether the bus connection `sender` is the running program's."""
    try:
        return session.name_pid(sender) == session.program.pid
    except Exception:
        return False


def expect_one_reminder(session, since, context):
    """Exactly one Notify call arrives after the mark `since` (a count of calls): from the
    program, with the reminder's title, text and time-out; no second one follows within SETTLE
    seconds. Returns the call."""
    ok, calls = session.wait_for(lambda: session.notify_calls()[since:], lambda c: len(c) >= 1,
                                 timeout=harness.FIND_TIMEOUT)
    expect(ok, f"{context}: no Notify call reached org.freedesktop.Notifications within "
               f"{harness.FIND_TIMEOUT:.0f}s")
    time.sleep(SETTLE)
    calls = session.notify_calls()[since:]
    expect(len(calls) == 1, f"{context}: {len(calls)} Notify calls, expected one: {calls}")
    call = calls[0]
    expect(program_connection(session, call.sender),
           f"{context}: the Notify call came from {call.sender}, not from the program")
    expect((call.summary, call.body, call.expire_timeout)
           == (cases.TITLE, REMINDER, REMINDER_TIMEOUT_MS),
           f"{context}: the notification is {call}; expected title {cases.TITLE!r}, text "
           f"{REMINDER!r}, time-out {REMINDER_TIMEOUT_MS} ms")
    return call


def expect_no_reminder(session, since, context):
    time.sleep(SETTLE)
    calls = session.notify_calls()[since:]
    expect(not calls, f"{context}: Notify calls where none was expected: {calls}")


def expect_notification_shown(session, context):
    ok, windows = session.wait_for(session.notification_windows, bool)
    expect(ok, f"{context}: the notification service shows no notification")


def item_icon(session):
    """What the item shows as its icon: (IconName, IconPixmap)."""
    return session.item_property("IconName"), session.item_property("IconPixmap")


def expect_icon_unchanged(session, since_message, before, context):
    """While the reminder shows, the item's status is Active, it announces no attention icon,
    overlay or status, its icon is the one it had (`before`: item_icon() and the button's pixels
    before the reminder; None at start, when there was none), and the button in the panel looks
    as it did."""
    changes = [m for m in session.item_signals()[since_message:]
               if m.member in ATTENTION_SIGNALS and program_connection(session, m.sender)]
    expect(not changes, f"{context}: while the reminder shows, the item signalled "
                        f"{[(m.member, m.args) for m in changes]}")
    status = session.item_property("Status")
    expect(status == "Active", f"{context}: while the reminder shows, the item's status is "
                               f"{status!r}, expected 'Active'")
    if before is not None:
        icon, pixels = before
        expect(item_icon(session) == icon,
               f"{context}: the item's icon changed while the reminder shows")
        expect(session.button_pixels() == pixels,
               f"{context}: the icon in the panel changed while the reminder shows")


def click_icon_until(session, button, took_effect, what):
    """Clicks the program's button in the panel until took_effect() gives (True, value),
    GESTURE_ATTEMPTS times at most; returns the last (ok, value)."""
    for attempt in range(1, GESTURE_ATTEMPTS + 1):
        session.click_tray_icon(button=button)
        ok, value = took_effect()
        if ok:
            if attempt > 1:
                print(f"  note: {what} took effect at attempt {attempt}")
            return True, value
    return False, value


def activate_calls(session, since):
    """The Activate calls on an item seen on the bus after the mark `since` (a message count)."""
    return [m for m in session.bus_messages()[since:]
            if m.kind == "method call" and m.member == "Activate"
            and m.interface == desktop_xfce.ITEM_INTERFACE]


def restore_by_click(session, watch, context):
    """A left click on the button (the host's activate) brings back the window hidden with
    hide(), whose `watch` it stops, without a reminder. A click the panel did not turn into an
    Activate call (lost on the way, on a loaded machine) is made again, GESTURE_ATTEMPTS times at
    most; an Activate after which the window stays away is a failure."""
    context = f"{context}, then a left click on the icon"
    reminders = len(session.notify_calls())
    try:
        for attempt in range(1, GESTURE_ATTEMPTS + 1):
            since = len(session.bus_messages())
            session.click_tray_icon(button=1)
            if wait_shown(session, GESTURE_WAIT):
                if attempt > 1:
                    print(f"  note: a left click on the icon took effect at attempt {attempt}")
                expect_no_reminder(session, reminders, f"{context} (the way back)")
                return
            calls = activate_calls(session, since)
            if calls:
                where = ", ".join(value for _, value in calls[0].args)
                raise CaseFailure(f"{context}: the panel called Activate({where}) on the item and "
                                  f"{GESTURE_WAIT:.0f}s later the window is "
                                  f"{describe_window(session)} (its map events since it was "
                                  f"hidden: {watch.events()})")
        raise CaseFailure(f"{context} ({GESTURE_ATTEMPTS} times): the panel never called "
                          f"Activate; the window is {describe_window(session)}")
    finally:
        watch.stop()


def open_host_menu(session, context):
    """Right-clicks the program's button; returns the host's menu (window id, x, y, w, h, pid)
    that opened, after checking it is the host's menu of the program's one item "Exit", at the
    pointer."""
    _, x, y, w, h = session.wait_tray_icon()
    ok, menus = click_icon_until(
        session, 3, lambda: session.wait_for(session.host_menus, bool, timeout=GESTURE_WAIT),
        "a right click on the icon")
    expect(ok, f"{context}: a right click on the icon opened no menu")
    try:
        return check_host_menu(session, menus, x + w // 2, y + h // 2, context)
    except BaseException:
        session.close_host_menus()
        raise


def check_host_menu(session, menus, click_x, click_y, context):
    expect(len(menus) == 1, f"{context}: a right click on the icon opened {len(menus)} menus: "
                            f"{menus}")
    menu = menus[0]
    _, mx, my, mw, mh, _ = menu
    try:
        layout = session.menu_layout()
    except Exception as error:
        layout = f"unreadable ({error})"
    # The tray plugin's own menu (Status Tray Plugin, Properties, Move, Remove, Panel) is what a
    # right click shows for an item without a menu.
    expect(layout == ["Exit"] and mh <= MENU_ONE_ENTRY_HEIGHT,
           f"{context}: a right click on the icon opened a menu {mw}x{mh} px (one entry is at "
           f"most {MENU_ONE_ENTRY_HEIGHT} px high; a higher one is the panel's own menu); the "
           f"item's Menu is {session.item_property('Menu')!r}, its entries {layout!r}, "
           f"expected ['Exit']")
    near = (mx - MENU_REACH <= click_x <= mx + mw + MENU_REACH
            and my - MENU_REACH <= click_y <= my + mh + MENU_REACH)
    expect(near, f"{context}: the menu opened at {mx},{my} ({mw}x{mh}), far from the click at "
                 f"{click_x},{click_y}")
    return menu


# ---- the cases ----------------------------------------------------------------------------------

def case_icon_registers(session):
    """The program's item is registered with the watcher, tells its title "Quantoria", and the
    panel shows a button for it with the icon drawn."""
    with_panel(session)
    item = session.wait_program_item()
    live = session.live_items()
    expect(len(live) == 1, f"the watcher lists the live items {live}, expected the program's "
                           f"one item")
    title = session.item_property("Title", item)
    expect(title == cases.TITLE, f"the item's title is {title!r}, expected {cases.TITLE!r}")
    tooltip = session.item_property("ToolTip", item)
    expect(tooltip[2] == cases.TITLE,
           f"the item's tooltip title is {tooltip[2]!r}, expected {cases.TITLE!r}")
    pixmaps = session.item_property("IconPixmap", item)
    name = session.item_property("IconName", item)
    expect(pixmaps or name, "the item has neither an icon image nor an icon name")
    session.wait_tray_icon()
    pixels = session.button_pixels()
    colours = {pixels[i:i + 3] for i in range(0, len(pixels), 3)}
    expect(len(colours) > 3, f"the button in the panel shows {len(colours)} colours: no icon")


def menu_exit(session, context, before=None):
    """Chooses Exit from the host's menu with the mouse after before() (a gesture of the case);
    the program ends with status 0, without a reminder, and its history is saved."""
    with_panel(session)
    fresh_start(session)
    evaluate(session, "8*8")
    expect_text(session, "Result 1", "64.00", "8*8 + Enter in row 1")
    if before is not None:
        before()
    _, x, y, w, h, _ = open_host_menu(session, context)
    since = len(session.notify_calls())
    session.click_at(x + w // 2, y + h // 2)
    expect_exit(session, 0, f"{context}: Exit")
    lines = history_file_lines(session)
    expect(lines is not None and lines[2:5] == ["8*8", "=", "64.00"],
           f"{context}: after Exit the history file holds {lines!r}")
    deadline = time.monotonic() + harness.FIND_TIMEOUT
    while session.live_items() and time.monotonic() < deadline:
        time.sleep(0.1)
    expect(not session.live_items(),
           f"{context}: after Exit the watcher still lists {session.live_items()}")
    calls = session.notify_calls()[since:]
    expect(not calls, f"{context}: the program sent the reminder on its way out: {calls}")
    session.start_program()  # for the next case


def case_menu_exit_while_shown_ends_and_saves(session):
    """A right click on the icon while the window is shown: the host's menu holds the one item
    Exit; choosing it with the mouse ends the program with status 0 and saves the history."""
    menu_exit(session, "the host's menu, window shown")


def case_menu_exit_while_hidden_ends_and_saves(session):
    """The same with the window hidden in the tray."""
    def close():
        hide(session, session.close_window, in_tray, "hidden into the notification area",
             "Alt+F4").stop()

    menu_exit(session, "the host's menu, window hidden", close)


def case_menu_exit_while_a_modal_box_is_open(session):
    """The same while the modal About box is open: the program still ends with status 0 and
    saves the history."""
    def about():
        cases.choose_menu(session, "Help", "About")
        session.find_dialog("About")

    menu_exit(session, "the host's menu, About box open", about)


def case_activate_restores_after_close(session):
    """Alt+F4 hides the window into the icon; a left click on the icon (the host's activate)
    brings it back as it was."""
    with_panel(session)
    evaluate(session, "6*7")
    expect_text(session, "Result 1", "42.00", "6*7 + Enter in row 1")
    watch = hide(session, session.close_window, in_tray, "hidden into the notification area",
                 "Alt+F4")
    expect_running(session, "Alt+F4")
    restore_by_click(session, watch, "Alt+F4")
    expect_text(session, "Expression 1", "6*7", "after the restore from the tray")
    expect_text(session, "Result 1", "42.00", "after the restore from the tray")


def case_reminder_once_per_occasion(session):
    """The reminder reaches the notification service as one Notify at start, on close and on
    minimise, and none on the way back; the icon does not change while it shows."""
    with_panel(session)
    session.stop_program()
    since, since_message = len(session.notify_calls()), len(session.item_signals())
    session.start_program()
    expect_one_reminder(session, since, "start")
    expect_notification_shown(session, "start")
    expect_icon_unchanged(session, since_message, None, "start")

    for what, gesture in (("Alt+F4", session.close_window),
                          ("minimise", session.minimize_window)):
        session.move_mouse(640, 600)  # off the panel: the button is drawn without hover
        time.sleep(0.5)  # and its hover highlight has faded
        before = item_icon(session), session.button_pixels()
        since, since_message = len(session.notify_calls()), len(session.item_signals())
        watch = hide(session, gesture, in_tray, "hidden into the notification area", what)
        try:
            expect_one_reminder(session, since, what)
            expect_notification_shown(session, what)
            expect_icon_unchanged(session, since_message, before, what)
        except BaseException:
            watch.stop()
            raise
        restore_by_click(session, watch, what)


def case_panel_started_later_gets_the_icon(session):
    """A panel started 3 s after the program gets the icon, and from then on closing hides the
    window into it, with the reminder."""
    with_panel(session)
    session.stop_program()
    session.stop_tray()
    session.start_program()
    time.sleep(3)
    session.start_tray()
    session.wait_tray_icon(timeout=harness.STEP_TIMEOUT)
    since = len(session.notify_calls())
    watch = hide(session, session.close_window, in_tray, "hidden into the notification area",
                 "Alt+F4 after the panel came")
    try:
        expect_one_reminder(session, since, "Alt+F4 after the panel came")
    except BaseException:
        watch.stop()
        raise
    restore_by_click(session, watch, "Alt+F4 after the panel came")


def case_panel_quitting_brings_the_window_back(session):
    """The panel quits (xfce4-panel --quit) while the window is hidden in it: the window comes
    back where a user finds it (minimised and kept by the window manager, or shown); a panel that
    comes again gets the icon again, and a click on it shows the window."""
    with_panel(session)
    session.wait_tray_icon()
    hide(session, session.close_window, in_tray, "hidden into the notification area",
         "Alt+F4").stop()
    session.stop_tray(quit=True)
    ok, state = session.wait_window_state(reachable, timeout=harness.STEP_TIMEOUT)
    expect(ok, f"the panel quit; the window stays {describe_window(session)} ({state})")
    expect_running(session, "the panel quit")
    watch = session.watch_window()
    session.start_tray()
    session.wait_tray_icon(timeout=harness.STEP_TIMEOUT)
    if not shown(session.window_state()):
        restore_by_click(session, watch, "the panel came again")
    else:
        watch.stop()


def case_without_notification_service(session):
    """Without a notification service the program starts and lives in the tray as usual: no
    crash, closing hides the window into the icon, a click brings it back."""
    with_panel(session)
    session.stop_program()
    session.stop_notifications()
    try:
        session.start_program()
        evaluate(session, "2+3")
        expect_text(session, "Result 1", "5.00", "2+3 + Enter without a notification service")
        watch = hide(session, session.close_window, in_tray,
                     "hidden into the notification area", "Alt+F4 without a notification service")
        expect_running(session, "Alt+F4 without a notification service")
        restore_by_click(session, watch, "Alt+F4 without a notification service")
        expect_text(session, "Result 1", "5.00", "after the restore")
    finally:
        session.start_notifications()


def case_notification_service_answering_with_errors(session):
    """A notification service that refuses every call: the program starts, hides into the tray
    and comes back as usual, and nothing crashes."""
    with_panel(session)
    session.stop_program()
    session.stop_notifications()
    try:
        session.start_failing_notifications()
        since = len(session.notify_calls())
        session.start_program()
        watch = hide(session, session.close_window, in_tray,
                     "hidden into the notification area", "Alt+F4, the service refusing")
        expect_running(session, "Alt+F4, the service refusing")
        restore_by_click(session, watch, "Alt+F4, the service refusing")
        evaluate(session, "2+3")
        expect_text(session, "Result 1", "5.00", "2+3 + Enter, the service refusing")
        calls = session.notify_calls()[since:]
        expect(calls and "Notify" in session.refused_calls(),
               f"the program's reminders never reached the refusing service (Notify calls: "
               f"{calls}, refused: {session.refused_calls()})")
    finally:
        session.stop_notifications()
        session.start_notifications()


def case_panel_killed_while_its_menu_is_open(session):
    """The panel is killed while its menu for the icon is open and the window is hidden: the
    program keeps running, the window comes back where a user finds it, and a new panel gets the
    icon, whose click restores the window."""
    with_panel(session)
    hide(session, session.close_window, in_tray, "hidden into the notification area",
         "Alt+F4").stop()
    ok, _ = click_icon_until(
        session, 3, lambda: session.wait_for(session.host_menus, bool, timeout=GESTURE_WAIT),
        "a right click on the icon")
    expect(ok, "a right click on the icon opened no menu")
    session.stop_tray(signal.SIGKILL)
    ok, state = session.wait_window_state(reachable, timeout=harness.STEP_TIMEOUT)
    expect(ok, f"the panel was killed with its menu open; the window stays "
               f"{describe_window(session)} ({state})")
    expect_running(session, "the panel was killed")
    watch = session.watch_window()
    session.start_tray()
    session.wait_tray_icon(timeout=harness.STEP_TIMEOUT)
    if not shown(session.window_state()):
        restore_by_click(session, watch, "a new panel")
    else:
        watch.stop()


CASES = [
    case_icon_registers,
    case_menu_exit_while_shown_ends_and_saves,
    case_menu_exit_while_hidden_ends_and_saves,
    case_menu_exit_while_a_modal_box_is_open,
    case_activate_restores_after_close,
    case_reminder_once_per_occasion,
    case_panel_started_later_gets_the_icon,
    case_panel_quitting_brings_the_window_back,
    case_without_notification_service,
    case_notification_service_answering_with_errors,
    case_panel_killed_while_its_menu_is_open,
]


def main():
    args = cases.arguments(__doc__.split("\n\n")[0])
    logs = os.path.join(args.artifacts, "desktop") if args.artifacts else None
    return cases.run(CASES, args.program, args.artifacts, watchdog=420,
                     session_class=desktop_xfce.XfceSession, tray=True, notifications=True,
                     logs=logs)


if __name__ == "__main__":
    sys.exit(main())
