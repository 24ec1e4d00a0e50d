"""Drives the real Updater.exe under Wine from Linux for the end-to-end tests.

Every Windows program runs in the build folder's Wine prefix and on an Xvfb display of the
test's own, so that message boxes stay open until they are found, read and answered. The
updater is started the way the application starts it: the sample application reads a request
beside itself and starts the updater with CreateProcessW. Wine would re-quote a command line
given to it from Linux, so exact command lines go through the launcher, which reads them from a
file and waits for every process they start.
"""

import datetime
import hashlib
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time
import zipfile
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parents[2]
WINE_RUN = SOURCE_ROOT / "scripts" / "wine-run"
BIN = Path(os.environ.get("ORV_BIN", SOURCE_ROOT / "build" / "windows-x86" / "bin"))
PREFIX = Path(os.environ.get("WINEPREFIX", BIN.parent / "wineprefix"))
DRIVE_C = PREFIX / "drive_c"
WORK = Path(os.environ.get("ORV_E2E_WORK", BIN.parent / "e2e-work"))
OUTPUT = Path(os.environ.get("ORV_E2E_OUTPUT", BIN.parent / "e2e-output"))
KEEP_WORK = os.environ.get("ORV_E2E_KEEP") == "1"

RUN_TIMEOUT = 90
POLL = 0.1
GUID_FOLDER = re.compile(r"^\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}$")
JOURNAL = re.compile(r"^Orvandel Updater [0-9A-F]{16}\.journal$")
RUN_ONCE_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce"

PROMPT_CAPTION = "Orvandel"
PROMPT_TEXT = "Update will take effect after you close Internet Exploer"
FAILURE_CAPTION = "Error"
FAILURE_TEXT = "Failed to upgrade the current version of Orvandel!"

# Files through which the test talks to the sample application; they are not part of what
# the updater may change.
CONTROL_FILES = {"starts.log", "update.request", "quit.flag", "update.feed", "download.log",
                 "update.tried"}

# A bcrypt.dll that leaves this file beside itself wherever it is loaded, and answers every CNG
# call with success.
PLANTED_DLL = BIN.parent / "planted" / "bcrypt.dll"
PLANTED_MARKER = "planted-dll-ran.txt"


def windows_path(path):
    """The prefix's drive_c is C:, everything else is reached through Z:."""
    if Path(path).is_relative_to(DRIVE_C):
        return "C:\\" + str(Path(path).relative_to(DRIVE_C)).replace("/", "\\")
    return "Z:" + str(path).replace("/", "\\")


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(POLL)


def wine_environment(display, dll_overrides=None):
    """dll_overrides: more of Wine's load orders, such as "bcrypt=n,b" (the DLL beside the
    program first, as Windows does for a DLL that is not one of its known DLLs)."""
    environment = dict(os.environ)
    environment.update(
        WINEARCH=os.environ.get("WINEARCH", "win32"),
        WINEPREFIX=str(PREFIX),
        WINEDEBUG="-all",
        WINEDLLOVERRIDES="mscoree,mshtml=" + (f";{dll_overrides}" if dll_overrides else ""),
        DISPLAY=display.name,
        LC_ALL="C.UTF-8",
    )
    return environment


def running_programs(fragment):
    """Command lines of the processes whose command line holds the fragment; Wine shows a
    Windows process under its Windows command line."""
    return [text for _, text in running_processes(fragment)]


def running_processes(fragment):
    """(pid, command line) of the processes whose command line holds the fragment."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            command = (entry / "cmdline").read_bytes()
            state = (entry / "stat").read_text().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        text = command.replace(b"\0", b" ").decode("utf-8", "replace")
        if fragment in text and state != "Z":
            found.append((int(entry.name), text))
    return found


def process_state(pid):
    try:
        return (Path("/proc") / str(pid) / "stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return None


def desktop_processes():
    """The displays of the live desktop processes of this prefix. Wine starts one for the first
    program that needs the desktop, on that program's display, and every later program of the
    prefix draws through it."""
    displays = []
    for entry in Path("/proc").iterdir():
        try:
            if b"explorer.exe" not in (entry / "cmdline").read_bytes():
                continue
            if (entry / "stat").read_text().rsplit(")", 1)[1].split()[0] == "Z":
                continue
            variables = dict(item.split(b"=", 1) for item in
                             (entry / "environ").read_bytes().split(b"\0") if b"=" in item)
        except (OSError, ValueError):
            continue
        prefix = variables.get(b"WINEPREFIX", b"").decode()
        if prefix and os.path.realpath(prefix) == os.path.realpath(PREFIX):
            displays.append(variables.get(b"DISPLAY", b"").decode())
    return displays


class Display:
    """An Xvfb server for one group of tests, with the xdotool and screenshot calls they use.
    A desktop process left from another display would draw this display's windows nowhere,
    so the group waits until it has gone, and its own desktop process goes with the server."""

    def __init__(self):
        wait_until(lambda: not desktop_processes(), 60, "Wine's desktop process of another display")
        reader, writer = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(writer), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             "-noreset"],
            pass_fds=[writer], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(writer)
        # Xvfb writes the number and the line break apart and dies if it cannot write both.
        answer = b""
        try:
            while not answer.endswith(b"\n") and select.select([reader], [], [], 30)[0]:
                chunk = os.read(reader, 64)
                if not chunk:
                    break
                answer += chunk
        finally:
            os.close(reader)
        number = answer.decode().strip()
        if not answer.endswith(b"\n") or not number:
            self.server.kill()
            raise RuntimeError("Xvfb did not start")
        self.name = f":{number}"
        # Without a window manager nobody would draw the captions; Wine draws them itself when
        # its windows are marked undecorated. Run on this display: the desktop process that the
        # call may start is the one every later program of the group draws through.
        subprocess.run([str(WINE_RUN), str(PREFIX), "reg", "add", r"HKCU\Software\Wine\X11 Driver",
                        "/v", "Decorated", "/d", "N", "/f"], env=wine_environment(self),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, check=True)

    def close(self):
        self.server.terminate()
        try:
            self.server.wait(10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()
        wait_until(lambda: self.name not in desktop_processes(), 60,
                   "Wine's desktop process to follow its display")

    def _xdotool(self, *arguments):
        return subprocess.run(["xdotool", *arguments], env={**os.environ, "DISPLAY": self.name},
                              capture_output=True, text=True, timeout=30)

    def windows(self, caption, visible_only=False):
        result = self._xdotool("search", *(["--onlyvisible"] if visible_only else []), "--name",
                               f"^{re.escape(caption)}$")
        return result.stdout.split()

    def wait_for_window(self, caption, timeout=60):
        wait_until(lambda: self.windows(caption), timeout, f'a window "{caption}"')
        return self.windows(caption)[0]

    def answer(self, caption, window, key, timeout=30):
        """Presses the key once the box takes input and waits until the box is gone. Wine
        without a window manager takes a moment before a new box reads the keyboard, and two
        more seconds before a closed one leaves the screen; a key pressed early may go to the
        wrong box, so it is pressed again only after that time."""
        time.sleep(0.5)
        deadline = time.monotonic() + timeout
        while window in self.windows(caption):
            if time.monotonic() > deadline:
                raise AssertionError(f'box "{caption}" did not close on key {key}')
            self._xdotool("key", key)
            pressed = time.monotonic()
            while window in self.windows(caption) and time.monotonic() - pressed < 8:
                time.sleep(POLL)

    def screenshot(self, window, png):
        """Writes a PNG of the window, caption included."""
        png.parent.mkdir(parents=True, exist_ok=True)
        environment = {**os.environ, "DISPLAY": self.name}
        with open(png, "wb") as out:
            xwd = subprocess.Popen(["xwd", "-id", window, "-silent"], stdout=subprocess.PIPE,
                                   env=environment)
            pnm = subprocess.Popen(["xwdtopnm"], stdin=xwd.stdout, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
            xwd.stdout.close()
            writer = subprocess.Popen(["pnmtopng"], stdin=pnm.stdout, stdout=out,
                                      stderr=subprocess.DEVNULL)
            pnm.stdout.close()
            codes = [writer.wait(60), pnm.wait(60), xwd.wait(60)]
        return codes == [0, 0, 0] and png.stat().st_size > 0


class Box:
    """A message box as Windows sees it: its caption, the texts of its buttons and the text of
    its message."""

    def __init__(self, caption, lines):
        controls = [line.split("\t", 1) for line in lines if "\t" in line]
        self.caption = caption
        self.buttons = [text for kind, text in controls if kind.lower() == "button"]
        self.texts = [text for kind, text in controls if kind.lower() == "static" and text]

    def __eq__(self, other):
        return (self.caption, self.buttons, self.texts) == (other.caption, other.buttons,
                                                             other.texts)

    def __repr__(self):
        return f"Box({self.caption!r}, buttons={self.buttons!r}, texts={self.texts!r})"


PROMPT_BOX = Box(PROMPT_CAPTION, ["Button\t&Yes", "Button\t&No", f"Static\t{PROMPT_TEXT}"])
FAILURE_BOX = Box(FAILURE_CAPTION, ["Button\tOK", f"Static\t{FAILURE_TEXT}"])


def make_archive(path, entries, compression=zipfile.ZIP_DEFLATED):
    """entries: (name, bytes) in the order of the archive; a name ending in / is a folder."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(path, "w", compression) as archive:
        for name, data in entries:
            if name.endswith("/"):
                archive.writestr(zipfile.ZipInfo(name), b"")
            else:
                archive.writestr(name, data)


def corrupt_entry(path, name):
    """Flips the first data byte of a stored entry, so that its CRC no longer matches."""
    with zipfile.ZipFile(path) as archive:
        info = archive.getinfo(name)
    data = bytearray(path.read_bytes())
    header = info.header_offset
    start = (header + 30 + int.from_bytes(data[header + 26:header + 28], "little")
             + int.from_bytes(data[header + 28:header + 30], "little"))
    data[start] ^= 0xFF
    path.write_bytes(bytes(data))


def snapshot(folder):
    """Every folder and file below the folder: relative path -> content hash (None for a
    folder), without the control files of the sample application."""
    state = {}
    for current, folders, files in os.walk(folder):
        relative = Path(current).relative_to(folder)
        for name in folders:
            state[(relative / name).as_posix()] = None
        for name in files:
            key = (relative / name).as_posix()
            if key not in CONTROL_FILES:
                state[key] = hashlib.sha256((Path(current) / name).read_bytes()).hexdigest()
    return state


def digest(data):
    return hashlib.sha256(data).hexdigest()


def wine_temp_folder():
    users = PREFIX / "drive_c" / "users"
    for user in sorted(users.iterdir()):
        if user.name != "Public" and (user / "Temp").is_dir():
            return user / "Temp"
    raise RuntimeError(f"no user Temp folder in {users}")


def extraction_folders():
    return {entry.name for entry in wine_temp_folder().iterdir() if GUID_FOLDER.match(entry.name)}


def journals():
    """The updater's journals in the user's temporary folder; one while a run is under way."""
    return sorted(entry for entry in wine_temp_folder().iterdir() if JOURNAL.match(entry.name))


def logged_runs(app_exe, with_times=False):
    """The log's account of each run for this application, oldest first: per run the texts of
    its lines, without their time, or with_times (time, text) pairs."""
    log = wine_temp_folder() / "Orvandel Updater.log"
    runs, current = [], None
    for line in log.read_text(encoding="utf-8", errors="replace").splitlines():
        stamp, text = line[:len("2026-12-07 16:01:09.123")], line[len("2026-12-07 16:01:09.123 "):]
        if text.startswith("Orvandel Updater ") and " started: " in text:
            current = [] if f'started: "{windows_path(app_exe)}" ' in text else None
            if current is not None:
                runs.append(current)
        if current is not None:
            current.append((datetime.datetime.fromisoformat(stamp), text) if with_times else text)
    return runs


def run_once_entries(display):
    """The updater's entries in the RunOnce key: value name -> command, as Windows would run
    them at the next logon."""
    result = subprocess.run([str(WINE_RUN), str(PREFIX), "reg", "query", RUN_ONCE_KEY],
                            env=wine_environment(display), capture_output=True, timeout=120)
    entries = {}
    for line in result.stdout.decode("utf-8", "replace").splitlines():
        name, separator, command = line.strip().partition("    REG_SZ    ")
        if separator and name.startswith("!Orvandel Updater "):
            entries[name] = command
    return entries


class Run:
    """One updater run: the launcher's exit code and every message box seen, in order."""

    def __init__(self, exit_code, boxes):
        self.exit_code = exit_code
        self.boxes = boxes


class Case:
    """The folders of one test: an application directory with the sample application at
    version 1, and a download folder with the updater (the given build of it, always named
    Updater.exe there) and the update archive."""

    def __init__(self, display, name, app_dir=None, work=WORK, updater="Updater.exe"):
        work.mkdir(parents=True, exist_ok=True)
        self.display = display
        self.root = Path(tempfile.mkdtemp(prefix=f"{name}-", dir=work))
        self.app = app_dir(self.root) if app_dir else self.root / "app"
        self.download = self.root / "download"
        self.signals = self.root / "signals"
        # Only the random part of the folder's name, so that the logon entry's command, in
        # which the mutex's name cannot be shortened, fits into what Windows runs.
        self.mutex = f"OrvandelE2E-{self.root.name.rsplit('-', 1)[1]}"
        self.helpers = []
        for folder in (self.app, self.download, self.signals):
            folder.mkdir(parents=True, exist_ok=True)
        self.updater = self.download / "Updater.exe"
        shutil.copyfile(BIN / updater, self.updater)
        self.archive = self.download / "update.zip"
        self.sample_app_bytes = (BIN / "sample_app.exe").read_bytes()
        self.write_app_file("sample_app.exe", self.sample_app_bytes)
        self.write_app_file("version.txt", b"1\n")
        self.write_app_file("sample_app.ini", f"mutex={self.mutex}\nhold_ms=500\n".encode())
        self.temp_before = extraction_folders()
        self.before = None

    def cleanup(self):
        for process, stop in self.helpers:
            stop.touch()
            try:
                process.wait(30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if not KEEP_WORK:
            for current, folders, _ in os.walk(self.root):
                for name in folders:
                    os.chmod(Path(current) / name, 0o755)
            shutil.rmtree(self.root, ignore_errors=True)

    @property
    def app_exe(self):
        return self.app / "sample_app.exe"

    def write_app_file(self, relative, data):
        path = self.app / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path

    def version_2_exe(self):
        """The same program with other bytes, so that a replaced executable shows."""
        return self.sample_app_bytes + b"\0sample application, version 2\0"

    def take_snapshot(self):
        self.before = snapshot(self.app)
        return self.before

    def request_update(self, flag="1", field4="", archive=None, mutex=None):
        fields = [windows_path(self.updater), mutex or self.mutex,
                  windows_path(archive or self.archive), field4, flag]
        (self.app / "update.request").write_text("\n".join(fields) + "\n", encoding="utf-8")

    def updater_command(self, arguments):
        return f'"{windows_path(self.updater)}" {arguments}'

    def fields(self, flag="1", field4=""):
        return (f'"{windows_path(self.app_exe)}" "{self.mutex}" "{windows_path(self.archive)}" '
                f'"{field4}" "{flag}"')

    # Running programs -----------------------------------------------------------------------

    def start_launcher(self, command_line, dll_overrides=None):
        command_file = self.root / f"command-{time.monotonic_ns()}.txt"
        command_file.write_bytes(command_line.encode("utf-8"))
        log = open(self.root / "launcher.log", "ab")
        try:
            return subprocess.Popen(
                [str(WINE_RUN), str(PREFIX), str(BIN / "launcher.exe"), windows_path(command_file)],
                stdout=log, stderr=log, env=wine_environment(self.display, dll_overrides))
        finally:
            log.close()

    def start_app(self, dll_overrides=None):
        return self.start_launcher(f'"{windows_path(self.app_exe)}"', dll_overrides)

    def watch(self, launcher, answers=None, timeout=RUN_TIMEOUT):
        """Waits for the launched processes to end; every message box that shows up meanwhile
        is read and answered (failure box: OK; browser prompt: No unless told otherwise)."""
        keys = {FAILURE_CAPTION: "Return", PROMPT_CAPTION: "n", **(answers or {})}
        boxes = []
        deadline = time.monotonic() + timeout
        while launcher.poll() is None:
            if time.monotonic() > deadline:
                launcher.kill()
                launcher.wait()
                raise AssertionError(f"the run did not end within {timeout} s; boxes: {boxes}")
            for caption, key in keys.items():
                for window in self.display.windows(caption):
                    boxes.append(self.read_box(caption))
                    self.display.answer(caption, window, key)
            time.sleep(POLL)
        return Run(launcher.returncode, boxes)

    def run(self, command_line, **options):
        return self.watch(self.start_launcher(command_line), **options)

    def run_app(self, dll_overrides=None, **options):
        return self.watch(self.start_app(dll_overrides), **options)

    def read_box(self, caption):
        out = self.root / "box.txt"
        out.unlink(missing_ok=True)
        subprocess.run([str(WINE_RUN), str(PREFIX), str(BIN / "box_reader.exe"), caption,
                        windows_path(out)], env=wine_environment(self.display),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        lines = out.read_text(encoding="utf-8").splitlines() if out.exists() else []
        return Box(lines[0] if lines else caption, lines[1:])

    def pause_updater_when(self, condition, slice_seconds=0.003):
        """Lets the updater run in slices of a few milliseconds, stopped in between, until the
        condition holds at a stop. Gives the stopped updater's pid, or None when it ended
        before; kill() or resume() it."""
        fragment = windows_path(self.updater)
        wait_until(lambda: running_processes(fragment), 60, "the updater to start")
        pid = running_processes(fragment)[0][0]
        while True:
            try:
                os.kill(pid, signal.SIGSTOP)
            except ProcessLookupError:
                return None
            # The signal takes effect a moment later; the condition must see a standing run.
            state = process_state(pid)
            while state not in ("T", "Z", None):
                time.sleep(0.0005)
                state = process_state(pid)
            if state in ("Z", None):
                return None
            if condition():
                return pid
            os.kill(pid, signal.SIGCONT)
            time.sleep(slice_seconds)

    @staticmethod
    def kill(pid):
        """SIGKILL, as Task Manager or a crash would end the program."""
        os.kill(pid, signal.SIGKILL)
        wait_until(lambda: process_state(pid) in ("Z", None), 10, "the updater to die")

    @staticmethod
    def resume(pid):
        os.kill(pid, signal.SIGCONT)

    def start_helper(self, program, arguments, seconds=120):
        """Starts a holding helper and waits until it holds; it is stopped at cleanup."""
        signals = Path(tempfile.mkdtemp(dir=self.signals))
        process = subprocess.Popen(
            [str(WINE_RUN), str(PREFIX), str(program), *arguments, str(seconds),
             windows_path(signals)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=wine_environment(self.display))
        self.helpers.append((process, signals / "stop"))
        wait_until(lambda: (signals / "ready").exists() or process.poll() is not None, 60,
                   f"{program.name} to be ready")
        if process.poll() is not None:
            raise AssertionError(f"{program.name} {arguments} ended with {process.returncode}")
        return process, signals / "stop"

    def lock_file(self, path):
        return self.start_helper(BIN / "file_locker.exe", [windows_path(path)])

    def plant_dll(self):
        """The planted bcrypt.dll beside the updater, as a web page might have saved it."""
        shutil.copyfile(PLANTED_DLL, self.download / "bcrypt.dll")

    def planted_dll_ran(self):
        return (self.download / PLANTED_MARKER).exists()

    def load_beside_updater(self, name, dll_overrides):
        """Loads the DLL by its bare name from a program in the updater's folder, as a static
        import of it would be found; true when it loaded."""
        loader = self.download / "dll_loader.exe"
        shutil.copyfile(BIN / "dll_loader.exe", loader)
        try:
            return subprocess.run([str(WINE_RUN), str(PREFIX), str(loader), name],
                                  env=wine_environment(self.display, dll_overrides),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=120).returncode == 0
        finally:
            loader.unlink()

    def start_browser(self):
        browser = self.root / "browser" / "iexplore.exe"
        browser.parent.mkdir(exist_ok=True)
        shutil.copyfile(BIN / "standin.exe", browser)
        return self.start_helper(browser, [])

    # What a run left behind -----------------------------------------------------------------

    def starts(self):
        """The sample application's record: (version, command line) per start."""
        log = self.app / "starts.log"
        if not log.exists():
            return []
        return [tuple(line.split("\t", 1)) for line in log.read_text(encoding="utf-8").splitlines()]

    def new_extraction_folders(self):
        return extraction_folders() - self.temp_before

    def expected_after_install(self, entries):
        """The application directory after a completed install of the archive's entries."""
        expected = dict(self.before)
        expected.pop("Updater.exe", None)
        for name, data in entries:
            parts = name.rstrip("/").split("/")
            for depth in range(1, len(parts)):
                expected["/".join(parts[:depth])] = None
            if name.endswith("/"):
                expected[name.rstrip("/")] = None
            else:
                expected[name] = digest(data)
                expected.pop(name + ".bak", None)
        return expected

    def expected_untouched(self):
        """The application directory after a run that installed nothing but did begin."""
        expected = dict(self.before)
        expected.pop("Updater.exe", None)
        return expected
