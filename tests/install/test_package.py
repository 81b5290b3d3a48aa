#!/usr/bin/python3
"""The Debian package as a Debian user meets it: lintian's verdict, the control fields, the exact
list of files, and the package installed into a throw-away root, run there (quantoria-eval and
the calculator on an X server of its own) and removed again.

    /usr/bin/python3 tests/install/test_package.py PACKAGE_TREE --version VERSION
                     [--artifacts DIR]

PACKAGE_TREE is the Release tree packaging/build-package.sh made quantoria_VERSION_ARCH.deb in.

The throw-away root is a temporary folder with a dpkg database of its own (var/lib/dpkg inside
it, empty at first). dpkg runs with --root on it and writes its log there too: it reads and
writes nothing of the machine's package database, and runs no maintainer script (the package has
none). --force-depends, because that database knows no other package; the programs run from the
root with the machine's own libraries. Not root, the test runs dpkg under fakeroot.

The calculator runs in place from the root's usr/bin on the harness's Xvfb, buses and folders
(tests/e2e/harness.py): HOME and the XDG folders are temporary, so it reads and writes nothing of
the caller's.
"""

import argparse
import gzip
import hashlib
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import traceback

sys.dont_write_bytecode = True  # keep the source tree clean
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
import cases  # noqa: E402
import harness  # noqa: E402
from cases import CaseFailure, expect  # noqa: E402

APP_ID = "example.quantoria.Quantoria"
ICON_SIZES = (16, 22, 32, 48, 64, 128, 256)
MAINTAINER = "Quantoria <support@quantoria.example>"
SYNOPSIS = "desktop calculator for whole expressions, with a history"
# Loaded at run time rather than linked, so dpkg-shlibdeps cannot know them.
RECOMMENDS = ["qt6-wayland", "xdg-utils"]
TOOL_TIMEOUT = 120   # one dpkg, dpkg-deb, readelf or quantoria-eval run
LINTIAN_TIMEOUT = 600
GUI_WATCHDOG = 240   # the calculator's part, start to end
SEAL_MAGIC = b"QNTRSEAL-SHA256\x01"


def expected_contents():
    """{path in the package: mode} of every entry of the package, folders included."""
    files = {
        "usr/bin/quantoria": "-rwxr-xr-x",
        "usr/bin/quantoria-eval": "-rwxr-xr-x",
        f"usr/share/applications/{APP_ID}.desktop": "-rw-r--r--",
        f"usr/share/metainfo/{APP_ID}.metainfo.xml": "-rw-r--r--",
        "usr/share/man/man1/quantoria.1.gz": "-rw-r--r--",
        "usr/share/man/man1/quantoria-eval.1.gz": "-rw-r--r--",
        "usr/share/doc/quantoria/copyright": "-rw-r--r--",
        "usr/share/doc/quantoria/changelog.gz": "-rw-r--r--",
    }
    for size in ICON_SIZES:
        files[f"usr/share/icons/hicolor/{size}x{size}/apps/{APP_ID}.png"] = "-rw-r--r--"
    entries = {}
    for path, mode in files.items():
        entries[path] = mode
        parts = path.split("/")
        for depth in range(1, len(parts)):
            entries["/".join(parts[:depth])] = "drwxr-xr-x"
    return entries


def run(argv, timeout=TOOL_TIMEOUT, check=True, **kwargs):
    """Runs a command to its end (bounded); its CompletedProcess, stdout and stderr as text."""
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=timeout,
                              stdin=subprocess.DEVNULL, **kwargs)
    except FileNotFoundError:
        raise CaseFailure(f"{argv[0]} not found")
    except subprocess.TimeoutExpired:
        raise CaseFailure(f"timed out after {timeout}s: {' '.join(argv)}")
    if check and done.returncode != 0:
        raise CaseFailure(f"{' '.join(argv)} failed with status {done.returncode}:\n"
                          f"{done.stdout}{done.stderr}")
    return done


def read(path, mode="rb"):
    with open(path, mode) as f:
        return f.read()


def seal_status(path):
    """'ok', 'damaged' or 'unsealed': the program's seal (a magic and the SHA-256 of every byte
    before it, at the end of the file) against its bytes."""
    data = read(path)
    if len(data) < 48 or data[-48:-32] != SEAL_MAGIC:
        return "unsealed"
    return "ok" if hashlib.sha256(data[:-48]).digest() == data[-32:] else "damaged"


def section_names(path):
    out = run(["readelf", "--wide", "--section-headers", path]).stdout
    return set(re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", out, re.MULTILINE))


def section_bytes(path, name, folder):
    out = os.path.join(folder, name.strip(".") + "-" + hashlib.sha1(path.encode()).hexdigest())
    run(["objcopy", "--dump-section", f"{name}={out}", path, os.path.join(folder, "scratch")])
    return read(out)


def tree_files(root, skip=()):
    """Every entry below `root` as a relative path ('' for root itself), minus those under
    the folders in `skip`."""
    found = {""}
    for folder, dirs, files in os.walk(root):
        relative = os.path.relpath(folder, root)
        relative = "" if relative == "." else relative
        for name in dirs + files:
            path = f"{relative}/{name}" if relative else name
            if not any(path == s or path.startswith(s + "/") for s in skip):
                found.add(path)
    return found


class PackageTest:
    def __init__(self, options):
        self.options = options
        self.version = options.version
        self.tree = os.path.abspath(options.tree)
        self.arch = run(["dpkg", "--print-architecture"]).stdout.strip()
        self.deb = os.path.join(self.tree, f"quantoria_{self.version}_{self.arch}.deb")
        self.scratch = tempfile.mkdtemp(prefix="quantoria-package-")
        self.root = os.path.join(self.scratch, "root")
        self.admindir = os.path.join(self.root, "var", "lib", "dpkg")
        self.installed = False
        self.fakeroot = [] if os.geteuid() == 0 else ["fakeroot"]

    # ---- the package file -----------------------------------------------------------------------

    def case_package_file(self):
        """The tree holds this version's package, named quantoria_VERSION_ARCH.deb."""
        expect(os.path.isfile(self.deb), f"no package {self.deb}; make it with `make package`")
        print(f"     {os.path.basename(self.deb)}: {os.path.getsize(self.deb)} bytes")

    def case_lintian(self):
        """lintian (warnings and notes shown): no error; every warning and note it gives is named,
        with its reason, in packaging/lintian-warnings.txt; every tag named there is still
        given."""
        kept = {}
        with open(os.path.join(SOURCE, "packaging", "lintian-warnings.txt")) as f:
            for line in f:
                line = line.strip()
                if line and not line.startswith("#"):
                    tag, _, reason = line.partition(" ")
                    expect(reason.strip(), f"lintian-warnings.txt: {tag} has no reason given")
                    kept[tag] = reason.strip()
        done = run(["lintian", "--no-cfg", "--display-info", "--fail-on", "none", self.deb],
                   timeout=LINTIAN_TIMEOUT, check=False)
        print("     lintian: " + ("\n     lintian: ".join(done.stdout.splitlines()) or "(silent)"))
        expect(done.returncode == 0, f"lintian failed ({done.returncode}): {done.stderr}")
        given = {}
        for line in done.stdout.splitlines():
            match = re.match(r"^([EWIPXO]): quantoria(?: \w+)?: (\S+)", line)
            expect(match, f"lintian printed a line this test does not understand: {line!r}")
            given.setdefault(match.group(2), set()).add(match.group(1))
        errors = sorted(tag for tag, kinds in given.items() if "E" in kinds)
        expect(not errors, f"lintian errors: {errors}")
        unlisted = sorted(tag for tag in given if tag not in kept)
        expect(not unlisted, f"lintian tags not named in packaging/lintian-warnings.txt: "
                             f"{unlisted}")
        stale = sorted(tag for tag in kept if tag not in given)
        expect(not stale, f"packaging/lintian-warnings.txt names tags lintian no longer gives: "
                          f"{stale}")

    def control(self):
        text = run(["dpkg-deb", "--field", self.deb]).stdout
        fields, key = {}, None
        for line in text.splitlines():
            if line.startswith((" ", "\t")) and key:
                fields[key] += "\n" + line
            elif ":" in line:
                key, _, value = line.partition(":")
                fields[key] = value.strip()
        return fields

    def case_control_fields(self):
        """Package, Version (the project's), Architecture (the machine's), Section, Priority,
        Maintainer, Homepage, a description with a synopsis and a longer text, Recommends."""
        fields = self.control()
        for key, value in (("Package", "quantoria"), ("Version", self.version),
                           ("Architecture", self.arch), ("Section", "math"),
                           ("Priority", "optional"), ("Maintainer", MAINTAINER),
                           ("Homepage", "http://www.quantoria.example/")):
            expect(fields.get(key) == value, f"{key} is {fields.get(key)!r}, expected {value!r}")
        description = fields.get("Description", "").split("\n")
        expect(description[0] == SYNOPSIS,
               f"the description's synopsis is {description[0]!r}, expected {SYNOPSIS!r}")
        extended = [line for line in description[1:] if line.strip() not in ("", ".")]
        expect(len(extended) >= 4 and any("quantoria-eval" in line for line in extended),
               f"the extended description is {description[1:]!r}")
        recommends = [item.strip() for item in fields.get("Recommends", "").split(",")]
        expect(recommends == RECOMMENDS, f"Recommends is {recommends}, expected {RECOMMENDS}")
        size = fields.get("Installed-Size", "")
        expect(size.isdigit() and int(size) > 0, f"Installed-Size is {size!r}")

    def case_depends_from_the_programs(self):
        """Depends names exactly the packages that hold the libraries the two programs are
        linked with (found here through ldd and dpkg -S, independently of dpkg-shlibdeps), with
        the lowest versions their symbols need (libraries whose package gives no version, such as
        libxcb1, come without)."""
        depends = {}
        for item in self.control().get("Depends", "").split(","):
            match = re.match(r"^\s*([a-z0-9][a-z0-9+.-]+)(?:\s*\((>=)\s*([^)]+)\))?\s*$", item)
            expect(match, f"a Depends entry this test does not expect: {item!r}")
            depends[match.group(1)] = match.group(3)
        for name in ("libc6", "libstdc++6", "libqt6core6", "libqt6widgets6"):
            expect(depends.get(name), f"Depends has no lowest version of {name}: {depends}")

        extracted = os.path.join(self.scratch, "extracted")
        run(["dpkg-deb", "--extract", self.deb, extracted])
        owners = set()
        for program in ("quantoria", "quantoria-eval"):
            path = os.path.join(extracted, "usr", "bin", program)
            needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]",
                                run(["readelf", "--dynamic", path]).stdout)
            ldd = run(["ldd", path]).stdout
            # "name => /path (address)", and "/path (address)" for the dynamic loader.
            resolved = dict(re.findall(r"^\s*(\S+) => (/\S+)", ldd, re.MULTILINE))
            for loader in re.findall(r"^\s*(/\S+) \(", ldd, re.MULTILINE):
                resolved[os.path.basename(loader)] = loader
            for library in needed:
                expect(library in resolved, f"{program}: {library} not found by ldd")
                real = os.path.realpath(resolved[library])
                found = None
                for candidate in (resolved[library], real, re.sub(r"^/usr", "", real),
                                  re.sub(r"^/lib", "/usr/lib", real)):
                    query = run(["dpkg", "--search", candidate], check=False)
                    if query.returncode == 0:
                        found = query.stdout.split(":", 1)[0]
                        break
                expect(found, f"{program}: no package holds {resolved[library]}")
                owners.add(found)
        expect(set(depends) == owners,
               f"Depends names {sorted(depends)}; the programs' libraries come from "
               f"{sorted(owners)}")

    def case_contents(self):
        """dpkg-deb --contents: exactly the expected folders and files, owned by root, with the
        expected modes, no links."""
        listing = run(["dpkg-deb", "--contents", self.deb]).stdout
        found = {}
        for line in listing.splitlines():
            fields = line.split(None, 5)
            expect(len(fields) == 6, f"a contents line this test does not understand: {line!r}")
            mode, owner, _size, _date, _time, path = fields
            path = path.removeprefix("./").rstrip("/")
            expect(owner == "root/root", f"{path} is owned by {owner}")
            found[path] = mode
        expected = expected_contents()
        missing = sorted(set(expected) - set(found))
        extra = sorted(set(found) - set(expected))
        expect(not missing and not extra, f"missing {missing}, unexpected {extra}")
        wrong = sorted(f"{path} {found[path]} (expected {mode})"
                       for path, mode in expected.items() if found[path] != mode)
        expect(not wrong, f"modes: {wrong}")
        print("     " + "\n     ".join(listing.splitlines()))

    # ---- installed into a throw-away root -------------------------------------------------------

    def dpkg(self, *arguments, check=True):
        # Options from the machine's dpkg.cfg.d come first; a path-exclude there (a slim image
        # that drops documentation) is undone by the path-include that follows them.
        return run(self.fakeroot + ["dpkg", f"--root={self.root}",
                                    f"--log={os.path.join(self.scratch, 'dpkg.log')}",
                                    "--path-include=*", *arguments], check=check)

    def installed_path(self, relative):
        return os.path.join(self.root, relative)

    def case_install(self):
        """dpkg --root into an empty root with a database of its own: the package is installed,
        its files are there and nothing else outside the database."""
        for sub in ("info", "updates", "triggers"):
            os.makedirs(os.path.join(self.admindir, sub))
        for name in ("status", "available"):
            open(os.path.join(self.admindir, name), "w").close()
        self.dpkg("--force-depends", "--install", self.deb)
        self.installed = True
        status = run(["dpkg-query", f"--admindir={self.admindir}", "--show",
                      "--showformat=${Status} ${Version}", "quantoria"]).stdout
        expect(status == f"install ok installed {self.version}", f"dpkg-query says {status!r}")
        files = tree_files(self.root, skip=("var",)) - {""}
        expected = set(expected_contents())
        expect(files == expected, f"after installing, the root holds {sorted(files - expected)} "
                                  f"besides the package and lacks {sorted(expected - files)}")

    def case_installed_files_are_the_sources(self):
        """The desktop entry, the metainfo and the copyright file as they are in the source tree;
        the changelog and the manual pages unpack to theirs (the pages numbered with the
        version); the icons are PNG pictures of their sizes."""
        self.need_installed()
        for installed, source in (
                (f"usr/share/applications/{APP_ID}.desktop", f"resources/{APP_ID}.desktop"),
                (f"usr/share/metainfo/{APP_ID}.metainfo.xml",
                 f"resources/{APP_ID}.metainfo.xml"),
                ("usr/share/doc/quantoria/copyright", "packaging/copyright")):
            expect(read(self.installed_path(installed)) == read(os.path.join(SOURCE, source)),
                   f"{installed} differs from {source}")
        changelog = gzip.decompress(read(self.installed_path(
            "usr/share/doc/quantoria/changelog.gz")))
        expect(changelog == read(os.path.join(SOURCE, "packaging", "changelog")),
               "changelog.gz differs from packaging/changelog")
        expect(changelog.startswith(f"quantoria ({self.version}) ".encode()),
               f"the changelog's newest entry is {changelog.splitlines()[0]!r}")
        for page in ("quantoria", "quantoria-eval"):
            text = gzip.decompress(read(self.installed_path(f"usr/share/man/man1/{page}.1.gz")))
            source = read(os.path.join(SOURCE, "packaging", f"{page}.1.in"))
            expect(text == source.replace(b"@PROJECT_VERSION@", self.version.encode()),
                   f"{page}.1.gz differs from packaging/{page}.1.in")
        for size in ICON_SIZES:
            icon = read(self.installed_path(
                f"usr/share/icons/hicolor/{size}x{size}/apps/{APP_ID}.png"))
            expect(icon[:8] == b"\x89PNG\r\n\x1a\n" and
                   (int.from_bytes(icon[16:20], "big"), int.from_bytes(icon[20:24], "big")) ==
                   (size, size), f"the {size}x{size} icon is not a {size}x{size} PNG picture")
        # The entry as the desktop reads it: the installed program by name, its icon from the
        # hicolor theme, the launcher's startup notification answered.
        entry = read(self.installed_path(f"usr/share/applications/{APP_ID}.desktop"), "r")
        for line in ("Exec=quantoria", "TryExec=quantoria", f"Icon={APP_ID}", "Terminal=false",
                     "StartupNotify=true"):
            expect(line in entry.splitlines(), f"the desktop entry lacks {line!r}")

    def case_programs_stripped_and_sealed(self):
        """Both programs are stripped (no symbol table, no debug or .comment section); the
        calculator keeps its version record as built and carries a seal that matches its
        installed bytes, so it starts without the damage message."""
        self.need_installed()
        for program in ("quantoria", "quantoria-eval"):
            sections = section_names(self.installed_path(f"usr/bin/{program}"))
            left = sorted(s for s in sections if s in (".symtab", ".comment", ".note")
                          or s.startswith(".debug"))
            expect(not left, f"{program} still has the sections {left}")
        program = self.installed_path("usr/bin/quantoria")
        expect(seal_status(program) == "ok",
               f"the installed program's seal: {seal_status(program)}")
        built = os.path.join(self.tree, "quantoria")
        expect(section_bytes(program, ".quantoria_version", self.scratch) ==
               section_bytes(built, ".quantoria_version", self.scratch),
               "the installed program's version record differs from the built program's")

    def case_dpkg_verify(self):
        """dpkg --verify finds every installed file as packaged; a changed byte of the program
        is found by dpkg --verify and by the seal alike (undone afterwards)."""
        self.need_installed()
        done = self.dpkg("--verify", "quantoria", check=False)
        expect(done.returncode == 0 and not done.stdout.strip(),
               f"dpkg --verify ({done.returncode}): {done.stdout}{done.stderr}")
        program = self.installed_path("usr/bin/quantoria")
        data = bytearray(read(program))
        middle = len(data) // 2
        data[middle] ^= 0x01
        with open(program, "r+b") as f:
            f.seek(middle)
            f.write(data[middle:middle + 1])
        try:
            done = self.dpkg("--verify", "quantoria", check=False)
            expect(re.search(r"^\S*5\S* +/usr/bin/quantoria$", done.stdout, re.MULTILINE),
                   f"dpkg --verify did not report the changed program: {done.stdout!r}")
            expect(seal_status(program) == "damaged",
                   f"the seal of the changed program: {seal_status(program)}")
        finally:
            data[middle] ^= 0x01
            with open(program, "r+b") as f:
                f.seek(middle)
                f.write(data[middle:middle + 1])
        done = self.dpkg("--verify", "quantoria", check=False)
        expect(done.returncode == 0 and not done.stdout.strip(),
               f"dpkg --verify after undoing the change: {done.stdout}")

    def case_quantoria_eval(self):
        """The installed quantoria-eval evaluates (12+34)*3 to 138.00; every example of its
        manual page gives what the page shows; every option of its usage text is in the page."""
        self.need_installed()
        program = self.installed_path("usr/bin/quantoria-eval")
        env = {"PATH": os.path.dirname(program) + ":/usr/bin:/bin", "LC_ALL": "en_US.UTF-8",
               "LANG": "en_US.UTF-8", "HOME": self.scratch}
        done = run([program, "(12+34)*3"], env=env)
        expect(done.stdout == "138.00\n", f"quantoria-eval '(12+34)*3' printed {done.stdout!r}")

        page = gzip.decompress(read(self.installed_path(
            "usr/share/man/man1/quantoria-eval.1.gz"))).decode()
        examples = page.split(".SH EXAMPLES", 1)[1].split(".fi", 1)[0]
        unescape = [("\\(aq", "'"), ("\\(rs", "\\"), ("\\-", "-")]
        shown = re.findall(r'^\.RB "\$ " "(.*)"\n((?:[^.\n][^\n]*\n)*)', examples, re.MULTILINE)
        expect(len(shown) >= 4, f"the manual page's examples were not found: {examples!r}")
        for command, output in shown:
            for escaped, plain in unescape:
                command = command.replace(escaped, plain)
            done = run(["sh", "-c", command], env=env, check=False)
            expect(done.stdout == output,
                   f"the manual page's example `{command}` shows {output!r}, the program printed "
                   f"{done.stdout!r}{done.stderr!r}")
        usage = run([program, "--help"], env=env).stderr
        for option in sorted(set(re.findall(r"(?<![\w-])--?[a-z][a-z-]*", usage))):
            expect(option.replace("-", "\\-") in page,
                   f"quantoria-eval's option {option} is not in its manual page")

    def case_calculator(self):
        """The installed calculator, started in place on the test's own X server: its window
        shows without the damage message, evaluates (12+34)*3 to 138.00, ends with status 0 on
        SIGTERM, and has left its history and settings in the XDG folders (the autostart entry
        naming the installed program) and nothing in the root."""
        self.need_installed()
        program = self.installed_path("usr/bin/quantoria")
        before = tree_files(self.root)
        with harness.watchdog(GUI_WATCHDOG), \
                harness.Session(program, in_place=True) as session:
            try:
                self.drive_calculator(session)
            except (CaseFailure, harness.HarnessError):
                self.keep_evidence(session)
                raise
        after = tree_files(self.root)
        expect(after == before, f"the calculator wrote {sorted(after - before)} into the root")

    def drive_calculator(self, session):
        import pyatspi
        expect(session.program_path == self.installed_path("usr/bin/quantoria"),
               f"the program ran from {session.program_path}")
        if self.options.artifacts:
            os.makedirs(self.options.artifacts, exist_ok=True)
            session.screenshot(os.path.join(self.options.artifacts, "installed-window.png"))
        cases.evaluate(session, "(12+34)*3")
        cases.expect_text(session, "Result 1", "138.00", "(12+34)*3 + Enter in row 1")
        # The seal is checked once the window is out; the result above came after that.
        alerts = [child.name for child in session.dialogs(cases.TITLE)]
        expect(not alerts, f"the program shows a message box: {alerts}")
        frame = session.find(cases.TITLE, pyatspi.ROLE_FRAME)
        expect(frame.getState().contains(pyatspi.STATE_SHOWING), "the window is not showing")
        session.send_signal(signal.SIGTERM)
        cases.expect_exit(session, 0, "SIGTERM")

        history = os.path.join(session.state_home, "quantoria", cases.HISTORY_FILE)
        expect(os.path.isfile(history), f"no history file {history}")
        lines = read(history).decode("utf-8").split("\r\n")
        expect(lines[2:5] == ["(12+34)*3", "=", "138.00"],
               f"the history file reads {lines!r}")
        settings = os.path.join(session.config_home, "quantoria", cases.SETTINGS_FILE)
        expect(read(settings) == cases.DEFAULT_SETTINGS,
               f"the settings file {settings} reads {read(settings)!r}")
        autostart = cases.autostart_entry(session)
        expect(autostart is not None and
               f'Exec="{session.program_path}"' in autostart.decode().splitlines(),
               f"the autostart entry: {autostart!r}")

    def keep_evidence(self, session):
        log = session.program_log().strip()
        if log:
            print("     program output (last lines):\n       " +
                  "\n       ".join(log.splitlines()[-15:]))
        if self.options.artifacts:
            os.makedirs(self.options.artifacts, exist_ok=True)
            try:
                shot = session.screenshot(os.path.join(self.options.artifacts, "failure.png"),
                                          whole_screen=True)
                print(f"     screenshot: {shot}")
            except harness.HarnessError as error:
                print(f"     no screenshot: {error}")

    def case_purge(self):
        """dpkg --purge: the package is gone from the root's database, and the root holds
        nothing but that database."""
        self.need_installed()
        self.dpkg("--purge", "quantoria")
        self.installed = False
        status = run(["dpkg-query", f"--admindir={self.admindir}", "--show",
                      "--showformat=${Status}", "quantoria"], check=False)
        expect(status.returncode != 0 or status.stdout in ("", "unknown ok not-installed"),
               f"after purging, dpkg-query says {status.stdout!r}")
        left = sorted(tree_files(self.root, skip=("var/lib/dpkg",)) - {"", "var", "var/lib"})
        expect(not left, f"after purging, the root holds {left}")
        info = sorted(name for name in os.listdir(os.path.join(self.admindir, "info"))
                      if name.startswith("quantoria."))
        expect(not info, f"after purging, the database keeps {info}")

    def need_installed(self):
        if not self.installed:
            raise CaseFailure("the package is not installed (see the install case)")

    def cleanup(self):
        if self.installed:
            self.dpkg("--purge", "quantoria", check=False)
        subprocess.run(["rm", "-rf", "--one-file-system", self.scratch], timeout=TOOL_TIMEOUT)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tree", help="the Release tree that holds the package")
    parser.add_argument("--version", required=True, help="the project's version")
    parser.add_argument("--artifacts", help="folder for a screenshot of the installed program "
                                            "and, on a failure, of the screen")
    options = parser.parse_args()
    test = PackageTest(options)
    order = [test.case_package_file, test.case_lintian, test.case_control_fields,
             test.case_depends_from_the_programs, test.case_contents, test.case_install,
             test.case_installed_files_are_the_sources, test.case_programs_stripped_and_sealed,
             test.case_dpkg_verify, test.case_quantoria_eval, test.case_calculator,
             test.case_purge]
    passed, failed = 0, 0
    try:
        for case in order:
            name = case.__name__[len("case_"):]
            started = time.monotonic()
            try:
                case()
            except (CaseFailure, harness.HarnessError) as error:
                failed += 1
                print(f"FAIL {name}: {error}", flush=True)
                if name == "package_file":
                    break
            except harness.Aborted as error:
                failed += 1
                print(f"FAIL {name}: aborted: {error}", flush=True)
                break
            except Exception:
                failed += 1
                print(f"FAIL {name}: unexpected error\n{traceback.format_exc()}", flush=True)
            else:
                passed += 1
                print(f"ok   {name} ({time.monotonic() - started:.1f}s)", flush=True)
    finally:
        test.cleanup()
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 and passed == len(order) else 1


if __name__ == "__main__":
    sys.exit(main())
