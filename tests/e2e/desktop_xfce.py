"""A second desktop for the end-to-end suite: X11 (Xvfb) + openbox + xfce4-panel holding only its
status tray plugin (the StatusNotifierItem watcher and host, which also takes XEmbed icons) + a
notification service (dunst).

Debian packages it needs besides the harness's (one line, for the Makefile to install):
    xfce4-panel xfconf dunst dbus-bin

XfceSession is a harness.Session whose notification area is the panel: start_tray() and
stop_tray() start and stop xfce4-panel, tray_icon() finds the program's button in it. Everything
of the desktop is the session's own and is stopped by its PID:

- The session bus runs with a configuration of its own that lists one folder of services, empty:
  the bus starts nothing by itself. Without that, a Notify call to a missing notification service
  would start the one the system has installed (dunst's service file names
  org.freedesktop.Notifications), and the case "no notification service" could not be made.
- xfconfd (the panel's settings service) runs on that bus, started by us, with XDG_CONFIG_HOME the
  session's and XDG_CONFIG_DIRS a folder of ours, so that only the panel configuration written
  here counts: one panel on top of the screen with the one plugin "systray".
- xfce4-panel runs with --disable-wm-check; its tray plugin runs in a process of its own (the
  panel's plugin wrapper), which is the watcher (org.kde.StatusNotifierWatcher) and the host.
- dunst, with a configuration of ours, owns org.freedesktop.Notifications.
- dbus-monitor records, from the start of the session, every Notify call and every signal of a
  StatusNotifierItem, so cases count the calls the program made and see what its item said.
"""

import contextlib
import glob
import os
import re
import shutil
import signal
import subprocess
import time

import harness

WATCHER = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM_INTERFACE = "org.kde.StatusNotifierItem"
NOTIFICATIONS = "org.freedesktop.Notifications"
PANEL_NAME = "org.xfce.Panel"
XFCONF_NAME = "org.xfce.Xfconf"
DBUS_CALL_TIMEOUT_MS = 5000
# The smallest button the tray plugin draws for an item (its icons are 22 px).
MIN_ICON_SIZE = 16

# The bus configuration: the session bus's own, but with one service folder of ours instead of
# the system's standard ones.
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <servicedir>{services}</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <limit name="service_start_timeout">20000</limit>
</busconfig>
"""

# One panel along the top of the screen with only the status tray plugin. Its items are 22 px
# icons in a 30 px high panel, one row.
PANEL_CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="dark-mode" type="bool" value="false"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="icon-size" type="uint" value="22"/>
      <property name="size" type="uint" value="30"/>
      <property name="nrows" type="uint" value="1"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray">
      <property name="square-icons" type="bool" value="true"/>
      <property name="show-frame" type="bool" value="false"/>
      <property name="single-row" type="bool" value="true"/>
      <property name="menu-is-primary" type="bool" value="false"/>
    </property>
  </property>
</channel>
"""

# Notifications in the top right corner below the panel, each shown for the time its sender asks.
DUNST_CONFIG = """[global]
    monitor = 0
    follow = none
    width = 360
    height = 120
    origin = top-right
    offset = 10x40
    font = Monospace 9
    format = "<b>%s</b>\\n%b"
    markup = full
    frame_width = 2
    frame_color = "#404040"
    show_indicators = no
    sticky_history = no
    history_length = 0
    mouse_left_click = close_current
    mouse_middle_click = none
    mouse_right_click = none

[urgency_low]
    background = "#ffffe0"
    foreground = "#000000"
    timeout = 5

[urgency_normal]
    background = "#ffffe0"
    foreground = "#000000"
    timeout = 5

[urgency_critical]
    background = "#ffd0d0"
    foreground = "#000000"
    timeout = 0
"""

# What dbus-monitor watches: the Notify calls, and everything items and the watcher say.
MONITOR_RULES = [
    f"type='method_call',interface='{NOTIFICATIONS}',member='Notify'",
    f"type='signal',interface='{ITEM_INTERFACE}'",
    "type='signal',interface='org.kde.StatusNotifierWatcher'",
    "type='method_call',interface='org.kde.StatusNotifierItem'",
    "type='method_call',interface='com.canonical.dbusmenu'",
]


# A notification service that answers every call with an error (run as a process of its own, with
# /usr/bin/python3 and python3-gi): what a broken or refusing service does.
FAILING_NOTIFICATIONS = """
from gi.repository import Gio, GLib

INTERFACE = '''<node><interface name="org.freedesktop.Notifications">
  <method name="Notify">
    <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
    <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
    <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
    <arg type="u" direction="out"/>
  </method>
  <method name="GetCapabilities"><arg type="as" direction="out"/></method>
  <method name="GetServerInformation">
    <arg type="s" direction="out"/><arg type="s" direction="out"/>
    <arg type="s" direction="out"/><arg type="s" direction="out"/>
  </method>
  <method name="CloseNotification"><arg type="u" direction="in"/></method>
</interface></node>'''


def called(connection, sender, path, interface, method, args, invocation):
    print("refused", method, flush=True)
    invocation.return_dbus_error("org.freedesktop.DBus.Error.Failed", "refused by the test")


bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
info = Gio.DBusNodeInfo.new_for_xml(INTERFACE).interfaces[0]
bus.register_object("/org/freedesktop/Notifications", info, called, None, None)
Gio.bus_own_name_on_connection(bus, "org.freedesktop.Notifications",
                               Gio.BusNameOwnerFlags.NONE, None, None)
GLib.MainLoop().run()
"""


def _xfconfd():
    found = sorted(glob.glob("/usr/lib/*/xfce4/xfconf/xfconfd"))
    if not found:
        raise harness.HarnessError("xfconfd not found; install the Debian package 'xfconf'")
    return found[0]


# ---- dbus-monitor's output ----------------------------------------------------------------------

class BusMessage:
    """One message as dbus-monitor printed it: its header fields and its top-level arguments as
    (type, text) pairs (strings without their quotes; containers as their first line)."""

    HEADER = re.compile(r"^(method call|signal|method return|error) (.*)$")

    def __init__(self, kind, header):
        self.kind = kind
        self.fields = dict(re.findall(r"(\w+)=([^ ;]+)", header))
        self.time = float(self.fields.get("time", "0"))
        self.args = []

    @property
    def member(self):
        return self.fields.get("member")

    @property
    def interface(self):
        return self.fields.get("interface")

    @property
    def sender(self):
        return self.fields.get("sender")

    @property
    def path(self):
        return self.fields.get("path")

    def __repr__(self):
        return f"<{self.kind} {self.interface}.{self.member} from {self.sender} {self.args}>"


def parse_monitor_log(text):
    """The messages of a dbus-monitor log, oldest first."""
    messages = []
    current = None
    for line in text.splitlines():
        match = BusMessage.HEADER.match(line)
        if match:
            current = BusMessage(*match.groups())
            messages.append(current)
            continue
        if current is None or not line.startswith("   ") or line.startswith("    "):
            continue  # deeper lines belong to a container argument
        item = line.strip()
        if item in ("]", ")") or not item:
            continue
        kind, _, value = item.partition(" ")
        value = value.strip()
        if kind == "string" and len(value) >= 2 and value[0] == value[-1] == '"':
            value = value[1:-1]
        current.args.append((kind, value))
    return messages


class Notify:
    """One Notify call: org.freedesktop.Notifications.Notify(app_name, replaces_id, app_icon,
    summary, body, actions, hints, expire_timeout)."""

    def __init__(self, message):
        args = message.args
        if len(args) != 8:
            raise harness.HarnessError(f"a Notify call with {len(args)} arguments: {message!r}")
        self.sender = message.sender
        self.time = message.time
        self.app_name = args[0][1]
        self.replaces_id = int(args[1][1])
        self.app_icon = args[2][1]
        self.summary = args[3][1]
        self.body = args[4][1]
        self.expire_timeout = int(args[7][1])

    def __repr__(self):
        return (f"Notify(app={self.app_name!r}, replaces={self.replaces_id}, "
                f"summary={self.summary!r}, body={self.body!r}, timeout={self.expire_timeout})")


# ---- the session --------------------------------------------------------------------------------

class XfceSession(harness.Session):
    """A harness.Session on the XFCE-style desktop. `tray` starts the panel before the program;
    `notifications` starts dunst before it."""

    def __init__(self, program, tray=True, notifications=True, logs=None, **options):
        """`logs`: a folder where the desktop's logs (the bus traffic dbus-monitor saw, the
        panel's and dunst's output) are copied when the session stops."""
        super().__init__(program, tray=tray, **options)
        self.with_notifications = notifications
        self.logs_folder = logs
        self.notifier = None     # the Popen of dunst, while it runs
        self._panel_pids = set()  # the panel and what it started (its plugin wrapper)
        self._bus = None         # our own connection to the session bus (Gio)

    # ---- folders and configuration -------------------------------------------------------------

    @property
    def desktop_dir(self):
        return os.path.join(self.root, "xfce")

    def _desktop_env(self):
        env = dict(self._env)
        env["XDG_CONFIG_DIRS"] = os.path.join(self.desktop_dir, "xdg")
        env["XDG_DATA_DIRS"] = "/usr/share"
        return env

    def session_bus_config(self):
        services = os.path.join(self.desktop_dir, "dbus-services")
        os.makedirs(services, exist_ok=True)
        os.makedirs(os.path.join(self.desktop_dir, "xdg"), exist_ok=True)
        path = os.path.join(self.desktop_dir, "session-bus.conf")
        with open(path, "w") as f:
            f.write(BUS_CONFIG.format(services=services))
        return "--config-file=" + path

    def _write_panel_config(self):
        folder = os.path.join(self.config_home, "xfce4", "xfconf", "xfce-perchannel-xml")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "xfce4-panel.xml"), "w") as f:
            f.write(PANEL_CONFIG)

    # ---- start and stop ------------------------------------------------------------------------

    def start_desktop_services(self):
        self._write_panel_config()
        self._spawn("xfconfd", [_xfconfd()], env=self._desktop_env())
        self._wait_name(XFCONF_NAME, "xfconfd")
        monitor = [harness._tool("stdbuf", "coreutils"), "-oL",
                   harness._tool("dbus-monitor", "dbus-bin"), "--session"] + MONITOR_RULES
        self._spawn("dbus-monitor", monitor)
        # dbus-monitor prints the NameAcquired of its own connection once it monitors.
        harness._poll("dbus-monitor to watch the bus",
                      lambda: self._check_alive("dbus-monitor")
                      or "NameLost" in self._read_log("dbus-monitor")
                      or "member=NameAcquired" in self._read_log("dbus-monitor"),
                      harness.STEP_TIMEOUT)
        if self.with_notifications:
            self.start_notifications()

    def stop(self):
        if self._bus is not None:
            with contextlib.suppress(Exception):
                self._bus.close_sync(None)
            self._bus = None
        if self.logs_folder and self.root:
            os.makedirs(self.logs_folder, exist_ok=True)
            for name in ("dbus-monitor", "xfce4-panel", "dunst", "xfconfd"):
                if name in self._logs:
                    with contextlib.suppress(OSError):
                        shutil.copyfile(self._logs[name],
                                        os.path.join(self.logs_folder, name + ".log"))
        super().stop()

    def start_notifications(self):
        """Starts dunst and waits until it owns org.freedesktop.Notifications."""
        if self.notifier is not None and self.notifier.poll() is None:
            raise harness.HarnessError("a notification service already runs")
        path = os.path.join(self.desktop_dir, "dunstrc")
        with open(path, "w") as f:
            f.write(DUNST_CONFIG)
        self.notifier = self._spawn("dunst", [harness._tool("dunst", "dunst"), "-config", path],
                                    env=self._desktop_env())
        self._wait_name(NOTIFICATIONS, "dunst")

    def start_failing_notifications(self):
        """Starts, in dunst's place, a notification service that answers every call with an
        error, and waits until it owns org.freedesktop.Notifications."""
        if self.notifier is not None and self.notifier.poll() is None:
            raise harness.HarnessError("a notification service already runs")
        self.notifier = self._spawn("failing-notifications",
                                    ["/usr/bin/python3", "-c", FAILING_NOTIFICATIONS])
        self._wait_name(NOTIFICATIONS, "failing-notifications")

    def refused_calls(self):
        """The calls the failing notification service refused, oldest first."""
        return re.findall(r"^refused (\w+)$", self._read_log("failing-notifications"),
                          re.MULTILINE)

    def stop_notifications(self):
        """Stops the notification service by its PID and waits until the name is free."""
        self._stop_named(self.notifier)
        self.notifier = None
        harness._poll("the notification service to leave the bus",
                      lambda: not self.name_owner(NOTIFICATIONS), harness.STEP_TIMEOUT)

    def start_tray(self):
        """Starts xfce4-panel and waits until its tray is the StatusNotifierItem watcher with a
        host, and the panel is on the screen."""
        if self.tray is not None and self.tray.poll() is None:
            raise harness.HarnessError("a panel already runs")
        self.tray = self._spawn("xfce4-panel",
                                [harness._tool("xfce4-panel", "xfce4-panel"), "--disable-wm-check"],
                                env=self._desktop_env())

        def ready():
            self._check_alive("xfce4-panel")
            if not self.name_owner(WATCHER):
                return False
            hosted = self.get_property(WATCHER, WATCHER_PATH, WATCHER,
                                       "IsStatusNotifierHostRegistered")
            return hosted and self._tray_panel()

        harness._poll("xfce4-panel's tray to be the StatusNotifierItem watcher and host", ready,
                      harness.STEP_TIMEOUT)
        self._panel_pids = {self.tray.pid} | self._descendants_of(self.tray.pid)

    def stop_tray(self, sig=signal.SIGTERM, quit=False):
        """Ends the panel: with `quit` the way a user quits it (xfce4-panel --quit), else by its
        PID with `sig` (SIGTERM lets it clean up, SIGKILL is a crash); then the plugin process it
        started; and waits until the watcher has left the bus."""
        if self.tray is None:
            return
        pids = self.panel_pids()
        if quit:
            self._run([harness._tool("xfce4-panel", "xfce4-panel"), "--quit"])
        else:
            with contextlib.suppress(ProcessLookupError):
                os.kill(self.tray.pid, sig)
        with contextlib.suppress(subprocess.TimeoutExpired):
            self.tray.wait(harness.STOP_TIMEOUT)
        if self.tray.poll() is None:
            raise harness.HarnessError(f"the panel (pid {self.tray.pid}) still runs "
                                       f"{harness.STOP_TIMEOUT:.0f}s after it was asked to end")
        # The plugin process ends by itself when the panel goes; what is left is stopped.
        deadline = time.monotonic() + harness.STOP_TIMEOUT
        while any(harness._alive(pid) for pid in pids) and time.monotonic() < deadline:
            for pid in pids:
                self._reap(pid)
            time.sleep(0.05)
        harness._stop_pids({pid for pid in pids if harness._alive(pid)}, self._reap)
        self._procs = [(n, p) for n, p in self._procs if p is not self.tray]
        self.tray = None
        self._panel_pids = set()
        harness._poll("the StatusNotifierItem watcher to leave the bus",
                      lambda: not self.name_owner(WATCHER), harness.STEP_TIMEOUT)

    def _stop_named(self, proc):
        for i, (name, p) in enumerate(self._procs):
            if p is proc:
                self._stop_popen(name, p, [])
                del self._procs[i]
                return

    @staticmethod
    def _descendants_of(pid):
        children = {}
        for child, parent in harness._parents().items():
            children.setdefault(parent, []).append(child)
        found, stack = set(), list(children.get(pid, []))
        while stack:
            p = stack.pop()
            if p not in found:
                found.add(p)
                stack.extend(children.get(p, []))
        return found

    # ---- the session bus -----------------------------------------------------------------------

    def bus(self):
        """A connection of ours to the session bus (made on first use)."""
        if self._bus is None:
            from gi.repository import Gio
            self._bus = Gio.DBusConnection.new_for_address_sync(
                self.bus_address,
                Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        return self._bus

    def call(self, name, path, interface, method, args=None, reply="()"):
        """A method call on the session bus, answered within DBUS_CALL_TIMEOUT_MS; its reply
        unpacked."""
        from gi.repository import Gio, GLib
        result = self.bus().call_sync(name, path, interface, method, args,
                                      GLib.VariantType(reply), Gio.DBusCallFlags.NO_AUTO_START,
                                      DBUS_CALL_TIMEOUT_MS, None)
        return result.unpack()

    def get_property(self, name, path, interface, prop):
        from gi.repository import GLib
        return self.call(name, path, "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", (interface, prop)), "(v)")[0]

    def name_owner(self, name):
        """The unique name that owns `name` on the bus, None when none does."""
        from gi.repository import GLib
        if not self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "NameHasOwner", GLib.Variant("(s)", (name,)), "(b)")[0]:
            return None
        with contextlib.suppress(GLib.Error):
            return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "GetNameOwner", GLib.Variant("(s)", (name,)),
                             "(s)")[0]
        return None

    def name_pid(self, name):
        from gi.repository import GLib
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         "GetConnectionUnixProcessID", GLib.Variant("(s)", (name,)), "(u)")[0]

    def _wait_name(self, name, process):
        def owned():
            self._check_alive(process)
            return self.name_owner(name)

        harness._poll(f"{process} to own {name} on the session bus", owned, harness.STEP_TIMEOUT)

    # ---- the program's item --------------------------------------------------------------------

    def registered_items(self):
        """The watcher's RegisteredStatusNotifierItems; [] without a watcher."""
        if not self.name_owner(WATCHER):
            return []
        return list(self.get_property(WATCHER, WATCHER_PATH, WATCHER,
                                      "RegisteredStatusNotifierItems"))

    def live_items(self):
        """[(bus name, object path, PID of its owner)] of the registered items whose bus name is
        owned now. The panel's watcher keeps listing an item whose name was released (the
        program withdraws its item and publishes it anew under another name each time it adds
        the icon); its host shows only the items it can reach."""
        found = []
        for entry in self.registered_items():
            name, slash, path = entry.partition("/")
            path = slash + path if slash else "/StatusNotifierItem"
            owner = self.name_owner(name)
            if owner is None:
                continue
            with contextlib.suppress(Exception):
                found.append((name, path, self.name_pid(owner)))
        return found

    def program_items(self):
        """[(bus name, object path)] of the registered items that belong to the program."""
        if self.program is None:
            return []
        return [(name, path) for name, path, pid in self.live_items() if pid == self.program.pid]

    def item_property(self, prop, item=None):
        name, path = item or self.wait_program_item()
        return self.get_property(name, path, ITEM_INTERFACE, prop)

    def wait_program_item(self, timeout=harness.FIND_TIMEOUT):
        def probe():
            self._check_alive("program")
            items = self.program_items()
            return items[0] if len(items) == 1 else None

        return harness._poll("the program's item among the watcher's registered items", probe,
                             timeout)

    # ---- the panel on the screen ---------------------------------------------------------------
    #
    # The tray plugin runs in a process of its own whose window the panel embeds; its buttons are
    # drawn inside that window and are no windows themselves. Its accessible tree is not linked
    # into the panel's (the toolkit leaves embedded windows out), so the button is found in the
    # X window tree: the plugin's window in the panel, which is as wide as the items it shows.

    def _tray_panel(self):
        """The X window id of the panel (WM_CLASS "xfce4-panel", wider than it is high), or
        None."""
        tree = self._run([harness._tool("xwininfo", "x11-utils"), "-root", "-tree"], check=False)
        for match in re.finditer(r'^\s*(0x[0-9a-fA-F]+) "xfce4-panel": \("xfce4-panel" '
                                 r'"Xfce4-panel"\)\s+(\d+)x(\d+)', tree, re.MULTILINE):
            if int(match.group(2)) > int(match.group(3)) > 1:
                return match.group(1)
        return None

    def tray_area(self):
        """(X window id, x, y, width, height) of the tray plugin's window in the panel, on the
        screen now, or None."""
        panel = self._tray_panel()
        if panel is None:
            return None
        tree = self._run([harness._tool("xwininfo", "x11-utils"), "-id", panel, "-tree"],
                         check=False)
        for match in re.finditer(r'^\s*(0x[0-9a-fA-F]+) "wrapper-2.0": \("wrapper-2.0" '
                                 r'"Wrapper-2.0"\)\s+(\d+)x(\d+)[+-]-?\d+[+-]-?\d+'
                                 r'\s+\+(-?\d+)\+(-?\d+)', tree, re.MULTILINE):
            wid = match.group(1)
            w, h, x, y = (int(v) for v in match.group(2, 3, 4, 5))
            if w > 1 and h > 1 and self.window_state(wid)["viewable"]:
                return wid, x, y, w, h
        return None

    def tray_icon(self):
        """(item bus name, x, y, width, height) of the program's button in the panel, or None:
        the program's item is registered with the watcher, the only live item there, and the
        tray plugin shows one button for it (its window in the panel at least as wide as an
        icon)."""
        if self.tray is None or self.program is None:
            return None
        items = self.program_items()
        if len(items) != 1 or len(self.live_items()) != 1:
            return None
        area = self.tray_area()
        if area is None:
            return None
        _, x, y, w, h = area
        if w < MIN_ICON_SIZE or h < MIN_ICON_SIZE:
            return None
        return (items[0][0], x, y, w, h)

    def wait_tray_icon(self, timeout=harness.FIND_TIMEOUT):
        try:
            return super().wait_tray_icon(timeout)
        except harness.HarnessError as error:
            raise harness.HarnessError(f"{error}; {self.describe_tray()}") from None

    def describe_tray(self):
        """What the watcher and the tray plugin hold now, in words, for failure messages."""
        if self.tray is None:
            return "no panel runs"
        try:
            items = [f"{name} (pid {pid})" for name, _, pid in self.live_items()]
        except Exception as error:
            items = f"unknown ({error})"
        area = self.tray_area()
        embedded = []
        if area is not None and self.program is not None:
            xdotool = harness._tool("xdotool", "xdotool")
            ours = {int(w) for w in self._run([xdotool, "search", "--pid",
                                               str(self.program.pid)], check=False).split()}
            tree = self._run([harness._tool("xwininfo", "x11-utils"), "-id", area[0], "-tree"],
                             check=False)
            embedded = [w for w in re.findall(r"^\s*(0x[0-9a-fA-F]+) ", tree, re.MULTILINE)
                        if int(w, 16) in ours]
        return (f"the watcher lists the live items {items}; the tray plugin's window is {area}"
                + (f" and holds the program's XEmbed icon window(s) {embedded} (an icon of the "
                   f"old tray protocol, not a StatusNotifierItem)" if embedded else ""))

    def close_host_menus(self):
        """Closes a menu of the panel left open (Escape), so that it does not keep the keyboard
        and the pointer; bounded."""
        if not self.host_menus():
            return
        self.key("Escape")
        with contextlib.suppress(harness.HarnessError):
            harness._poll("the panel's menu to close", lambda: not self.host_menus(),
                          harness.FIND_TIMEOUT)

    def panel_pids(self):
        """The PIDs of the panel and of the processes it started, while it runs."""
        if self.tray is None:
            return set()
        return self._panel_pids | {self.tray.pid} | self._descendants_of(self.tray.pid)

    def host_menus(self):
        """[(X window id, x, y, width, height, PID)] of the pop-up menus the panel's processes
        show now."""
        xdotool = harness._tool("xdotool", "xdotool")
        xwininfo = harness._tool("xwininfo", "x11-utils")
        xprop = harness._tool("xprop", "x11-utils")
        found = []
        for pid in sorted(self.panel_pids()):
            out = self._run([xdotool, "search", "--onlyvisible", "--pid", str(pid)], check=False)
            for wid in out.split():
                props = self._run([xprop, "-id", wid, "_NET_WM_WINDOW_TYPE"], check=False)
                if not re.search(r"_NET_WM_WINDOW_TYPE_(POPUP_|DROPDOWN_)?MENU\b", props):
                    continue
                info = self._run([xwininfo, "-id", wid], check=False)
                if "Map State: IsViewable" not in info:
                    continue
                fields = dict(re.findall(r"^\s*(Absolute upper-left [XY]|Width|Height):"
                                         r"\s*(-?\d+)", info, re.MULTILINE))
                found.append((wid, int(fields["Absolute upper-left X"]),
                              int(fields["Absolute upper-left Y"]), int(fields["Width"]),
                              int(fields["Height"]), pid))
        return found

    def menu_layout(self, item=None):
        """The labels of the visible entries of the program's menu, as the item publishes it
        (its Menu property, read with com.canonical.dbusmenu GetLayout), mnemonic marks
        removed; separators are "-"."""
        from gi.repository import GLib
        name, path = item or self.wait_program_item()
        menu = self.get_property(name, path, ITEM_INTERFACE, "Menu")
        _, (_, _, children) = self.call(name, menu, "com.canonical.dbusmenu", "GetLayout",
                                        GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")
        labels = []
        for child in children:
            _, props, _ = child
            if not props.get("visible", True):
                continue
            if props.get("type") == "separator":
                labels.append("-")
            else:
                labels.append(props.get("label", "").replace("_", ""))
        return labels

    def button_pixels(self):
        """The raw RGB bytes of the program's button in the panel now."""
        _, x, y, w, h = self.wait_tray_icon()
        done = subprocess.run([harness._tool("import", "imagemagick"), "-display", self.display,
                               "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage",
                               "-depth", "8", "rgb:-"], env=self._env, capture_output=True,
                              timeout=harness.COMMAND_TIMEOUT, stdin=subprocess.DEVNULL)
        if done.returncode != 0 or len(done.stdout) != w * h * 3:
            raise harness.HarnessError(f"cannot read the button's pixels: {done.stderr!r}")
        return done.stdout

    def notification_windows(self):
        """[(X window id, x, y, width, height)] of the notification service's windows on the
        screen now."""
        if self.notifier is None:
            return []
        xdotool = harness._tool("xdotool", "xdotool")
        # dunst does not mark its windows with its PID; they carry its class.
        out = self._run([xdotool, "search", "--onlyvisible", "--classname", "Dunst"],
                        check=False)
        found = []
        for wid in out.split():
            info = self._run([harness._tool("xwininfo", "x11-utils"), "-id", wid], check=False)
            if "Map State: IsViewable" not in info:
                continue
            fields = dict(re.findall(r"^\s*(Absolute upper-left [XY]|Width|Height):"
                                     r"\s*(-?\d+)", info, re.MULTILINE))
            found.append((wid, int(fields["Absolute upper-left X"]),
                          int(fields["Absolute upper-left Y"]), int(fields["Width"]),
                          int(fields["Height"])))
        return found

    # ---- what the bus saw ----------------------------------------------------------------------

    def bus_messages(self):
        return parse_monitor_log(self._read_log("dbus-monitor"))

    def notify_calls(self):
        """Every Notify call seen on the bus since the session started, oldest first."""
        return [Notify(m) for m in self.bus_messages()
                if m.kind == "method call" and m.member == "Notify"
                and m.interface == NOTIFICATIONS]

    def item_signals(self):
        """The signals of StatusNotifierItem interfaces seen since the session started."""
        return [m for m in self.bus_messages()
                if m.kind == "signal" and m.interface == ITEM_INTERFACE]

    def monitor_log(self):
        return self._read_log("dbus-monitor")
