"""Runs the real quantoria program on an X server of its own and drives it the way a user does.

Debian packages this harness needs (one line, for the Makefile to install):
    xvfb xdotool openbox x11-utils imagemagick dbus-daemon dbus-session-bus-common at-spi2-core python3-pyatspi python3-gi
(dbus-x11 is not needed, but brings dbus-daemon and dbus-session-bus-common along.)

Run the scripts with /usr/bin/python3: pyatspi and gi are Debian packages and are not visible to
other interpreters (pyenv, virtualenvs).

A Session owns everything it starts: an Xvfb server on a display it picks with -displayfd, a
private D-Bus session bus, the accessibility bus, openbox, and the program itself, copied into a
temp folder of its own. HOME, XDG_RUNTIME_DIR, XDG_CONFIG_HOME and XDG_STATE_HOME point into a
temp folder, so nothing of the caller's desktop session is read or written. On exit every process
is stopped by its PID (SIGTERM, a bounded wait, then SIGKILL) and the temp folders are removed.

Every process of a session carries a random QUANTORIA_E2E_SESSION value in its environment, and
inherits it to what it starts. A guard process (this file run with --guard) waits for the session
to end; if the test process dies without cleaning up, even by SIGKILL, the guard stops whatever
still carries the value and removes the temp folder.

Every wait is bounded. pyatspi binds to one accessibility bus per process, so a process runs one
Session at a time; the program can be restarted inside it with restart_program().
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

_PR_SET_PDEATHSIG = 1
_PR_SET_CHILD_SUBREAPER = 36
_libc = ctypes.CDLL(None, use_errno=True)
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

    def __init__(self, program, screen="1280x1024x24", keep_temp=False, program_env=None):
        self.program_source = os.path.abspath(program)
        if not os.access(self.program_source, os.X_OK):
            raise HarnessError(f"not an executable program: {self.program_source}")
        self.screen = screen
        self.keep_temp = keep_temp
        self.program_env = dict(program_env or {})
        self.root = None
        self.display = None
        self.bus_address = None
        self.a11y_address = None
        self.program = None      # the Popen of the program
        self.window = None       # its X window id
        self.app = None          # its AT-SPI application
        self._procs = []         # (name, Popen), in start order
        self._marker = f"{SESSION_MARKER}={secrets.token_hex(8)}".encode()
        self._env = None
        self._logs = {}
        self._guard_pid = None
        self._guard_pipe = None

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
        for sub in ("home", "config", "state", "logs", "program"):
            os.makedirs(os.path.join(self.root, sub))
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
        self._start_a11y_bus()
        self._start_window_manager()
        self._bind_pyatspi()
        self.start_program()

    def stop(self):
        """Stops every process of the session by its PID and removes the temp folders."""
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
                        [_tool("dbus-daemon", "dbus-daemon"), "--session", "--nofork", "--nopidfile",
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
        import pyatspi  # noqa: F401  (connects on first use, to the buses above)

    # ---- the program ----------------------------------------------------------------------------

    def start_program(self):
        """Starts the program (a copy of it in the session's folder) and waits for its window,
        for its accessibility tree and for one of its controls to have the keyboard focus."""
        copy = os.path.join(self.root, "program", os.path.basename(self.program_source))
        shutil.copy2(self.program_source, copy)
        env = dict(self._env)
        env.update({
            "QT_QPA_PLATFORM": "xcb",
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
            "QT_ACCESSIBILITY": "1",
            "LANG": PROGRAM_LOCALE,
            "LC_ALL": PROGRAM_LOCALE,
        })
        # Qt 6.4 connects to a bus named in AT_SPI_BUS_ADDRESS but never registers with the
        # registry there; asked through org.a11y.Bus on the session bus, it does both.
        env.pop("AT_SPI_BUS_ADDRESS", None)
        env.update(self.program_env)
        self.program = self._spawn("program", [copy], env=env,
                                   cwd=os.path.join(self.root, "home"))
        self.window = self._wait_window()
        self.app = self._wait_application()
        self.activate()
        _poll("the program's window to take the keyboard focus", self.focused_name, STEP_TIMEOUT)

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
        for i, (name, proc) in enumerate(self._procs):
            if name == "program":
                problems = []
                self._stop_popen(name, proc, problems)
                del self._procs[i]
                break
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

    def _check_alive(self, name):
        for n, proc in self._procs:
            if n == name and proc.poll() is not None:
                log = self._read_log(name).strip()[-2000:]
                raise HarnessError(f"{name} exited with status {proc.returncode}; its output:\n{log}")

    def _wait_window(self):
        xdotool = _tool("xdotool", "xdotool")

        def mapped():
            self._check_alive("program")
            out = self._run([xdotool, "search", "--onlyvisible", "--pid", str(self.program.pid)],
                            check=False)
            for wid in out.split():
                name = self._run([xdotool, "getwindowname", wid], check=False).strip()
                if name == "Quantoria":
                    return wid
            return None

        return _poll("the program's window to be mapped", mapped, STEP_TIMEOUT)

    def _wait_application(self):
        import pyatspi

        def registered():
            self._check_alive("program")
            desktop = pyatspi.Registry.getDesktop(0)
            for i in range(desktop.childCount):
                app = desktop.getChildAtIndex(i)
                if app is not None and app.get_process_id() == self.program.pid:
                    # The tree is there once the main window is.
                    if self._find_in(app, "Quantoria", pyatspi.ROLE_FRAME, max_depth=1):
                        return app
            return None

        return _poll("the program in the accessibility tree", registered, STEP_TIMEOUT)

    def activate(self):
        """Gives the program's window the input focus."""
        self._run([_tool("xdotool", "xdotool"), "windowactivate", "--sync", self.window])

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
        if self.app is None:
            raise HarnessError("the program is not running")

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

    def window_frame(self):
        """(x, y, width, height) of the program's window with its decoration, on the screen."""
        info = self._run([_tool("xwininfo", "x11-utils"), "-id", self.window])

        def field(label):
            match = re.search(rf"^\s*{label}:\s*(-?\d+)", info, re.MULTILINE)
            if not match:
                raise HarnessError(f"xwininfo gave no '{label}' for window {self.window}")
            return int(match.group(1))

        # The absolute position of the client area (xdotool's geometry is off under a
        # reparenting window manager), widened by the frame openbox draws around it.
        x, y = field("Absolute upper-left X"), field("Absolute upper-left Y")
        w, h = field("Width"), field("Height")
        extents = self._run([_tool("xprop", "x11-utils"), "-id", self.window, "_NET_FRAME_EXTENTS"],
                            check=False)
        if "=" in extents:
            numbers = [int(n) for n in re.findall(r"\d+", extents.split("=", 1)[1])]
            if len(numbers) == 4:
                left, right, top, bottom = numbers
                x, y, w, h = x - left, y - top, w + left + right, h + top + bottom
        return max(x, 0), max(y, 0), w, h

    def screenshot(self, path, whole_screen=False):
        """Writes a PNG of the program's window (or of the whole screen) to `path`."""
        argv = [_tool("import", "imagemagick"), "-display", self.display, "-window", "root"]
        if not whole_screen and self.window is not None:
            x, y, w, h = self.window_frame()
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
