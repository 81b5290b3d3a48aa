"""Runs the real quantoria program on an X server of its own and drives it the way a user does.

Debian packages this harness needs (one line, for the Makefile to install):
    xvfb xdotool openbox trayer x11-utils imagemagick dbus-daemon dbus-session-bus-common at-spi2-core python3-pyatspi python3-gi
(dbus-x11 is not needed, but brings dbus-daemon and dbus-session-bus-common along.)

Run the scripts with /usr/bin/python3: pyatspi and gi are Debian packages and are not visible to
other interpreters (pyenv, virtualenvs).

A Session owns everything it starts: an Xvfb server on a display it picks with -displayfd, a
private D-Bus session bus, the accessibility bus, openbox, a notification area (trayer, an XEmbed
tray host) when asked for, and the program itself, copied into a temp folder of its own. HOME,
XDG_RUNTIME_DIR, XDG_CONFIG_HOME and XDG_STATE_HOME point into a temp folder, so nothing of the
caller's desktop session is read or written. (An installed copy can run where it is instead,
in_place=True; it keeps its files in the session's XDG folders.) On exit every process is stopped
by its PID (SIGTERM, a bounded wait, then SIGKILL) and the temp folders are removed.

The program finds a stand-in `xdg-open` first on its PATH: it writes each address it is given to
a file of the session (opened_addresses()) and opens nothing, so a link never reaches a browser.

Every process of a session carries a random QUANTORIA_E2E_SESSION value in its environment, and
inherits it to what it starts. A guard process (this file run with --guard) waits for the session
to end; if the test process dies without cleaning up, even by SIGKILL, the guard stops whatever
still carries the value and removes the temp folder.

Every wait is bounded. pyatspi binds to one accessibility bus per process, so a process runs one
Session at a time; the program can be restarted inside it with restart_program(). A second
Session made with accessible=False (no accessibility bus; its program is driven with keys and read
from its files) can run beside it, on a display of its own, also sharing its program folder
(program_dir=...), as two users' sessions sharing one portable folder would.
"""

import contextlib
import ctypes
import datetime
import os
import re
import secrets
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# The program's locale. Qt takes its number and date conventions from these variables through its
# own locale data, so the program formats the same whether or not glibc has en_US generated.
PROGRAM_LOCALE = "en_US.UTF-8"
# The helpers (Xvfb, D-Bus, openbox) run in the locale every glibc has.
HELPER_LOCALE = "C.UTF-8"
# Every process of a session runs in this time zone, whatever the host's: a POSIX rule that needs
# no time zone database, half an hour off from whole hours and far from UTC, so that a time shown
# in UTC or in the host's zone does not pass for local time.
TIME_ZONE = "IST-5:30"
TIME_ZONE_OFFSET = datetime.timedelta(hours=5, minutes=30)
SEARCH_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
SESSION_MARKER = "QUANTORIA_E2E_SESSION"

STEP_TIMEOUT = 20.0   # one start-up step: the X server, a bus, the window manager, the window
FIND_TIMEOUT = 10.0   # one accessible, dialog or text to show up
STOP_TIMEOUT = 5.0    # a process to end after SIGTERM
COMMAND_TIMEOUT = 15.0  # one xdotool / xprop / import run
EXIT_TIMEOUT = 10.0   # the program to end after it was asked to (a menu, a signal)

# The selection an XEmbed tray host owns on screen 0 (the freedesktop system tray protocol).
TRAY_SELECTION = b"_NET_SYSTEM_TRAY_S0"
# trayer in a corner of the screen, as wide as its icons; a dock, so openbox keeps windows off it.
TRAYER_ARGS = ["--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
               "--SetDockType", "true", "--SetPartialStrut", "true", "--transparent", "false"]

# The stand-in for xdg-open: records its arguments, one call a line, and opens nothing.
OPENER_SCRIPT = """#!/bin/sh
printf '%s\\n' "$*" >> "$QUANTORIA_E2E_OPENED"
"""

_PR_SET_PDEATHSIG = 1
_PR_SET_CHILD_SUBREAPER = 36
_libc = ctypes.CDLL(None, use_errno=True)
_libx11 = None  # libX11, loaded on first use
_bound_a11y_address = None  # the accessibility bus pyatspi talks to, once it is imported


class HarnessError(RuntimeError):
    """The environment or the program did not do what the harness waited for."""


class Aborted(BaseException):
    """The whole run has to end now (the watchdog expired, or a signal asked us to stop). Not an
    Exception, so that handlers of one test case's failures let it through."""


def _die_with_parent():
    # Runs in the child before exec: if the harness dies (killed by a test runner's timeout),
    # the kernel sends SIGKILL to the child instead of leaving it behind.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def _tool(name, package):
    path = shutil.which(name, path=SEARCH_PATH)
    if path is None:
        raise HarnessError(f"'{name}' not found; install the Debian package '{package}'")
    return path


def _read_line(fd, deadline, what):
    """Reads one line from a pipe, waiting until `deadline` at most."""
    data = b""
    while not data.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise HarnessError(f"timed out waiting for {what}")
        ready, _, _ = select.select([fd], [], [], remaining)
        if not ready:
            continue
        chunk = os.read(fd, 256)
        if not chunk:
            raise HarnessError(f"{what}: the pipe closed before a full line ({data!r})")
        data += chunk
    return data.decode().strip()


def _poll(what, probe, timeout):
    """Calls probe() until it returns something truthy; raises HarnessError after `timeout`."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            value = probe()
            if value:
                return value
        except HarnessError:
            raise
        except Exception as error:  # AT-SPI and D-Bus calls fail while things are starting
            last_error = error
        if time.monotonic() >= deadline:
            detail = f" (last error: {last_error})" if last_error else ""
            raise HarnessError(f"timed out after {timeout:.0f}s waiting for {what}{detail}")
        time.sleep(0.1)


def _parents():
    """{pid: parent pid} of every process, from /proc (threads' children included)."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            with contextlib.suppress(OSError, IndexError, ValueError):
                with open(f"/proc/{entry}/stat") as f:
                    parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
    return parents


def _has_marker(pid, marker):
    try:
        with open(f"/proc/{pid}/environ", "rb") as f:
            return marker in f.read().split(b"\0")
    except OSError:
        return False


def _alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        return state != "Z"
    except (OSError, IndexError):
        return False


def _marked_pids(marker, exclude=()):
    """PIDs of the live processes whose environment holds `marker` (NAME=value, bytes)."""
    found = set()
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) not in exclude and _has_marker(int(entry), marker):
            found.add(int(entry))
    return found


def _x11():
    global _libx11
    if _libx11 is None:
        _libx11 = ctypes.CDLL("libX11.so.6")
        _libx11.XOpenDisplay.restype = ctypes.c_void_p
        _libx11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        _libx11.XInternAtom.restype = ctypes.c_ulong
        _libx11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        _libx11.XGetSelectionOwner.restype = ctypes.c_ulong
        _libx11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        _libx11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return _libx11


def _selection_owner(display, selection):
    """The X window that owns `selection` (bytes) on `display`, 0 when none does."""
    x11 = _x11()
    connection = x11.XOpenDisplay(display.encode())
    if not connection:
        raise HarnessError(f"cannot connect to the X server {display}")
    try:
        return x11.XGetSelectionOwner(connection, x11.XInternAtom(connection, selection, 0))
    finally:
        x11.XCloseDisplay(connection)


def _stop_pids(pids, reap=lambda pid: None):
    """SIGTERM, a bounded wait, then SIGKILL for whatever is left."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in pids:
            if _alive(pid):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, sig)
        deadline = time.monotonic() + STOP_TIMEOUT
        while time.monotonic() < deadline:
            for pid in pids:
                reap(pid)
            if not any(_alive(pid) for pid in pids):
                return
            time.sleep(0.05)


def _guard(marker, root, keep):
    """The guard process: waits for its stdin to close, which happens when the session stops or
    when the process that ran it dies in any way (even by SIGKILL), then stops whatever still
    carries the session's marker and removes the session's folder. It detaches from the test
    process first (and prints its PID), so that a test runner that kills the test's process tree
    on a timeout does not take the guard with it."""
    for sig in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM):
        signal.signal(sig, signal.SIG_IGN)
    pid = os.fork()
    if pid > 0:
        print(pid, flush=True)
        os._exit(0)
    devnull = os.open(os.devnull, os.O_RDWR)
    os.dup2(devnull, 1)
    os.dup2(devnull, 2)
    os.closerange(3, 1024)
    while os.read(0, 4096):
        pass
    for _ in range(3):
        pids = _marked_pids(marker, exclude={os.getpid()})
        if not pids:
            break
        _stop_pids(pids)
    if not keep:
        shutil.rmtree(root, ignore_errors=True)


class Session:
    """The program under test on a display, buses and folders of its own. Use it with `with`."""

    def __init__(self, program, screen="1280x1024x24", keep_temp=False, program_env=None,
                 tray=False, in_place=False, program_dir=None, accessible=True):
        """`tray`: start a notification area (trayer) before the program. `in_place`: run the
        program where it is (an installed copy) instead of a copy in the session's folder.
        `program_dir`: a folder of the caller's to copy the program into and start it from,
        instead of one in the session's folder (two sessions sharing one portable folder).
        `accessible`: start the accessibility bus and bind pyatspi to this session; without it
        the program is driven with keys and read from its windows and files only, so that a
        process can run a second session next to the one pyatspi is bound to."""
        self.program_source = os.path.abspath(program)
        self.in_place = in_place
        self.shared_program_dir = os.path.abspath(program_dir) if program_dir else None
        self.accessible = accessible
        if not os.access(self.program_source, os.X_OK):
            raise HarnessError(f"not an executable program: {self.program_source}")
        self.screen = screen
        self.keep_temp = keep_temp
        self.program_env = dict(program_env or {})
        self.with_tray = tray
        self.tray = None         # the Popen of the tray host, while one runs
        self.root = None
        self.display = None
        self.bus_address = None
        self.a11y_address = None
        self.program = None      # the Popen of the program
        self.window = None       # its X window id
        self.app = None          # its AT-SPI application
        # Override-redirect windows titled like the program (balloons) that were on the screen
        # while its main window came up, by X window id.
        self.start_balloons = set()
        self._procs = []         # (name, Popen), in start order
        self._marker = f"{SESSION_MARKER}={secrets.token_hex(8)}".encode()
        self._env = None
        self._logs = {}
        self._guard_pid = None
        self._guard_pipe = None
        self._focus_events = []  # accessibles that took the focus, in order (see focus_mark())
        self._focus_listener = None

    # ---- start and stop -------------------------------------------------------------------------

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        self.root = tempfile.mkdtemp(prefix="quantoria-e2e-")
        self._start_guard()
        # From here on, processes whose parent dies are re-parented to this process rather than
        # to init, so they stay reachable (and reapable) until stop(). The guard, started before,
        # is not one of them.
        _libc.prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
        for sub in ("home", "config", "state", "logs", "program", "bin"):
            os.makedirs(os.path.join(self.root, sub))
        opener = os.path.join(self.root, "bin", "xdg-open")
        with open(opener, "w") as f:
            f.write(OPENER_SCRIPT)
        os.chmod(opener, 0o755)
        runtime = os.path.join(self.root, "runtime")
        os.mkdir(runtime, 0o700)
        os.chmod(runtime, 0o700)
        self._env = {
            "PATH": SEARCH_PATH,
            "HOME": os.path.join(self.root, "home"),
            "USER": os.environ.get("USER", "root"),
            "LOGNAME": os.environ.get("LOGNAME", os.environ.get("USER", "root")),
            "TMPDIR": self.root,
            "XDG_RUNTIME_DIR": runtime,
            "XDG_CONFIG_HOME": os.path.join(self.root, "config"),
            "XDG_STATE_HOME": os.path.join(self.root, "state"),
            "XDG_CACHE_HOME": os.path.join(self.root, "home", ".cache"),
            "XDG_DATA_HOME": os.path.join(self.root, "home", ".local", "share"),
            "LANG": HELPER_LOCALE,
            "LC_ALL": HELPER_LOCALE,
            "GSETTINGS_BACKEND": "memory",
            "TZ": TIME_ZONE,
            "NO_AT_BRIDGE": "0",
        }
        self._env[SESSION_MARKER] = self._marker.split(b"=", 1)[1].decode()
        self._start_x()
        self._start_session_bus()
        if self.accessible:
            self._start_a11y_bus()
        self._start_window_manager()
        self.start_desktop_services()
        if self.with_tray:
            self.start_tray()
        if self.accessible:
            self._bind_pyatspi()
        self.start_program()

    def stop(self):
        """Stops every process of the session by its PID and removes the temp folders."""
        if self._focus_listener is not None:
            import pyatspi
            with contextlib.suppress(Exception):
                pyatspi.Registry.deregisterEventListener(self._focus_listener,
                                                         "object:state-changed:focused")
            self._focus_listener = None
        problems = []
        descendants = self._descendants()
        # The program first, then the rest in reverse start order.
        for name, proc in reversed(self._procs):
            if name == "program":
                self._stop_popen(name, proc, problems)
        for name, proc in reversed(self._procs):
            if name != "program":
                self._stop_popen(name, proc, problems)
        self._procs.clear()
        self.program = None
        # Whatever they started in turn (the accessibility bus daemon, the registry daemon,
        # services the buses activated): our descendants, or still carrying this session's marker.
        for _ in range(3):
            leftovers = self._leftover_pids(descendants)
            if not leftovers:
                break
            _stop_pids(leftovers, self._reap)
        if self.root and not self.keep_temp:
            shutil.rmtree(self.root, ignore_errors=True)
        self._stop_guard()
        if problems:
            print("harness: " + "; ".join(problems), file=sys.stderr)

    def _descendants(self):
        """The processes our processes started, and theirs, as they are now."""
        children = {}
        for pid, parent in _parents().items():
            children.setdefault(parent, []).append(pid)
        found = set()
        stack = [child for _, proc in self._procs for child in children.get(proc.pid, [])]
        while stack:
            pid = stack.pop()
            if pid not in found:
                found.add(pid)
                stack.extend(children.get(pid, []))
        return found

    def _leftover_pids(self, descendants):
        found = (descendants | _marked_pids(self._marker)) - {os.getpid()}
        found.discard(self._guard_pid)
        return {pid for pid in found if _alive(pid) or self._reap(pid)}

    @staticmethod
    def _reap(pid):
        # Zombies re-parented to us: collect them. Returns False (nothing left to stop).
        with contextlib.suppress(ChildProcessError, OSError):
            os.waitpid(pid, os.WNOHANG)
        return False

    @staticmethod
    def _stop_popen(name, proc, problems):
        if proc.poll() is not None:
            return
        proc.terminate()
        try:
            proc.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            problems.append(f"{name} (pid {proc.pid}) ignored SIGTERM; killed")
            proc.kill()
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(STOP_TIMEOUT)

    def _start_guard(self):
        # The guard holds the read end of a pipe only this process writes to: it learns that the
        # session ended, however it ended, when the pipe closes. It runs in a session of its own
        # so that a Ctrl+C in the terminal does not reach it.
        read_end, self._guard_pipe = os.pipe()
        env = {k: v for k, v in os.environ.items() if k != SESSION_MARKER}
        try:
            launched = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--guard", self._marker.decode(),
                 self.root] + (["--keep"] if self.keep_temp else []),
                stdin=read_end, capture_output=True, env=env, start_new_session=True,
                timeout=COMMAND_TIMEOUT)
        except subprocess.TimeoutExpired:
            raise HarnessError("the guard process did not start")
        finally:
            os.close(read_end)
        try:
            self._guard_pid = int(launched.stdout)
        except ValueError:
            raise HarnessError(f"the guard process did not start: {launched.stderr!r}")

    def _stop_guard(self):
        """Lets the guard go, and waits (bounded) for it to finish."""
        if self._guard_pipe is not None:
            os.close(self._guard_pipe)
            self._guard_pipe = None
        if self._guard_pid is not None:
            deadline = time.monotonic() + 3 * STOP_TIMEOUT
            while _alive(self._guard_pid) and time.monotonic() < deadline:
                time.sleep(0.05)
            self._guard_pid = None

    def _spawn(self, name, argv, env=None, **kwargs):
        log = open(os.path.join(self.root, "logs", name + ".log"), "wb")
        self._logs[name] = log.name
        kwargs.setdefault("stdout", log)
        kwargs.setdefault("stderr", log)
        proc = subprocess.Popen(argv, env=env or self._env, stdin=subprocess.DEVNULL,
                                preexec_fn=_die_with_parent, **kwargs)
        log.close()
        self._procs.append((name, proc))
        return proc

    def _start_x(self):
        read_end, write_end = os.pipe()
        try:
            self._spawn("xvfb", [_tool("Xvfb", "xvfb"), "-displayfd", str(write_end),
                                 "-screen", "0", self.screen, "-nolisten", "tcp", "-noreset"],
                        pass_fds=(write_end,))
            os.close(write_end)
            write_end = None
            number = _read_line(read_end, time.monotonic() + STEP_TIMEOUT, "Xvfb's display number")
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        self.display = ":" + number
        self._env["DISPLAY"] = self.display

    def _start_session_bus(self):
        read_end, write_end = os.pipe()
        try:
            self._spawn("session-bus",
                        [_tool("dbus-daemon", "dbus-daemon"), self.session_bus_config(),
                         "--nofork", "--nopidfile",
                         "--address=unix:path=" + os.path.join(self._env["XDG_RUNTIME_DIR"], "bus"),
                         f"--print-address={write_end}"],
                        pass_fds=(write_end,))
            os.close(write_end)
            write_end = None
            self.bus_address = _read_line(read_end, time.monotonic() + STEP_TIMEOUT,
                                          "the session bus address")
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        self._env["DBUS_SESSION_BUS_ADDRESS"] = self.bus_address

    def session_bus_config(self):
        """The dbus-daemon option that chooses the session bus's configuration. A desktop that
        must decide which services the bus can start gives a file of its own
        (--config-file=PATH)."""
        return "--session"

    def start_desktop_services(self):
        """Starts what a desktop runs next to its window manager (a notification service, a
        settings daemon); nothing here. Runs before the notification area and the program."""

    def _start_a11y_bus(self):
        from gi.repository import Gio, GLib

        launcher = "/usr/libexec/at-spi-bus-launcher"
        if not os.access(launcher, os.X_OK):
            raise HarnessError(f"{launcher} not found; install the Debian package 'at-spi2-core'")
        self._spawn("a11y-bus", [launcher, "--launch-immediately"])
        bus = Gio.DBusConnection.new_for_address_sync(
            self.bus_address,
            Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        try:
            def owned():
                # Asking the bus about the name does not activate a second launcher.
                reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                      "org.freedesktop.DBus", "NameHasOwner",
                                      GLib.Variant("(s)", ("org.a11y.Bus",)),
                                      GLib.VariantType("(b)"), Gio.DBusCallFlags.NO_AUTO_START,
                                      2000, None)
                self._check_alive("a11y-bus")
                return reply.unpack()[0]

            _poll("the accessibility bus launcher", owned, STEP_TIMEOUT)
            reply = bus.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                                  None, GLib.VariantType("(s)"), Gio.DBusCallFlags.NO_AUTO_START,
                                  int(STEP_TIMEOUT * 1000), None)
            self.a11y_address = reply.unpack()[0]
        finally:
            bus.close_sync(None)
        self._env["AT_SPI_BUS_ADDRESS"] = self.a11y_address

    def _start_window_manager(self):
        self._spawn("openbox", [_tool("openbox", "openbox"), "--sm-disable"])
        xprop = _tool("xprop", "x11-utils")

        def ready():
            self._check_alive("openbox")
            out = self._run([xprop, "-root", "_NET_SUPPORTING_WM_CHECK"], check=False)
            return "window id #" in out

        _poll("openbox to manage the display", ready, STEP_TIMEOUT)

    def _bind_pyatspi(self):
        # libatspi reads these once, when it first connects.
        global _bound_a11y_address
        if "pyatspi" in sys.modules and _bound_a11y_address != self.a11y_address:
            raise HarnessError("pyatspi was imported before this session's buses were up, or is "
                               "bound to another session's; run one Session per process and "
                               "import pyatspi only through the harness")
        _bound_a11y_address = self.a11y_address
        for key in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS"):
            os.environ[key] = self._env[key]
        import pyatspi  # (connects on first use, to the buses above)

        # Focus changes are the one way to reach the items of a popup menu: Qt keeps popups out
        # of the application's tree. Listening from the start, before the program asks the
        # registry which events anyone wants, means no focus change goes unsent.
        def focused(event):
            if event.detail1:
                self._focus_events.append(event.source)

        pyatspi.Registry.registerEventListener(focused, "object:state-changed:focused")
        self._focus_listener = focused

    # ---- the program ----------------------------------------------------------------------------

    @property
    def program_dir(self):
        """The folder the program is copied into and started from (its files land there when it
        is a portable copy); the program's own folder when it runs in place."""
        if self.in_place:
            return os.path.dirname(self.program_source)
        if self.shared_program_dir:
            return self.shared_program_dir
        return os.path.join(self.root, "program")

    @property
    def program_path(self):
        """The program's copy, as it runs (the program itself when it runs in place)."""
        if self.in_place:
            return self.program_source
        return os.path.join(self.program_dir, os.path.basename(self.program_source))

    @property
    def state_home(self):
        """$XDG_STATE_HOME of the session."""
        return self._env["XDG_STATE_HOME"]

    @property
    def config_home(self):
        """$XDG_CONFIG_HOME of the session."""
        return self._env["XDG_CONFIG_HOME"]

    def _program_env(self):
        env = dict(self._env)
        env.update({
            "PATH": os.path.join(self.root, "bin") + ":" + SEARCH_PATH,
            "QUANTORIA_E2E_OPENED": os.path.join(self.root, "opened.txt"),
            "QT_QPA_PLATFORM": "xcb",
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
            "QT_ACCESSIBILITY": "1",
            "LANG": PROGRAM_LOCALE,
            "LC_ALL": PROGRAM_LOCALE,
        })
        # Qt 6.4 connects to a bus named in AT_SPI_BUS_ADDRESS but never registers with the
        # registry there; asked through org.a11y.Bus on the session bus, it does both.
        env.pop("AT_SPI_BUS_ADDRESS", None)
        if not self.accessible:
            for key in ("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "QT_ACCESSIBILITY"):
                env.pop(key)
        env.update(self.program_env)
        return env

    def start_program(self, until_dialog=None):
        """Starts the program (a copy of it in the session's folder, or itself when in place)
        and waits for its window, for its accessibility tree and for one of its controls to have
        the keyboard focus (without accessibility: for its window, which is then activated).
        With `until_dialog` (a title) the program is expected to show a box of that title
        while it starts (before its window, or as soon as the window shows): the box is
        returned as soon as it shows, and finish_start() waits for the rest once the box is
        answered."""
        # One program at a time: forget one that ended by itself (File > Exit, a signal).
        self.stop_program()
        # A fresh copy under a temp name, then renamed over the old one: a copy that still runs
        # (a second start that hangs) keeps its file, and the rename does not touch it.
        if not self.in_place:
            shutil.copy2(self.program_source, self.program_path + ".new")
            os.replace(self.program_path + ".new", self.program_path)
            # A portable copy, like the build tree: its files land beside it, in program_dir.
            open(os.path.join(self.program_dir, "quantoria.portable"), "a").close()
            # The engine program beside it, where the copy looks first: the build tree may be in
            # a folder the session's user cannot enter (an unprivileged desktop user).
            engine = os.path.join(os.path.dirname(self.program_source), "quantoria-engine")
            if os.path.exists(engine):
                target = os.path.join(self.program_dir, "quantoria-engine")
                shutil.copy2(engine, target + ".new")
                os.replace(target + ".new", target)
        self.start_balloons = set()
        self.program = self._spawn("program", [self.program_path], env=self._program_env(),
                                   cwd=os.path.join(self.root, "home"))
        if until_dialog is not None:
            self._require_accessible()
            self.app = self._wait_application(with_window=False)
            return self.find_dialog(until_dialog, timeout=STEP_TIMEOUT)
        self.finish_start()
        return None

    def finish_start(self):
        """Waits for the started program's window (and its accessibility tree and focus)."""
        self.window = self._wait_window()
        if self.accessible:
            self.app = self._wait_application()
        self.activate()
        if self.accessible:
            _poll("the program's window to take the keyboard focus", self.focused_name,
                  STEP_TIMEOUT)

    def start_second_copy(self, extra_env=None):
        """Starts the program's copy once more, in the same session (display, runtime folder,
        user) while the first runs, with the variables of `extra_env` added to its environment
        (a launcher's DESKTOP_STARTUP_ID, XDG_ACTIVATION_TOKEN); returns its Popen. Its output
        goes to the log "second"."""
        env = self._program_env()
        env.update(extra_env or {})
        return self._spawn("second", [self.program_path], env=env,
                           cwd=os.path.join(self.root, "home"))

    def wait_exit(self, proc=None, timeout=EXIT_TIMEOUT):
        """Waits (bounded) for the program (or `proc`) to end; its exit status, or None when it
        still runs. A status below 0 is the number of the signal that ended it."""
        proc = proc or self.program
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def send_signal(self, number):
        """Sends a signal to the program, by its PID."""
        if self.program is None or self.program.poll() is not None:
            raise HarnessError("the program is not running")
        os.kill(self.program.pid, number)

    def program_file(self, name):
        """The bytes of a file in the program's folder, None when there is no such file."""
        try:
            with open(os.path.join(self.program_dir, name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def write_program_file(self, name, data):
        with open(os.path.join(self.program_dir, name), "wb") as f:
            f.write(data)

    def clear_program_dir(self):
        """Removes every file of the program's folder (the program must not run)."""
        if self.program is not None and self.program.poll() is None:
            raise HarnessError("the program still runs")
        for entry in os.listdir(self.program_dir):
            path = os.path.join(self.program_dir, entry)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.remove(path)

    def opened_addresses(self):
        """What the program handed to xdg-open, one entry per call, oldest first."""
        try:
            with open(os.path.join(self.root, "opened.txt"), encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    @staticmethod
    def now():
        """The local time in the session's time zone (naive), as the program sees it."""
        now = datetime.datetime.now(datetime.timezone.utc) + TIME_ZONE_OFFSET
        return now.replace(tzinfo=None)

    def windows(self):
        """[(X window id, title)] of the program's visible top-level windows."""
        xdotool = _tool("xdotool", "xdotool")
        out = self._run([xdotool, "search", "--onlyvisible", "--pid", str(self.program.pid)],
                        check=False)
        found = []
        for wid in out.split():
            title = self._run([xdotool, "getwindowname", wid], check=False).rstrip("\n")
            found.append((wid, title))
        return found

    def stop_program(self):
        """Stops the program by its PID (SIGTERM, a bounded wait, then SIGKILL) and forgets it,
        also when it ended by itself."""
        for name, proc in [entry for entry in self._procs if entry[0] == "program"]:
            self._stop_popen(name, proc, [])
            self._procs.remove((name, proc))
        self.program = self.window = self.app = None

    def restart_program(self):
        self.stop_program()
        self.start_program()

    def program_log(self):
        return self._read_log("program")

    def _read_log(self, name):
        path = self._logs.get(name)
        if not path:
            return ""
        with open(path, "rb") as f:
            return f.read().decode(errors="replace")

    def _check_alive_proc(self, proc):
        for name, running in self._procs:
            if running is proc:
                self._check_alive(name)

    def _check_alive(self, name):
        for n, proc in self._procs:
            if n == name and proc.poll() is not None:
                log = self._read_log(name).strip()[-2000:]
                raise HarnessError(f"{name} exited with status {proc.returncode}; its output:\n{log}")

    def main_window(self):
        """The X window id of the program's main window if it is on the screen now, else None.
        Override-redirect windows with the title on the screen meanwhile (balloons) are noted in
        start_balloons."""
        xdotool = _tool("xdotool", "xdotool")
        out = self._run([xdotool, "search", "--onlyvisible", "--pid", str(self.program.pid)],
                        check=False)
        main = None
        for wid in out.split():
            name = self._run([xdotool, "getwindowname", wid], check=False).strip()
            # Balloons and tray icons are override-redirect windows, and may carry the title.
            if name != "Quantoria":
                continue
            if self._override_redirect(wid):
                self.start_balloons.add(wid)
            else:
                main = wid
        return main

    def _wait_window(self):
        def mapped():
            self._check_alive("program")
            return self.main_window()

        try:
            return _poll("the program's window to be mapped", mapped, STEP_TIMEOUT)
        except HarnessError as error:
            raise HarnessError(f"{error}; the program's windows: "
                               f"{self.describe_windows() or 'none'}") from None

    def describe_windows(self):
        """The program's top-level X windows in words (id, title, state), for failure
        messages."""
        xdotool = _tool("xdotool", "xdotool")
        out = self._run([xdotool, "search", "--pid", str(self.program.pid)], check=False)
        found = []
        for wid in out.split():
            name = self._run([xdotool, "getwindowname", wid], check=False).strip()
            state = self.window_state(wid)
            kind = "override-redirect" if self._override_redirect(wid) else "managed" \
                if state["managed"] else "unmanaged"
            found.append(f"{int(wid):#x} {name!r} ({kind}, "
                         f"{'viewable' if state['viewable'] else 'not viewable'}, "
                         f"WM_STATE {state['wm_state']})")
        return "; ".join(found)

    def _wait_application(self, with_window=True):
        import pyatspi

        def registered():
            self._check_alive("program")
            desktop = pyatspi.Registry.getDesktop(0)
            for i in range(desktop.childCount):
                app = desktop.getChildAtIndex(i)
                if app is not None and app.get_process_id() == self.program.pid:
                    # The tree is there once the main window is.
                    if not with_window or self._find_in(app, "Quantoria", pyatspi.ROLE_FRAME,
                                                        max_depth=1):
                        return app
            return None

        return _poll("the program in the accessibility tree", registered, STEP_TIMEOUT)

    def activate(self):
        """Gives the program's window the input focus."""
        self._run([_tool("xdotool", "xdotool"), "windowactivate", "--sync", self.window])

    # ---- windows as the X server and the window manager see them --------------------------------

    def _override_redirect(self, wid):
        info = self._run([_tool("xwininfo", "x11-utils"), "-id", str(wid)], check=False)
        return "Override Redirect State: yes" in info

    def window_state(self, wid=None):
        """The state of the program's window (or of `wid`), read from the X server: a dict with
        'viewable' (mapped, and its parents too), 'wm_state' ('Normal', 'Iconic', or None when
        the window is withdrawn), 'net_wm_state' (the set of _NET_WM_STATE atoms) and 'managed'
        (listed in the window manager's _NET_CLIENT_LIST)."""
        wid = int(str(wid or self.window), 0)
        xprop, xwininfo = _tool("xprop", "x11-utils"), _tool("xwininfo", "x11-utils")
        info = self._run([xwininfo, "-id", str(wid)], check=False)
        props = self._run([xprop, "-id", str(wid), "WM_STATE", "_NET_WM_STATE"], check=False)
        wm_state = re.search(r"window state:\s*(\w+)", props)
        net = re.search(r"^_NET_WM_STATE\(ATOM\) =(.*)$", props, re.MULTILINE)
        clients = self._run([xprop, "-root", "_NET_CLIENT_LIST"], check=False)
        listed = clients.split("#", 1)[1] if "#" in clients else ""
        state = wm_state.group(1) if wm_state else None
        return {
            "viewable": "Map State: IsViewable" in info,
            "wm_state": None if state == "Withdrawn" else state,
            "net_wm_state": {a.strip() for a in net.group(1).split(",") if a.strip()} if net
            else set(),
            "managed": wid in {int(w.strip(), 16) for w in listed.split(",") if w.strip()},
        }

    def wait_window_state(self, predicate, timeout=FIND_TIMEOUT, wid=None):
        """Waits (bounded) for window_state() to satisfy predicate; (True, state) or, on
        timeout, (False, the last state read)."""
        deadline = time.monotonic() + timeout
        while True:
            state = self.window_state(wid)
            if predicate(state):
                return True, state
            if time.monotonic() >= deadline:
                return False, state
            time.sleep(0.1)

    def watch_window(self, wid=None):
        """Starts recording the map and unmap events of the program's window (or of `wid`) and
        waits until the recording runs: xev, selecting structure events only (which any number
        of clients may), so the program is not disturbed. Returns a WindowWatch; stop it with its
        stop()."""
        wid = str(wid or self.window)
        name = f"xev-{int(wid, 0):x}"
        proc = self._spawn(name, [_tool("stdbuf", "coreutils"), "-oL",
                                  _tool("xev", "x11-utils"), "-id", wid,
                                  "-event", "structure", "-event", "substructure"])
        watch = WindowWatch(self, name, proc)

        # xev prints nothing until an event comes. It also asks for the events about the
        # window's children, which the program does not: once the X server lists those among
        # the window's wanted events, xev watches.
        def watching():
            self._check_alive(name)
            info = self._run([_tool("xwininfo", "x11-utils"), "-events", "-id", wid],
                             check=False)
            wanted = info.split("Someone wants these events:", 1)[-1].split("Do not", 1)[0]
            return "SubstructureNotify" in wanted

        try:
            _poll("xev to watch the window", watching, STEP_TIMEOUT)
        except HarnessError:
            watch.stop()
            raise
        return watch

    def watch_root_messages(self):
        """Starts recording the client messages sent to the root window (startup notification,
        activation requests; see root_messages.py) and waits until the recording runs. Returns a
        RootMessages; stop it with its stop()."""
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "root_messages.py")
        name = f"root-messages-{len(self._procs)}"
        proc = self._spawn(name, [sys.executable, script])
        watch = RootMessages(self, name, proc)
        try:
            _poll("the root window's messages to be watched", watch.time, STEP_TIMEOUT)
        except HarnessError:
            watch.stop()
            raise
        return watch

    def start_helper(self, name, argv, package):
        """Starts a helper program (another X client; argv[0] is found on the search path, from
        the Debian package `package`) in the session; returns its Popen. The session stops it
        with everything else, or stop_helper() earlier."""
        return self._spawn(name, [_tool(argv[0], package)] + list(argv[1:]))

    def stop_helper(self, proc):
        for i, (name, running) in enumerate(self._procs):
            if running is proc:
                self._stop_popen(name, running, [])
                del self._procs[i]
                break

    def helper_window(self, proc, instance, timeout=STEP_TIMEOUT):
        """Waits (bounded) for a visible X window of the helper `proc` whose WM_CLASS instance
        is `instance` (not every client sets _NET_WM_PID); its id as a number."""
        xdotool = _tool("xdotool", "xdotool")

        def found():
            self._check_alive_proc(proc)
            out = self._run([xdotool, "search", "--onlyvisible", "--classname", f"^{instance}$"],
                            check=False)
            return int(out.split()[0]) if out.split() else None

        return _poll(f"a window of process {proc.pid} ({instance})", found, timeout)

    def activate_window(self, wid):
        """Makes the window `wid` the active one, as the window manager's focus would."""
        self._run([_tool("xdotool", "xdotool"), "windowactivate", "--sync", str(wid)])

    def window_property(self, name, wid=None):
        """xprop's line for the property `name` of the program's window (or of `wid`)."""
        return self._run([_tool("xprop", "x11-utils"), "-id", str(wid or self.window), name],
                         check=False).strip()

    def active_window(self):
        """The window the window manager says is active (_NET_ACTIVE_WINDOW of the root), as a
        number; None when there is none."""
        out = self._run([_tool("xprop", "x11-utils"), "-root", "_NET_ACTIVE_WINDOW"], check=False)
        match = re.search(r"window id # (0x[0-9a-fA-F]+)", out)
        return int(match.group(1), 16) or None if match else None

    def close_window(self):
        """Closes the program's window the way a user does: Alt+F4, which openbox turns into a
        close request (WM_DELETE_WINDOW)."""
        self.activate()
        self.key("alt+F4")

    def minimize_window(self):
        """Asks for the program's window to be minimised, as the title bar's button does
        (WM_CHANGE_STATE to IconicState)."""
        self._run([_tool("xdotool", "xdotool"), "windowminimize", self.window])

    def popup_windows(self):
        """[(X window id, x, y, width, height)] of the program's popups on the screen now
        (menus): override-redirect windows that belong to the main window, tooltips and
        balloons left out."""
        xdotool = _tool("xdotool", "xdotool")
        xwininfo, xprop = _tool("xwininfo", "x11-utils"), _tool("xprop", "x11-utils")
        found = []
        out = self._run([xdotool, "search", "--onlyvisible", "--pid", str(self.program.pid)],
                        check=False)
        for wid in out.split():
            info = self._run([xwininfo, "-id", wid], check=False)
            if "Override Redirect State: yes" not in info:
                continue
            props = self._run([xprop, "-id", wid, "WM_TRANSIENT_FOR", "_NET_WM_WINDOW_TYPE"],
                              check=False)
            owner = re.search(r"WM_TRANSIENT_FOR\(WINDOW\): window id # (0x[0-9a-fA-F]+)", props)
            if not owner or int(owner.group(1), 16) != int(self.window) or "TOOLTIP" in props:
                continue
            fields = dict(re.findall(r"^\s*(Absolute upper-left [XY]|Width|Height):\s*(-?\d+)",
                                     info, re.MULTILINE))
            found.append((wid, int(fields["Absolute upper-left X"]),
                          int(fields["Absolute upper-left Y"]), int(fields["Width"]),
                          int(fields["Height"])))
        return found

    def move_mouse(self, x, y):
        self._run([_tool("xdotool", "xdotool"), "mousemove", str(x), str(y)])

    def mouse_down(self, x, y, button=1):
        """Moves the mouse to (x, y) and presses `button`, without releasing it."""
        self._run([_tool("xdotool", "xdotool"), "mousemove", str(x), str(y), "mousedown",
                   str(button)])

    def mouse_up(self, button=1):
        """Releases `button` where the mouse is."""
        self._run([_tool("xdotool", "xdotool"), "mouseup", str(button)])

    def override_redirect_geometry(self, wid, title=None):
        """(x, y, width, height) on the screen of the override-redirect window `wid` (titled
        `title`, when given) while it is viewable; None for any other window."""
        if title is not None:
            name = self._run([_tool("xdotool", "xdotool"), "getwindowname", str(wid)],
                             check=False).rstrip("\n")
            if name != title:
                return None
        info = self._run([_tool("xwininfo", "x11-utils"), "-id", str(wid)], check=False)
        if "Override Redirect State: yes" not in info or "Map State: IsViewable" not in info:
            return None
        fields = dict(re.findall(r"^\s*(Absolute upper-left [XY]|Width|Height):\s*(-?\d+)",
                                 info, re.MULTILINE))
        return (int(fields["Absolute upper-left X"]), int(fields["Absolute upper-left Y"]),
                int(fields["Width"]), int(fields["Height"]))

    def click_at(self, x, y, button=1, repeat=1):
        """Moves the mouse to (x, y) and clicks `button` `repeat` times in quick succession."""
        argv = [_tool("xdotool", "xdotool"), "mousemove", str(x), str(y), "click"]
        if repeat > 1:
            argv += ["--repeat", str(repeat), "--delay", "0"]
        self._run(argv + [str(button)])

    # ---- the notification area ------------------------------------------------------------------

    def start_tray(self):
        """Starts trayer and waits until it owns the notification area and shows its panel."""
        if self.tray is not None and self.tray.poll() is None:
            raise HarnessError("a tray host already runs")
        self.tray = self._spawn("trayer", [_tool("trayer", "trayer")] + TRAYER_ARGS)

        def ready():
            self._check_alive("trayer")
            return _selection_owner(self.display, TRAY_SELECTION) and self._tray_panel()

        _poll("trayer to take the notification area", ready, STEP_TIMEOUT)

    def stop_tray(self):
        """Stops the tray host by its PID and waits until the notification area is gone."""
        for i, (name, proc) in enumerate(self._procs):
            if proc is self.tray:
                problems = []
                self._stop_popen(name, proc, problems)
                del self._procs[i]
                break
        self.tray = None
        _poll("the notification area to go away",
              lambda: not _selection_owner(self.display, TRAY_SELECTION), STEP_TIMEOUT)

    def _tray_panel(self):
        """The X window id of trayer's panel (WM_CLASS "panel", "trayer"), or None."""
        tree = self._run([_tool("xwininfo", "x11-utils"), "-root", "-tree"], check=False)
        match = re.search(r'^\s*(0x[0-9a-fA-F]+) .*\("panel" "trayer"\)', tree, re.MULTILINE)
        return match.group(1) if match else None

    def tray_icon(self):
        """(X window id, x, y, width, height) of the program's icon in the notification area
        (a window of the program that trayer embedded in its panel, mapped), or None."""
        panel = self._tray_panel()
        if panel is None or self.program is None:
            return None
        xdotool, xwininfo = _tool("xdotool", "xdotool"), _tool("xwininfo", "x11-utils")
        ours = {int(w) for w in self._run([xdotool, "search", "--pid", str(self.program.pid)],
                                          check=False).split()}
        tree = self._run([xwininfo, "-id", panel, "-tree"], check=False)
        for line in tree.splitlines():
            match = re.match(r"^\s*(0x[0-9a-fA-F]+) .*\s(\d+)x(\d+)[+-]-?\d+[+-]-?\d+"
                             r"\s+\+(-?\d+)\+(-?\d+)\s*$", line)
            if match and int(match.group(1), 16) in ours:
                wid = match.group(1)
                if self.window_state(wid)["viewable"]:
                    w, h, x, y = (int(v) for v in match.group(2, 3, 4, 5))
                    return wid, x, y, w, h
        return None

    def wait_tray_icon(self, timeout=FIND_TIMEOUT):
        """Waits (bounded) for the program's icon to show in the notification area."""
        def probe():
            self._check_alive("program")
            return self.tray_icon()

        return _poll("the program's icon in the notification area", probe, timeout)

    def click_tray_icon(self, button=1, repeat=1):
        _, x, y, w, h = self.wait_tray_icon()
        self.click_at(x + w // 2, y + h // 2, button, repeat)

    # ---- finding and reading accessibles --------------------------------------------------------

    @staticmethod
    def _find_in(root, name, role=None, max_depth=12):
        stack = [(root, 0)]
        while stack:
            node, depth = stack.pop()
            if node is None:
                continue
            if node is not root and node.name == name and (role is None or node.getRole() == role):
                return node
            if depth < max_depth:
                for i in range(node.childCount - 1, -1, -1):
                    stack.append((node.getChildAtIndex(i), depth + 1))
        return None

    def find_showing(self, name, role=None, timeout=FIND_TIMEOUT):
        """The program's accessible named `name` (and of `role`) that is on the screen now."""
        import pyatspi
        self._require_app()

        def search():
            self._check_alive("program")
            self.app.clearCache()
            stack = [(self.app, 0)]
            while stack:
                node, depth = stack.pop()
                if node is None:
                    continue
                if (node is not self.app and node.name == name
                        and (role is None or node.getRole() == role)
                        and node.getState().contains(pyatspi.STATE_SHOWING)):
                    return node
                if depth < 12:
                    stack.extend((node.getChildAtIndex(i), depth + 1)
                                 for i in range(node.childCount))
            return None

        return _poll(f"an accessible named {name!r} on the screen", search, timeout)

    def find(self, name, role=None, timeout=FIND_TIMEOUT):
        """The program's accessible named `name` (and of `role`, a pyatspi ROLE_*)."""
        self._require_app()

        def search():
            self._check_alive("program")
            self.app.clearCache()
            return self._find_in(self.app, name, role)

        return _poll(f"an accessible named {name!r}", search, timeout)

    @staticmethod
    def text(accessible):
        """The text an accessible shows: its Text interface, else its value, else its name."""
        with contextlib.suppress(NotImplementedError):
            text = accessible.queryText()
            return text.getText(0, -1)
        with contextlib.suppress(NotImplementedError):
            return str(accessible.queryValue().currentValue)
        return accessible.name

    def wait_text(self, name, predicate, timeout=FIND_TIMEOUT):
        """Waits until the text of the accessible `name` satisfies predicate; returns
        (True, text) or, on timeout, (False, the last text read)."""
        accessible = self.find(name)
        return self.wait_for(lambda: self.text(accessible), predicate, timeout)

    def wait_for(self, read, predicate, timeout=FIND_TIMEOUT):
        """Calls read() until predicate(value) holds; returns (True, value) or, on timeout,
        (False, the last value read)."""
        deadline = time.monotonic() + timeout
        while True:
            self._check_alive("program")
            value = read()
            if predicate(value):
                return True, value
            if time.monotonic() >= deadline:
                return False, value
            time.sleep(0.1)

    def is_focused(self, name):
        import pyatspi
        return self.find(name).getState().contains(pyatspi.STATE_FOCUSED)

    def wait_focused(self, name, timeout=FIND_TIMEOUT):
        try:
            _poll(f"{name!r} to have the keyboard focus", lambda: self.is_focused(name), timeout)
        except HarnessError as error:
            raise HarnessError(f"{error}; the focus is on {self.focused_name()!r}") from None

    def focused_name(self):
        """The name of the program's accessible that has the keyboard focus, or None."""
        import pyatspi
        self._require_app()
        self.app.clearCache()
        stack = [self.app]
        while stack:
            node = stack.pop()
            if node is None:
                continue
            if node is not self.app and node.getState().contains(pyatspi.STATE_FOCUSED):
                return node.name
            stack.extend(node.getChildAtIndex(i) for i in range(node.childCount))
        return None

    def _pump_events(self):
        from gi.repository import GLib
        context = GLib.MainContext.default()
        while context.iteration(False):
            pass

    def focus_mark(self):
        """A mark for wait_focus(): the focus changes from now on count."""
        self._pump_events()
        return len(self._focus_events)

    def wait_focus(self, predicate, since, timeout=FIND_TIMEOUT):
        """Waits (bounded) for an accessible of the program to take the focus after the mark
        `since` (from focus_mark()) and to satisfy predicate(accessible); returns it."""
        def probe():
            self._check_alive("program")
            self._pump_events()
            for source in self._focus_events[since:]:
                try:
                    ours = source.get_application().get_process_id() == self.program.pid
                except Exception:
                    continue
                if ours and predicate(source):
                    return source
            return None

        return _poll("the focus to go to a matching accessible", probe, timeout)

    def dialogs(self, title):
        """The program's open top-level dialogs named `title`."""
        import pyatspi
        self._require_app()
        self.app.clearCache()
        found = []
        for i in range(self.app.childCount):
            child = self.app.getChildAtIndex(i)
            if (child is not None and child.name == title
                    and child.getRole() in (pyatspi.ROLE_DIALOG, pyatspi.ROLE_ALERT)
                    and child.getState().contains(pyatspi.STATE_VISIBLE)):
                found.append(child)
        return found

    def find_dialog(self, title, timeout=FIND_TIMEOUT):
        def search():
            self._check_alive("program")
            found = self.dialogs(title)
            return found[0] if found else None

        return _poll(f"a dialog titled {title!r}", search, timeout)

    def wait_no_dialog(self, title, timeout=FIND_TIMEOUT):
        _poll(f"the dialog titled {title!r} to close", lambda: not self.dialogs(title), timeout)

    def dialog_labels(self, dialog):
        """The texts of the labels of a dialog, in tree order."""
        import pyatspi
        labels = []
        stack = [dialog]
        while stack:
            node = stack.pop()
            if node is None:
                continue
            if node.getRole() == pyatspi.ROLE_LABEL:
                labels.append(node.name or self.text(node))
            stack.extend(node.getChildAtIndex(i) for i in range(node.childCount - 1, -1, -1))
        return labels

    def _require_app(self):
        self._require_accessible()
        if self.app is None:
            raise HarnessError("the program is not running")

    def _require_accessible(self):
        if not self.accessible:
            raise HarnessError("this session runs without accessibility: drive its program "
                               "with keys and read its files")

    # ---- keyboard and screen --------------------------------------------------------------------

    def type_text(self, text):
        """Types text into the window that has the input focus, as key presses and releases."""
        self._run([_tool("xdotool", "xdotool"), "type", "--delay", "25", "--", text])

    def key(self, *keys):
        """Presses and releases keys (X keysym names: Return, Up, Down, ...) one after another."""
        self._run([_tool("xdotool", "xdotool"), "key", "--delay", "50", "--", *keys])

    @staticmethod
    def extents(accessible):
        """(x, y, width, height) of an accessible on the screen."""
        import pyatspi
        box = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        return box.x, box.y, box.width, box.height

    def click(self, accessible):
        """Clicks the middle of an accessible with the left mouse button."""
        x, y, w, h = self.extents(accessible)
        self._run([_tool("xdotool", "xdotool"), "mousemove", str(x + w // 2), str(y + h // 2),
                   "click", "1"])

    def pixel(self, x, y):
        """The (red, green, blue) colour, 0..255, of one pixel of the screen."""
        out = self._run([_tool("import", "imagemagick"), "-display", self.display, "-window", "root",
                         "-crop", f"1x1+{x}+{y}", "+repage", "txt:-"])
        header = re.search(r"enumeration: \d+,\d+,(\d+),", out)
        value = re.search(r"^0,0: \(\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+)", out, re.MULTILINE)
        if not header or not value:
            raise HarnessError(f"cannot read the pixel at {x},{y} from: {out!r}")
        scale = int(header.group(1))
        return tuple(round(int(v) * 255 / scale) for v in value.groups())

    def window_frame(self, wid=None):
        """(x, y, width, height) of the program's window (or of the window `wid`) with its
        decoration, on the screen."""
        wid = str(wid or self.window)
        info = self._run([_tool("xwininfo", "x11-utils"), "-id", wid])

        def field(label):
            match = re.search(rf"^\s*{label}:\s*(-?\d+)", info, re.MULTILINE)
            if not match:
                raise HarnessError(f"xwininfo gave no '{label}' for window {wid}")
            return int(match.group(1))

        # The absolute position of the client area (xdotool's geometry is off under a
        # reparenting window manager), widened by the frame openbox draws around it.
        x, y = field("Absolute upper-left X"), field("Absolute upper-left Y")
        w, h = field("Width"), field("Height")
        extents = self._run([_tool("xprop", "x11-utils"), "-id", wid, "_NET_FRAME_EXTENTS"],
                            check=False)
        if "=" in extents:
            numbers = [int(n) for n in re.findall(r"\d+", extents.split("=", 1)[1])]
            if len(numbers) == 4:
                left, right, top, bottom = numbers
                x, y, w, h = x - left, y - top, w + left + right, h + top + bottom
        return max(x, 0), max(y, 0), w, h

    def screenshot(self, path, whole_screen=False, wid=None):
        """Writes a PNG of the program's window (or of the window `wid`, or of the whole screen)
        to `path`."""
        argv = [_tool("import", "imagemagick"), "-display", self.display, "-window", "root"]
        if not whole_screen and (wid or self.window) is not None:
            x, y, w, h = self.window_frame(wid)
            argv += ["-crop", f"{w}x{h}+{x}+{y}", "+repage"]
        self._run(argv + ["PNG:" + os.path.abspath(path)])
        return path

    def _run(self, argv, check=True):
        """Runs a short helper command on the session's display; bounded by COMMAND_TIMEOUT."""
        try:
            done = subprocess.run(argv, env=self._env, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=COMMAND_TIMEOUT,
                                  preexec_fn=_die_with_parent)
        except subprocess.TimeoutExpired:
            raise HarnessError(f"timed out after {COMMAND_TIMEOUT:.0f}s: {' '.join(argv)}")
        if check and done.returncode != 0:
            raise HarnessError(f"{' '.join(argv)} failed ({done.returncode}): "
                               f"{done.stderr.decode(errors='replace').strip()}")
        return done.stdout.decode(errors="replace")


class WindowWatch:
    """The map and unmap events of one window, as xev prints them."""

    def __init__(self, session, name, proc):
        self._session, self._name, self._proc = session, name, proc

    def wait(self, event, timeout=FIND_TIMEOUT):
        """Waits (bounded) for `event` to have been seen; True when it was."""
        deadline = time.monotonic() + timeout
        while event not in self.events():
            self._session._check_alive(self._name)
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.05)
        return True

    def events(self):
        """The names of the events seen so far, oldest first ("MapNotify", "UnmapNotify")."""
        return re.findall(r"^(MapNotify|UnmapNotify) event", self._session._read_log(self._name),
                          re.MULTILINE)

    def stop(self):
        for i, (name, proc) in enumerate(self._session._procs):
            if proc is self._proc:
                self._session._stop_popen(name, proc, [])
                del self._session._procs[i]
                break


class RootMessages:
    """The client messages sent to the root window, as root_messages.py prints them."""

    def __init__(self, session, name, proc):
        self._session, self._name, self._proc = session, name, proc

    def lines(self):
        return self._session._read_log(self._name).splitlines()

    def time(self):
        """The X server's time when the recording began (a launcher would put it in a startup
        id's _TIME suffix), or None while it is not running yet."""
        self._session._check_alive(self._name)
        for line in self.lines():
            if line.startswith("ready time="):
                return int(line.split("=", 1)[1])
        return None

    def startup_messages(self):
        """The startup-notification messages seen so far ("remove: ID=..."), oldest first."""
        return [line[len("startup "):] for line in self.lines() if line.startswith("startup ")]

    def activation_requests(self):
        """[(window, source, time)] of the _NET_ACTIVE_WINDOW requests seen so far that were
        sent with SubstructureNotify in their event mask."""
        found = []
        for line in self.lines():
            match = re.match(r"active window=(0x[0-9a-f]+) source=(\d+) time=(\d+)$", line)
            if match:
                found.append((int(match.group(1), 16), int(match.group(2)), int(match.group(3))))
        return found

    def stop(self):
        self._session.stop_helper(self._proc)


@contextlib.contextmanager
def watchdog(seconds):
    """Raises Aborted in the main thread after `seconds`, or on SIGTERM/SIGHUP, so that a
    stuck run still ends through the session's cleanup rather than leaving processes behind."""
    def expired(signum, frame):
        raise Aborted(f"the run took longer than {seconds}s")

    def terminated(signum, frame):
        raise Aborted(f"stopped by signal {signum}")

    previous = {sig: signal.signal(sig, handler)
                for sig, handler in ((signal.SIGALRM, expired), (signal.SIGTERM, terminated),
                                     (signal.SIGHUP, terminated))}
    signal.alarm(seconds)
    try:
        yield
    finally:
        signal.alarm(0)
        for sig, handler in previous.items():
            signal.signal(sig, handler)


if __name__ == "__main__":
    if len(sys.argv) in (4, 5) and sys.argv[1] == "--guard":
        _guard(sys.argv[2].encode(), sys.argv[3], keep=sys.argv[4:] == ["--keep"])
    else:
        sys.exit("harness.py is a module; run test_evaluate.py or demo.py")
