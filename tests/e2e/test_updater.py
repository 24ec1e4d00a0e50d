"""End-to-end tests of Updater.exe under Wine.

Each test lays out an application directory with the sample application at version 1, builds
an update archive, runs the real updater and compares content hashes of the whole directory
before and after: every file either keeps its old bytes or holds the update's, the extraction
folder is gone, and the application is started again exactly when it should be.
"""

import io
import os
import random
import re
import shutil
import struct
import subprocess
import time
import unittest
import zipfile

from harness import (BIN, DRIVE_C, FAILURE_BOX, PREFIX, PROMPT_BOX, PROMPT_CAPTION, OUTPUT,
                     RUN_ONCE_KEY, SOURCE_ROOT, WINE_RUN, WORK, Case, Display, digest, journals,
                     logged_runs, make_archive, corrupt_entry, run_once_entries,
                     running_programs, snapshot, wait_until, windows_path, wine_environment,
                     wine_temp_folder)
from patch_writer import header, record, scattered, whole_patch

INSTALLER = b"MZ stand-in for the installer of version 2"
UNCHECKED = "no update keys are built in: the archive's signature is not checked"


def mounted_volume(test, size, mount=None):
    """A volume of its own, a tmpfs of the given size, until the test ends; mounted over the
    given folder, which it hides meanwhile, or else on a new one."""
    made = mount is None
    mount = mount or WORK / f"volume-{test.id()}"
    mount.mkdir(parents=True, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(mount)], check=True)

    def unmount():
        subprocess.run(["umount", str(mount)], check=False)
        if made:
            mount.rmdir()

    test.addCleanup(unmount)
    return mount


class UpdaterTestCase(unittest.TestCase):
    display = None
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        cls.display = Display()

    @classmethod
    def tearDownClass(cls):
        cls.display.close()

    def new_case(self, name=None, **options):
        case = Case(self.display, name or self._testMethodName, **options)
        self.addCleanup(case.cleanup)
        return case

    def quoted(self, case):
        return f'"{windows_path(case.app_exe)}"'

    def padded(self, root, length):
        """A folder below root whose Windows path has the given length."""
        need = length - len(windows_path(root))
        self.assertGreater(need, 1, "the root is too long already")
        folder = root
        while need > 0:
            # Each folder takes a separator and 1 to 100 characters, so the last one must not
            # be left a single character to fill.
            part = min(need, 101)
            if need - part == 1:
                part -= 2
            folder = folder / ("p" * (part - 1))
            need -= part
        self.assertEqual(len(windows_path(folder)), length)
        return folder

    def assertStarts(self, case, versions):
        """The application started once per version given, always by its quoted path."""
        self.assertEqual(case.starts(), [(version, self.quoted(case)) for version in versions])

    def assertLogged(self, case, *beginnings):
        """The log's lines of the case's last run begin so, one for one."""
        lines = logged_runs(case.app_exe)[-1]
        self.assertEqual(len(lines), len(beginnings), lines)
        for line, beginning in zip(lines, beginnings):
            self.assertTrue(line.startswith(beginning), f"{line!r} does not begin {beginning!r}")

    def logged_start(self, case, flag):
        return (f'Orvandel Updater 1.0.0.0 started: "{windows_path(case.app_exe)}" "{case.mutex}" '
                f'"{windows_path(case.archive)}" "" "{flag}"')

    def assertNothingLeftBehind(self, case):
        """No extraction folder, no journal and no entry for the next logon."""
        self.assertEqual(case.new_extraction_folders(), set())
        self.assertEqual(journals(), [])
        self.assertEqual(run_once_entries(self.display), {})

    def assertCompleted(self, case, run, entries, archive_deleted, versions=("1", "2")):
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.boxes, [])
        self.assertEqual(snapshot(case.app), case.expected_after_install(entries))
        self.assertNothingLeftBehind(case)
        self.assertEqual(case.archive.exists(), not archive_deleted)
        self.assertStarts(case, versions)

    def assertRolledBack(self, case, run, archive_deleted):
        """Exactly the old version: every file that was there holds its old bytes, and nothing
        that the update added is left, backups included."""
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.boxes, [FAILURE_BOX])
        self.assertEqual(snapshot(case.app), case.expected_untouched())
        self.assertNothingLeftBehind(case)
        self.assertEqual(case.archive.exists(), not archive_deleted)
        self.assertStarts(case, ["1", "1"])


def version_2(case, *more):
    return [("setup.exe", INSTALLER), ("version.txt", b"2\n"),
            ("sample_app.exe", case.version_2_exe()), *more]


class CompletedUpdateTests(UpdaterTestCase):

    def test_update_replaces_adds_and_cleans_up(self):
        case = self.new_case()
        case.write_app_file("Updater.exe", b"MZ the updater of an earlier version")
        case.write_app_file("readme.txt", b"stays as it is")
        case.write_app_file("data/config.xml", b"<config version='1'/>")
        case.write_app_file("data/keep.txt", b"not in the update")
        case.write_app_file("version.txt.bak", b"stale backup of a replaced file")
        case.write_app_file("new.dll.bak", b"stale backup of a file new to this directory")
        entries = version_2(case, ("data/", b""), ("data/config.xml", b"<config version='2'/>"),
                            ("new.dll", b"MZ new library"),
                            ("plugins/en/strings.txt", b"nested in folders the archive implies"))
        make_archive(case.archive, entries)
        case.take_snapshot()
        case.request_update(flag="1")

        run = case.run_app()

        self.assertCompleted(case, run, entries, archive_deleted=True)
        self.assertNotIn("Updater.exe", snapshot(case.app))
        self.assertFalse([name for name in snapshot(case.app) if name.endswith(".bak")])
        self.assertLogged(case, self.logged_start(case, "1"), "waited for the application to quit: ",
                          "entry to resume at the next logon: written", UNCHECKED, "unpacked 6 files, ",
                          "installed in ", 'journal at the stage "removing backups" finished in ',
                          "end: completed")

    def test_archive_is_deleted_only_for_a_flag_of_exactly_one(self):
        installers = {"01": "SETUP.EXE", "1 ": "update.msi", "true": "Setup.Msi", "": "install.exe"}
        for flag, installer in installers.items():
            with self.subTest(flag=flag, installer=installer):
                case = self.new_case(f"flag-{flag.strip() or 'empty'}")
                entries = [(installer, INSTALLER), ("version.txt", b"2\n")]
                make_archive(case.archive, entries)
                case.take_snapshot()
                case.request_update(flag=flag, field4="ignored")

                run = case.run_app()

                self.assertCompleted(case, run, entries, archive_deleted=False)


class WaitingTests(UpdaterTestCase):

    def test_updater_waits_while_the_application_holds_its_mutex(self):
        case = self.new_case()
        case.write_app_file("sample_app.ini", f"mutex={case.mutex}\nhold_ms=120000\n".encode())
        case.write_app_file("Updater.exe", b"MZ the updater of an earlier version")
        entries = version_2(case)
        make_archive(case.archive, entries)
        case.take_snapshot()
        case.request_update(flag="1")

        launcher = case.start_app()
        updater = windows_path(case.updater)
        wait_until(lambda: running_programs(updater), 60, "the updater to start")
        time.sleep(3)
        self.assertTrue(running_programs(updater), "the updater ended while the mutex was held")
        self.assertEqual(snapshot(case.app), case.before)
        self.assertNothingLeftBehind(case)
        self.assertStarts(case, ["1"])

        (case.app / "quit.flag").touch()
        run = case.watch(launcher)

        self.assertCompleted(case, run, entries, archive_deleted=True)


class CommandLineTests(UpdaterTestCase):

    def test_malformed_command_lines_change_nothing(self):
        case = self.new_case()
        case.write_app_file("Updater.exe", b"MZ the updater of an earlier version")
        make_archive(case.archive, version_2(case))
        app, archive, mutex = windows_path(case.app_exe), windows_path(case.archive), case.mutex
        malformed = {
            "no fields": f'"{windows_path(case.updater)}"',
            "blank only": case.updater_command(""),
            "first field unquoted": case.updater_command(f'{app} "{mutex}" "{archive}" "" "1"'),
            "two blanks": case.updater_command(f'"{app}"  "{mutex}" "{archive}" "" "1"'),
            "no separator": case.updater_command(f'"{app}""{mutex}" "{archive}" "" "1"'),
            "empty application": case.updater_command(f'"" "{mutex}" "{archive}" "" "1"'),
            "empty mutex": case.updater_command(f'"{app}" "" "{archive}" "" "1"'),
            "empty archive": case.updater_command(f'"{app}" "{mutex}" "" "" "1"'),
            "four fields": case.updater_command(f'"{app}" "{mutex}" "{archive}" ""'),
            "four fields and a blank": case.updater_command(f'"{app}" "{mutex}" "{archive}" "" '),
            "open third field": case.updater_command(f'"{app}" "{mutex}" "{archive}'),
        }
        case.take_snapshot()
        for name, command_line in malformed.items():
            with self.subTest(name, command_line=command_line):
                started = time.monotonic()
                run = case.run(command_line)

                self.assertEqual(run.exit_code, 0)
                self.assertEqual(run.boxes, [])
                self.assertEqual(snapshot(case.app), case.before)
                self.assertTrue(case.archive.exists())
                self.assertStarts(case, [])
                self.assertNothingLeftBehind(case)
                self.assertLess(time.monotonic() - started, 30)

    def test_lenient_forms_are_accepted(self):
        forms = {
            "fifth field without closing quote": ('"{app}" "{mutex}" "{archive}" "" "1', True),
            "other separators, text after the fifth field":
                ('"{app}"\t"{mutex}"x"{archive}"\t"four"\t"1" and more', True),
            "empty fourth and fifth fields": ('"{app}" "{mutex}" "{archive}" "" ""', False),
        }
        for name, (form, deleted) in forms.items():
            with self.subTest(name):
                case = self.new_case("lenient")
                entries = version_2(case)
                make_archive(case.archive, entries)
                case.take_snapshot()
                arguments = form.format(app=windows_path(case.app_exe), mutex=case.mutex,
                                        archive=windows_path(case.archive))

                run = case.run(case.updater_command(arguments))

                self.assertCompleted(case, run, entries, archive_deleted=deleted, versions=["2"])


class NotAnUpdateTests(UpdaterTestCase):

    def test_archive_without_a_top_level_installer_installs_nothing(self):
        case = self.new_case()
        case.write_app_file("Updater.exe", b"MZ the updater of an earlier version")
        make_archive(case.archive, [
            ("readme.txt", b"an archive, but not an update"), ("version.txt", b"2\n"),
            ("setup.exe.txt", b"not an installer"), ("tools/setup.exe", INSTALLER),
            ("tools/sample_app.exe", case.version_2_exe())])
        case.take_snapshot()
        case.request_update(flag="1")

        run = case.run_app()

        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.boxes, [])
        self.assertEqual(snapshot(case.app), case.expected_untouched())
        self.assertNothingLeftBehind(case)
        self.assertFalse(case.archive.exists())
        self.assertStarts(case, ["1", "1"])
        self.assertLogged(case, self.logged_start(case, "1"), "waited for the application to quit: ",
                          "entry to resume at the next logon: written", UNCHECKED,
                          "no .exe or .msi at the top of the archive",
                          'journal at the stage "unpacking" finished in ', "end: not an update")


class FailedUpdateTests(UpdaterTestCase):

    def test_damaged_archive_installs_nothing(self):
        def bad_crc(case):
            corrupt_entry(case.archive, "data/b.txt")

        def truncated(case):
            data = case.archive.read_bytes()
            case.archive.write_bytes(data[:len(data) * 3 // 5])

        for damage in (bad_crc, truncated):
            with self.subTest(damage.__name__):
                case = self.new_case(damage.__name__)
                case.write_app_file("a.txt", b"old a")
                case.write_app_file("data/b.txt", b"old b")
                entries = version_2(case, ("a.txt", b"new a"), ("data/b.txt", b"new b" * 1000),
                                    ("z.txt", b"after the damage"))
                make_archive(case.archive, entries, compression=0)
                damage(case)
                case.take_snapshot()
                case.request_update(flag="1")

                run = case.run_app()

                self.assertEqual(run.exit_code, 0)
                self.assertEqual(run.boxes, [FAILURE_BOX])
                self.assertEqual(snapshot(case.app), case.expected_untouched())
                self.assertNothingLeftBehind(case)
                self.assertFalse(case.archive.exists())
                self.assertStarts(case, ["1", "1"])

    def test_the_log_says_why_the_reader_refused_the_archive(self):
        """The user sees the one failure message; the log's failure line names the reader's
        reason and the entry it is about, whichever kind of fault the reader met."""
        def bad_crc(case):
            make_archive(case.archive, version_2(case, ("data/b.txt", b"new b")), compression=0)
            corrupt_entry(case.archive, "data/b.txt")

        def overlap(case):
            overlapping_archive(case.archive, copies=3)

        def refused_name(case):
            make_archive(case.archive, version_2(case, ("a?b/c.txt", b"?")))

        def truncated_directory(case):
            make_archive(case.archive, version_2(case))
            data = bytearray(case.archive.read_bytes())
            size_field = data.rindex(b"PK\x05\x06") + 12
            size = int.from_bytes(data[size_field:size_field + 4], "little")
            data[size_field:size_field + 4] = (size - 10).to_bytes(4, "little")
            case.archive.write_bytes(bytes(data))

        reasons = {
            bad_crc: "data/b.txt: CRC-32 mismatch",
            overlap: "b001.bin: entries overlap",
            refused_name: "a?b/c.txt: a name with a character that Windows refuses in one: "
                          "\\ / : < > \" | ? *",
            truncated_directory: "central directory cut short",
        }
        for damage, reason in reasons.items():
            with self.subTest(damage.__name__):
                case = self.new_case(damage.__name__)
                damage(case)
                case.take_snapshot()
                case.request_update(flag="")

                run = case.run_app()

                self.assertRolledBack(case, run, archive_deleted=False)
                self.assertIn(f"failure: Cannot unzip the downloaded archive. ({reason})",
                              logged_runs(case.app_exe)[-1])

    def prepare(self, old_names, new_entries, flag, read_only=None):
        """The old files, one of them read-only if asked, and an update that brings new ones."""
        case = self.new_case()
        for name in old_names:
            case.write_app_file(name, f"old {name}".encode())
        if read_only:
            (case.app / read_only).chmod(0o444)
        entries = version_2(case, *new_entries)
        make_archive(case.archive, entries)
        case.take_snapshot()
        case.request_update(flag=flag)
        return case, entries

    def test_file_held_open_mid_install_restores_exactly_the_old_version(self):
        """By then the update has replaced files and added a folder and files of its own. The
        file stays held for the whole run, so the wait for it ends in bounded time."""
        case, _ = self.prepare(
            ["a.txt", "sub/b.txt", "c.dll", "d.txt"],
            [("a.txt", b"new a"), ("added/new.txt", b"new"), ("added/deep/more.txt", b"more"),
             ("sub/b.txt", b"new b"), ("sub/added.txt", b"new"), ("c.dll", b"new c"),
             ("d.txt", b"new d")], flag="")
        case.lock_file(case.app / "c.dll")

        started = time.monotonic()
        run = case.run_app()
        seconds = time.monotonic() - started

        self.assertRolledBack(case, run, archive_deleted=False)
        self.assertLogged(case, self.logged_start(case, ""), "waited for the application to quit: ",
                          "entry to resume at the next logon: written", UNCHECKED, "unpacked 10 files, ",
                          f"failure: Can not rename file: {windows_path(case.app / 'c.dll')}",
                          'journal at the stage "installing" finished in ',
                          "waited for files that other programs held: 10.00 s", "end: failed")
        self.assertIn(": 4 files restored, 6 added files and folders removed, 0 backups deleted",
                      logged_runs(case.app_exe)[-1][-3])
        print(f"\nheld for the whole run: failed and rolled back after {seconds:.1f} s")
        self.assertLess(seconds, 10 + 30, "waited beyond one file's patience")

    def test_file_held_for_a_moment_is_waited_for(self):
        """As a virus scanner holds a file it has just seen: two seconds, from the moment the
        install begins."""
        case, entries = self.prepare(["a.txt", "c.dll"], [("a.txt", b"new a"), ("c.dll", b"new c")],
                                     flag="1")
        launcher = case.start_app()
        # Stopped as soon as its journal is there, before it unpacks: once the plan is on the
        # disk, a slice of a few milliseconds may already hold the two moves.
        pid = case.pause_updater_when(journals)
        self.assertIsNotNone(pid, "the updater ended before its install")
        case.start_helper(BIN / "file_locker.exe", [windows_path(case.app / "c.dll")], seconds=2)
        case.resume(pid)

        run = case.watch(launcher)

        self.assertCompleted(case, run, entries, archive_deleted=True)
        self.assertTrue([line for line in logged_runs(case.app_exe)[-1]
                         if line.startswith("waited for files that other programs held: ")])

    def test_read_only_stale_backup_is_no_obstacle(self):
        case, entries = self.prepare(
            ["a.txt", "c.dll", "c.dll.bak"],
            [("a.txt", b"new a"), ("c.dll", b"new c"), ("d.txt", b"new d")], flag="1",
            read_only="c.dll.bak")

        run = case.run_app()

        self.assertCompleted(case, run, entries, archive_deleted=True)

    def test_read_only_replaced_file_leaves_one_version(self):
        """The backup of a read-only file is read-only too and cannot be deleted once every
        file is in place; whatever the updater makes of that, it must not leave the directory
        half old and half new."""
        case, entries = self.prepare(
            ["a.txt", "y.dll", "b.txt"],
            [("a.txt", b"new a"), ("y.dll", b"new y"), ("b.txt", b"new b")], flag="",
            read_only="y.dll")

        run = case.run_app()

        after = snapshot(case.app)
        replaced = {name: data for name, data in entries if name in case.before}
        old = sorted(name for name in replaced if after.get(name) == case.before[name])
        new = sorted(name for name, data in replaced.items() if after.get(name) == digest(data))
        self.assertIn(len(replaced), (len(old), len(new)), f"old: {old}; new: {new}")
        self.assertEqual(run.boxes, [FAILURE_BOX] if old else [])
        self.assertNothingLeftBehind(case)
        self.assertStarts(case, ["1", "1" if old else "2"])


class BrowserPromptTests(UpdaterTestCase):

    def start_update_with_browser(self, case, entries):
        make_archive(case.archive, entries)
        case.take_snapshot()
        browser = case.start_browser()
        case.request_update(flag="1")
        return browser, case.start_app()

    def test_prompt_answered_no_abandons_the_update(self):
        case = self.new_case()
        case.write_app_file("Updater.exe", b"MZ the updater of an earlier version")
        _, launcher = self.start_update_with_browser(case, version_2(
            case, ("ravaz2.dll", b"MZ browser add-on")))

        window = self.display.wait_for_window(PROMPT_CAPTION)
        self.assertEqual(case.read_box(PROMPT_CAPTION), PROMPT_BOX)
        self.assertTrue(self.display.screenshot(window, OUTPUT / "browser-prompt.png"))
        self.display.answer(PROMPT_CAPTION, window, "n")
        run = case.watch(launcher)

        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.boxes, [])
        self.assertEqual(snapshot(case.app), case.expected_untouched())
        self.assertNothingLeftBehind(case)
        self.assertTrue(case.archive.exists())
        self.assertStarts(case, ["1"])
        self.assertLogged(case, self.logged_start(case, "1"), "waited for the application to quit: ",
                          "entry to resume at the next logon: written", UNCHECKED, "unpacked 4 files, ",
                          "asked to close the browser: No",
                          'journal at the stage "unpacking" finished in ', "end: abandoned")

    def test_prompt_repeats_until_the_browser_is_closed(self):
        case = self.new_case()
        entries = version_2(case, ("zoduvid.dll", b"MZ browser add-on"))
        (browser, stop), launcher = self.start_update_with_browser(case, entries)

        first = self.display.wait_for_window(PROMPT_CAPTION)
        self.display.answer(PROMPT_CAPTION, first, "y")
        second = self.display.wait_for_window(PROMPT_CAPTION)
        self.assertEqual(case.read_box(PROMPT_CAPTION), PROMPT_BOX)
        stop.touch()
        browser.wait(60)
        self.display.answer(PROMPT_CAPTION, second, "y")
        run = case.watch(launcher)

        self.assertCompleted(case, run, entries, archive_deleted=True)

    def test_add_on_below_the_top_level_is_not_looked_at(self):
        case = self.new_case()
        entries = version_2(case, ("plugins/ravaz2.dll", b"MZ browser add-on"))
        _, launcher = self.start_update_with_browser(case, entries)

        run = case.watch(launcher)

        self.assertCompleted(case, run, entries, archive_deleted=True)


def many_files_update(case, files):
    """An application of many files, and an update that replaces all of them and adds a folder
    and files of its own early on."""
    names = [f"lib/{i // 100:02}/file{i:04}.dll" for i in range(files)]
    for name in names:
        case.write_app_file(name, f"old {name}".encode())
    entries = [("setup.exe", INSTALLER), ("added/new.txt", b"added"),
               *version_2(case)[1:], *[(name, f"new {name}".encode()) for name in names]]
    make_archive(case.archive, entries)
    case.take_snapshot()
    case.request_update(flag="")
    return entries


class KilledRuns:
    """Kills the updater at a point of its run and starts it again as Windows would at the next
    logon. On drive C:, as the build folder's depth would leave no room for the archive in the
    logon entry."""

    def new_killed_case(self, **options):
        return self.new_case(work=DRIVE_C / "e2e", **options)

    def kill_and_read_entry(self, case, condition):
        """Kills the updater at the point; the command it left for the next logon."""
        launcher = case.start_app()
        pid = case.pause_updater_when(condition)
        self.assertIsNotNone(pid, "the updater ended before the point")
        case.kill(pid)
        case.watch(launcher)
        self.assertTrue(journals(), "a killed run leaves its journal")
        # The mutex's name is the one field that is never shortened.
        commands = [command for command in run_once_entries(self.display).values()
                    if f'"{case.mutex}"' in command]
        self.assertEqual(len(commands), 1, "one entry for the next logon")
        return commands[0]

    def assertResumed(self, case, run, entries, new_version):
        self.assertEqual(run.exit_code, 0)
        if new_version:
            self.assertEqual(run.boxes, [])
            self.assertEqual(snapshot(case.app), case.expected_after_install(entries))
        else:
            self.assertEqual(run.boxes, [FAILURE_BOX])
            self.assertEqual(snapshot(case.app), case.expected_untouched())
        self.assertNothingLeftBehind(case)

    def kill_and_resume(self, case, entries, condition, archive_kept, versions=None):
        command = self.kill_and_read_entry(case, condition)
        if not archive_kept:
            case.archive.unlink()

        run = case.run(command)

        self.assertResumed(case, run, entries, new_version=archive_kept)
        self.assertStarts(case, versions or ["1", "2" if archive_kept else "1"])


class KilledUpdateTests(KilledRuns, UpdaterTestCase):
    """The updater killed with SIGKILL at several points, as a crash, Task Manager or a power
    cut would end it, then started again exactly as Windows would start it at the next logon.
    That run must end at exactly one version: the new one while the archive is there, the old
    one once it is gone."""

    FILES = 1500

    def prepare(self, archive=None, **options):
        """An application of many files and its update. archive: its path, from the case's
        root."""
        case = self.new_killed_case(**options)
        if archive:
            case.archive = archive(case.root)
        return case, many_files_update(case, self.FILES)

    @staticmethod
    def journal():
        files = journals()
        return files[0].read_text(encoding="utf-8", errors="replace") if files else ""

    @staticmethod
    def moved_in(case):
        """The files of the install backed up so far: each is moved in right after its backup."""
        return sum(name.endswith(".bak") for _, _, files in os.walk(case.app) for name in files)

    def test_killed_while_unpacking(self):
        case, entries = self.prepare()

        def unpacked_a_third():
            folders = [wine_temp_folder() / name for name in case.new_extraction_folders()]
            return sum(len(files) for folder in folders for _, _, files in os.walk(folder)) > 500

        self.kill_and_resume(case, entries, unpacked_a_third, archive_kept=True)

    def test_killed_right_after_the_first_backup(self):
        case, entries = self.prepare()
        self.kill_and_resume(case, entries, lambda: self.moved_in(case) > 0,
                             archive_kept=False)

    def test_killed_a_third_into_the_install(self):
        """Meanwhile the user starts the application, which must not run on a mix of old and
        new files: the updater holds its mutex, so it takes itself for a second instance."""
        case, entries = self.prepare()

        def a_third_in():
            if self.moved_in(case) <= self.FILES // 3:
                return False
            case.run_app()
            return True

        self.kill_and_resume(case, entries, a_third_in, archive_kept=True,
                             versions=["1", "second instance", "2"])

    def test_killed_with_paths_too_long_for_the_logon_entry(self):
        """Windows runs no logon command of more than 259 characters. The entry then names the
        paths by their short forms, which the run at the next logon must take for the same
        directory; where even those do not fit, it leaves the archive out, and that run ends at
        the old version."""
        archives = {
            "short forms": (lambda root: self.padded(root / "download", 110) / "Orvandel 2.zip",
                            True),
            "without the archive": (
                lambda root: root.joinpath("download", *["ORVANDEL"] * 16, "UPDATE.ZIP"), False),
        }
        for kind, (archive, archive_kept) in archives.items():
            with self.subTest(kind):
                case, entries = self.prepare(name=kind.split()[0],
                                             app_dir=lambda root: self.padded(root, 160),
                                             archive=archive)
                self.assertGreater(len(windows_path(case.app)), 150)
                self.assertGreater(len(windows_path(case.archive)), 100)

                command = self.kill_and_read_entry(
                    case, lambda: self.moved_in(case) > self.FILES // 3)

                self.assertLessEqual(len(command), 259, command)
                self.assertNotIn(windows_path(case.app), command)
                self.assertEqual('"<no archive>"' not in command, archive_kept, command)
                run = case.run(command)
                self.assertResumed(case, run, entries, new_version=archive_kept)
                self.assertStarts(case, ["1", "2" if archive_kept else "1"])

    def test_killed_near_the_end_of_the_install(self):
        case, entries = self.prepare()
        self.kill_and_resume(case, entries, lambda: self.moved_in(case) > self.FILES * 9 // 10,
                             archive_kept=False)

    def test_killed_a_third_into_an_install_on_another_volume(self):
        """The temporary directory and the application on different volumes, where every move
        into the application directory is a copy and a delete."""
        volume = mounted_volume(self, "64m")
        case, entries = self.prepare(app_dir=lambda root: volume / "Orvandel")
        self.kill_and_resume(case, entries, lambda: self.moved_in(case) > self.FILES // 3,
                             archive_kept=True)

    def test_killed_while_removing_backups(self):
        case, entries = self.prepare()
        self.kill_and_resume(case, entries,
                             lambda: "stage removing backups" in self.journal(), archive_kept=True)

    def test_killed_while_rolling_back(self):
        case, entries = self.prepare()
        case.lock_file(case.app / "lib/14/file1490.dll")
        self.kill_and_resume(case, entries, lambda: "stage rolling back" in self.journal(),
                             archive_kept=False)


class LogoffTests(UpdaterTestCase):
    """The session ends, as wineboot --end-session ends it for a logoff, while the updater moves
    the files of an update of 1,500 in. Before wineboot returns, the application directory is at
    exactly one version: the old one when fewer than half of the files were in, else the new
    one. Wine then ends the updater, as Windows would."""

    FILES = 1500
    WINEBOOT_DIALOG = "Waiting for Program"

    def test_session_end_block_unit_tests(self):
        """Wine makes windows only on a display, which the unit tests do not have."""
        result = subprocess.run([str(WINE_RUN), str(PREFIX), str(BIN / "app_tests.exe"),
                                 "--gtest_filter=SessionEndBlock.*"],
                                env=wine_environment(self.display), capture_output=True,
                                text=True, timeout=300)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("[  PASSED  ] 2 tests.", result.stdout)
        self.assertNotIn("SKIPPED", result.stdout)

    def backups(self, case):
        return sum(name.endswith(".bak") for _, _, names in os.walk(case.app) for name in names)

    def waiting_dialogs(self):
        return self.display.windows(self.WINEBOOT_DIALOG, visible_only=True)

    def end_session(self, share):
        """Stops the updater once that share of the files is in, and has wineboot end the
        session. wineboot asks whether the session may end, then says that it ends; after 5 s
        without an answer it shows that it waits. The updater runs only until it has answered
        the question, then stays stopped until the end is announced, so that it hears of it
        at the point chosen."""
        case = self.new_case()
        entries = many_files_update(case, self.FILES)
        launcher = case.start_app()
        pid = case.pause_updater_when(lambda: self.backups(case) >= self.FILES * share)
        self.assertIsNotNone(pid, "the updater ended before the point")
        wineboot = subprocess.Popen([str(WINE_RUN), str(PREFIX), "wineboot", "--end-session"],
                                    env=wine_environment(self.display),
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        asking = self.display.wait_for_window(self.WINEBOOT_DIALOG)

        def answered():
            """Wine takes 2 s to take the dialog away, in which the updater must not get far:
            it runs a few milliseconds in every 100."""
            time.sleep(0.1)
            return asking not in self.waiting_dialogs()

        case.resume(pid)
        pid = case.pause_updater_when(answered)
        self.assertIsNotNone(pid, "the updater ended before it heard of the end of the session")
        wait_until(lambda: [window for window in self.waiting_dialogs() if window != asking], 60,
                   "wineboot to wait for the end of the session")
        case.resume(pid)
        self.assertEqual(wineboot.wait(120), 0)
        ended_at = snapshot(case.app)
        left = case.new_extraction_folders(), journals()
        case.watch(launcher)
        for name, command in run_once_entries(self.display).items():
            if windows_path(case.updater) in command:
                subprocess.run([str(WINE_RUN), str(PREFIX), "reg", "delete", RUN_ONCE_KEY, "/v",
                                name, "/f"], env=wine_environment(self.display),
                               capture_output=True, timeout=120, check=True)
        self.assertEqual(left, (set(), []))
        return case, entries, ended_at, logged_runs(case.app_exe)[-1]

    def assertSessionEndLogged(self, lines, decision):
        announced = [line for line in lines if line.startswith("the session ends, announced ")]
        self.assertEqual(len(announced), 1, lines)
        self.assertTrue(announced[0].endswith(decision), announced[0])
        # Wine takes no reason for the wait, and the log says so.
        self.assertTrue([line for line in lines if line.startswith(
            "the session end waited until the journal was finished")], lines)

    def test_session_ending_two_thirds_in_completes_the_install(self):
        case, entries, ended_at, lines = self.end_session(2 / 3)
        self.assertEqual(ended_at, case.expected_after_install(entries))
        self.assertSessionEndLogged(lines, ": the install goes on")

    def test_session_ending_a_third_in_rolls_the_install_back(self):
        case, _, ended_at, lines = self.end_session(1 / 3)
        self.assertEqual(ended_at, case.expected_untouched())
        self.assertSessionEndLogged(lines, ": the install is rolled back")
        self.assertIn("failure: The session ends before the update is installed", lines)


class HostileArchiveTests(UpdaterTestCase):
    """Archives that would crash the updater, or reach a user's file under another name. Each
    is a damaged archive: the update fails and the application stays exactly as it was."""

    ARCHIVES = {
        "deep nesting": [("d/" * 20000 + "x.txt", b"40 KB of name")],
        "short-name alias": [("ORVA~X0K.DLL", b"would replace Orvandel Helper Library.dll")],
        "names the file system folds together": [("\u03ac.txt", b"first"), ("\u0386.txt", b"second"),
                                                 ("\u01c6.txt", b"first"), ("\u01c4.txt", b"second")],
        "characters Windows refuses": [("a?b/c.txt", b"?"), ("x<y>.txt", b"<>"), ("a./x.txt", b".")],
    }

    def test_hostile_archives_leave_the_application_as_it_was(self):
        for kind, entries in self.ARCHIVES.items():
            with self.subTest(kind):
                case = self.new_case(kind.split()[0])
                case.write_app_file("Orvandel Helper Library.dll", b"the user's library")
                make_archive(case.archive, version_2(case, *entries))
                case.take_snapshot()
                case.request_update(flag="")

                run = case.run_app()

                self.assertRolledBack(case, run, archive_deleted=False)


MIB = 1024 * 1024


def overlapping_archive(path, copies=400):
    """setup.exe and b000.bin to b399.bin, where every b entry of the central directory points
    at the one local header of b000.bin, whose data inflates to 8 MiB: the non-recursive zip
    bomb, 8 KiB that would unpack to 3.3 GB."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("setup.exe", INSTALLER)
        archive.writestr("b000.bin", bytes(8 * MIB))
    data = buffer.getvalue()
    end = data.rindex(b"PK\x05\x06")
    size, offset = struct.unpack("<II", data[end + 12:end + 20])
    directory = data[offset:offset + size]
    kernel = directory.index(b"PK\x01\x02", 1)
    entries = directory[:kernel] + b"".join(
        directory[kernel:].replace(b"b000.bin", b"b%03d.bin" % number) for number in range(copies))
    count = 1 + copies
    end_record = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(entries), offset, 0)
    path.write_bytes(data[:offset] + entries + end_record)


class RefusedBeforeWritingTests(UpdaterTestCase):
    """Updates that could only fill a disk are refused before the extraction folder exists: an
    archive whose entries share their bytes, and an update that does not fit on the temporary
    volume or on the application's."""

    def run_refused(self, case):
        case.take_snapshot()
        case.request_update(flag="")
        run = case.run_app()
        self.assertRolledBack(case, run, archive_deleted=False)
        lines = logged_runs(case.app_exe, with_times=True)[-1]
        self.assertFalse([text for _, text in lines if text.startswith("unpacked ")], lines)
        failures = [(time, text) for time, text in lines if text.startswith("failure: ")]
        self.assertEqual(len(failures), 1, lines)
        return lines[0][0], failures[0]

    def test_entries_sharing_their_data_are_refused_at_once(self):
        case = self.new_case()
        overlapping_archive(case.archive)
        temp_before = set(os.listdir(wine_temp_folder()))
        started, (failed, _) = self.run_refused(case)
        self.assertLess((failed - started).total_seconds(), 2)
        log = {"Orvandel Updater.log", "Orvandel Updater.log.1"}
        self.assertEqual(set(os.listdir(wine_temp_folder())) - log, temp_before - log)

    def assertShortOf(self, failure, volume, folder, free_at_most):
        """The failure names the volume (Wine names a mount point by its folder) and the
        folder, with what was needed and what was free."""
        text = failure[1]
        figures = re.fullmatch(
            rf"failure: not enough space on {re.escape(windows_path(volume))}\\? for "
            rf"{re.escape(windows_path(folder))}: the update needs (\d+) bytes there "
            rf"\(\d+ of them left for other programs\), (\d+) bytes are free", text)
        self.assertIsNotNone(figures, text)
        needed, free = int(figures[1]), int(figures[2])
        self.assertLess(free, needed)
        self.assertLessEqual(free, free_at_most)

    def test_update_larger_than_the_temporary_volume(self):
        temp = wine_temp_folder()
        case = self.new_case()
        make_archive(case.archive, version_2(case, ("data/big.bin", os.urandom(12 * MIB))))
        mounted_volume(self, "8m", mount=temp)
        _, failure = self.run_refused(case)
        self.assertShortOf(failure, temp, temp, 8 * MIB)

    def test_update_larger_than_the_room_on_the_application_volume(self):
        volume = mounted_volume(self, "48m")
        case = self.new_case(app_dir=lambda root: volume / "Orvandel")
        (volume / "other program.bin").write_bytes(bytes(40 * MIB))
        make_archive(case.archive, version_2(case, ("data/big.bin", os.urandom(12 * MIB))))
        _, failure = self.run_refused(case)
        self.assertShortOf(failure, volume, case.app, 8 * MIB)


class PathTests(UpdaterTestCase):

    def test_non_ascii_application_directory(self):
        case = self.new_case(app_dir=lambda root: root / "Программы Ünïcødé" / "Orvandel 日本")
        case.write_app_file("données/résumé.txt", b"ancien")
        entries = version_2(case, ("données/résumé.txt", b"nouveau"), ("日本語.txt", b"new"))
        archive = case.root / "Загрузки" / "обновление ü.zip"
        case.archive = archive
        make_archive(archive, entries)
        case.take_snapshot()
        case.request_update(flag="1")

        run = case.run_app()

        self.assertCompleted(case, run, entries, archive_deleted=True)

    def test_long_paths_below_the_application_directory(self):
        # Windows starts no program from a path of MAX_PATH characters or more, so the
        # application stays just below it while the files of the update go far beyond.
        case = self.new_case(app_dir=lambda root: self.padded(root, 240))
        deep = "/".join(["d" * 90] * 3)
        case.write_app_file(f"{deep}/old.txt", b"old")
        entries = version_2(case, (f"{deep}/old.txt", b"new"), (f"{deep}/added.txt", b"added"))
        case.take_snapshot()
        make_archive(case.archive, entries)
        case.request_update(flag="1")

        run = case.run_app()

        self.assertCompleted(case, run, entries, archive_deleted=True)

    def test_application_directory_beyond_max_path(self):
        case = self.new_case(app_dir=lambda root: self.padded(root, 300))
        case.write_app_file("Updater.exe", b"MZ the updater of an earlier version")
        case.write_app_file("version.txt.bak", b"stale")
        case.archive = case.app.parent / "update.zip"
        entries = version_2(case, ("sub/deep.txt", b"deep"))
        make_archive(case.archive, entries)
        case.take_snapshot()

        run = case.run(case.updater_command(case.fields(flag="1")))

        # Nothing can start a program from there, so no start is recorded.
        self.assertCompleted(case, run, entries, archive_deleted=True, versions=[])


class ZipWritersTests(UpdaterTestCase):

    def test_archives_of_common_zip_writers_install(self):
        """Info-ZIP's zip on Linux (UTF-8 names without the flag), bsdtar ("./" in front of
        every name) and a Windows writer with backslash separators, each installed as the tree
        that Info-ZIP's unzip makes of it."""
        fixtures = BIN.parent / "fixtures"
        for name in ("good-infozip-unix-utf8", "good-bsdtar", "good-backslash-separators"):
            with self.subTest(name):
                case = self.new_case(name)
                shutil.copyfile(fixtures / f"{name}.zip", case.archive)
                case.take_snapshot()
                case.request_update(flag="1")

                run = case.run_app()

                self.assertEqual(run.exit_code, 0)
                self.assertEqual(run.boxes, [])
                self.assertEqual(snapshot(case.app),
                                 {**case.before, **snapshot(fixtures / f"{name}.expected")})
                self.assertNothingLeftBehind(case)
                self.assertFalse(case.archive.exists())
                self.assertStarts(case, ["1", "1"])


def described(version, entries, base=None, listed=None, patches=()):
    """The entries with a release description: of every file they hold, or of the files given.
    patches: (name, the base's file, the file it makes) of each entry that is a patch."""
    names = listed if listed is not None else [name for name, _ in entries
                                               if not name.endswith("/")]
    text = (f"orvandel-release {2 if patches else 1}\nversion {version}\n"
            + (f"base {base}\n" if base else ""))
    text += "".join(f"file {name}\n" for name in names)
    text += "".join(f"patch {name} {digest(old)} {digest(new)} {len(new)}\n"
                    for name, old, new in patches)
    return [*entries, ("orvandel-release.txt", text.encode())]


def after_release(before, entries, dropped=()):
    """The directory once the entries are installed and the dropped files and folders gone."""
    expected = {name: value for name, value in before.items() if name not in dropped}
    for name, data in entries:
        parts = name.rstrip("/").split("/")
        for depth in range(1, len(parts)):
            expected["/".join(parts[:depth])] = None
        expected[name.rstrip("/")] = None if name.endswith("/") else digest(data)
    return expected


class VersionedReleaseTests(UpdaterTestCase):
    """Updates that describe the release they bring: one application directory takes a line of
    full and partial updates, which remove the files their release dropped and keep the user's
    own; a downgrade, a partial update for another version and a description that contradicts
    its archive are each the failed end, with the directory as it was."""

    def release(self, case, version, *files, base=None, listed=None):
        entries = described(version, [("setup.exe", INSTALLER), *files], base, listed)
        make_archive(case.archive, entries)
        return entries

    def test_a_line_of_releases_installs_refuses_and_removes_as_described(self):
        case = self.new_case()
        case.write_app_file("notes.txt", b"the user's own file")
        case.write_app_file("mine/own.txt", b"in the user's own folder")
        exe_1, exe_2 = case.sample_app_bytes, case.version_2_exe()
        release_1 = [("sample_app.exe", exe_1), ("version.txt", b"1.0\n"),
                     ("lib/a.dll", b"a of 1.0"), ("plugins/p1/p.dll", b"plugin of 1.0"),
                     ("plugins/p1/p.ini", b"its settings")]
        release_2 = [("sample_app.exe", exe_2), ("version.txt", b"2.0\n"),
                     ("lib/b.dll", b"b of 2.0")]
        bad_version = described("2.1.x", [("setup.exe", INSTALLER)])
        unlisted = described("2.2", [("setup.exe", INSTALLER)]) + [("lib/extra.dll", b"extra")]
        climbing = [("setup.exe", INSTALLER), ("orvandel-release.txt",
                    b"orvandel-release 1\nversion 2.2\nfile setup.exe\nfile ../evil.dll\n")]
        # (what, entries, the files it drops or None when refused, the log line it leaves)
        steps = [
            ("partial over no description", lambda: self.release(
                case, "1.1", ("version.txt", b"1.1\n"), base="1.0",
                listed=["setup.exe", "sample_app.exe", "version.txt"]), None,
             "failure: the update is refused: it is made for version 1.0 only, and the installed "
             "version is unknown (the directory has no release description)"),
            ("full 1.0 over no description", lambda: self.release(case, "1.0", *release_1), (),
             "release: the update brings version 1.0, a full update; the installed version is "
             "unknown (the directory has no release description); it removes 0 files"),
            ("full 2.0 drops a library and a plugin folder",
             lambda: self.release(case, "2.0", *release_2),
             ("lib/a.dll", "plugins/p1/p.dll", "plugins/p1/p.ini", "plugins/p1", "plugins"),
             "release: the update brings version 2.0, a full update; the installed version is "
             "1.0; it removes 3 files"),
            ("full 1.0 again", lambda: self.release(case, "1.0", *release_1), None,
             "failure: the update is refused as a downgrade: it brings version 1.0, lower than "
             "the installed version 2.0"),
            ("partial made for 1.0", lambda: self.release(
                case, "2.1", ("version.txt", b"2.1\n"), base="1.0",
                listed=["setup.exe", "sample_app.exe", "version.txt"]), None,
             "failure: the update is refused: it is made for version 1.0 only, and the installed "
             "version is 2.0"),
            ("partial made for 2.0", lambda: self.release(
                case, "2.1", ("version.txt", b"2.1\n"), ("lib/c.dll", b"c of 2.1"), base="2.0",
                listed=["setup.exe", "sample_app.exe", "version.txt", "lib/c.dll"]),
             ("lib/b.dll",),
             "release: the update brings version 2.1, made for 2.0 only; the installed version "
             "is 2.0; it removes 1 file"),
            ("full 2.1 repairs a damaged file", lambda: (
                case.write_app_file("lib/c.dll", b"damaged"),
                self.release(case, "2.1", ("sample_app.exe", exe_2), ("version.txt", b"2.1\n"),
                             ("lib/c.dll", b"c of 2.1")))[1], (),
             "release: the update brings version 2.1, a full update; the installed version is "
             "2.1; it removes 0 files"),
            ("a version that is none", lambda: make_archive(case.archive, bad_version), None,
             "failure: the archive's release description: line 2: \"2.1.x\" is no version"),
            ("an unlisted file", lambda: make_archive(case.archive, unlisted), None,
             'failure: the archive holds "lib/extra.dll", which the release description does '
             "not list"),
            ("a name that climbs out", lambda: make_archive(case.archive, climbing), None,
             'failure: the archive\'s release description: line 4: "../evil.dll" is a name the '
             "updater refuses"),
        ]
        for what, make, dropped, line in steps:
            with self.subTest(what):
                entries = make()
                before = case.take_snapshot()
                case.request_update(flag="")

                run = case.run_app()

                self.assertEqual(run.exit_code, 0)
                if dropped is None:
                    self.assertEqual(run.boxes, [FAILURE_BOX])
                    self.assertEqual(snapshot(case.app), before)
                else:
                    self.assertEqual(run.boxes, [])
                    self.assertEqual(snapshot(case.app), after_release(before, entries, dropped))
                self.assertNothingLeftBehind(case)
                self.assertIn(line, [text[:len(line)] for text in logged_runs(case.app_exe)[-1]])
        self.assertEqual(snapshot(case.app)["notes.txt"], digest(b"the user's own file"))
        self.assertEqual([version for version, _ in case.starts()][-2:], ["2.1", "2.1"])


def end_record_offset(data):
    return data.rindex(b"PK\x05\x06")


def flipped(data, at):
    return data[:at] + bytes([data[at] ^ 0x01]) + data[at + 1:]


def entry_data_offset(data, name):
    """Where the stored bytes of the entry begin: behind its local header, name and extra."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        at = archive.getinfo(name).header_offset
    name_length, extra_length = struct.unpack_from("<HH", data, at + 26)
    return at + 30 + name_length + extra_length


def tampered_entry_data(data):
    """A byte of an entry's data changed after signing."""
    return flipped(data, entry_data_offset(data, "version.txt"))


def with_comment(data, comment):
    """The archive with its end record's comment replaced, its length field set to match."""
    end = end_record_offset(data)
    return data[:end + 20] + struct.pack("<H", len(comment)) + comment


def signature_of(data):
    return data[end_record_offset(data) + 22:]


class SignedArchives:
    """Archives of version 2 signed by the release tool, for an updater built with two keys."""

    KEYS = OUTPUT / "keys"

    def signed(self, case, key):
        """The update archive of version 2, signed in place by scripts/release."""
        entries = version_2(case, ("data/config.xml", b"<config version='2'/>"))
        make_archive(case.archive, entries)
        subprocess.run([str(SOURCE_ROOT / "scripts" / "release"), "sign", "--key",
                        str(self.KEYS / f"{key}.pem"), str(case.archive)],
                       check=True, capture_output=True, timeout=600)
        return entries

    def keyed_case(self, name):
        case = self.new_case(name, updater="KeyedUpdater.exe")
        case.write_app_file("data/config.xml", b"<config version='1'/>")
        return case


class SignedUpdateTests(SignedArchives, UpdaterTestCase):
    """An updater built with two keys (an old and a new one while a key is rotated) installs
    only archives that the release tool signed with one of them; anything else is the failed
    end, before anything is unpacked."""

    def test_archives_signed_by_either_built_in_key_install(self):
        for key in ("first", "second"):
            with self.subTest(key):
                case = self.keyed_case(f"signed-{key}")
                entries = self.signed(case, key)
                case.take_snapshot()
                case.request_update(flag="1")

                run = case.run_app()

                self.assertCompleted(case, run, entries, archive_deleted=True)
                self.assertIn("the archive must carry a valid signature by a built-in key",
                              logged_runs(case.app_exe)[-1])

    def test_archives_not_signed_by_a_built_in_key_take_the_failed_end(self):
        def unsigned(data):
            return with_comment(data, b"")

        def second_block(data):
            return with_comment(data, signature_of(data) * 2)

        def look_alike(data):
            # The same block spelt in capitals: close to a signature, but not one.
            return with_comment(data, signature_of(data)[:33] + signature_of(data)[33:].upper())

        tampered = {
            "unsigned": (unsigned, "no signature"),
            "unknown key": (None, "unknown key"),
            "entry data": (tampered_entry_data, "does not match"),
            "central directory name": (
                lambda data: flipped(data, data.rindex(b"version.txt")), "does not match"),
            "end record": (lambda data: flipped(data, end_record_offset(data) + 8),
                           "does not match"),
            "file appended": (lambda data: data + b"MZ another program, appended", "malformed"),
            "second block": (second_block, "malformed"),
            "look-alike comment": (look_alike, "malformed"),
        }
        for kind, (change, reason) in tampered.items():
            with self.subTest(kind):
                case = self.keyed_case(kind.split()[0])
                self.signed(case, "unknown" if change is None else "first")
                if change is not None:
                    case.archive.write_bytes(change(case.archive.read_bytes()))
                case.take_snapshot()
                case.request_update(flag="1")

                run = case.run_app()

                self.assertRolledBack(case, run, archive_deleted=True)
                self.assertIn(f"failure: the archive's signature: {reason}",
                              logged_runs(case.app_exe)[-1])


    def test_once_a_description_is_installed_an_undescribed_archive_is_refused(self):
        case = self.keyed_case("undescribed")
        case.write_app_file("orvandel-release.txt",
                            b"orvandel-release 1\nversion 2.0\nfile sample_app.exe\n")
        self.signed(case, "first")
        case.take_snapshot()
        case.request_update(flag="1")

        run = case.run_app()

        self.assertRolledBack(case, run, archive_deleted=True)
        self.assertIn("failure: the update is refused: the archive has no release description, "
                      "and the installed version is 2.0, so it cannot show that it is not older",
                      logged_runs(case.app_exe)[-1])


class PlantedDllTests(SignedArchives, UpdaterTestCase):
    """A bcrypt.dll beside the updater, which Wine is told to prefer to its own as Windows
    would prefer it to a DLL of the system folder that is not a known DLL, never runs: neither
    the plain nor the keyed updater loads it, so it cannot answer a signature check."""

    PREFER_BESIDE = "bcrypt=n,b"

    def test_a_bcrypt_dll_beside_the_updater_never_runs(self):
        with self.subTest("the planted DLL runs where it is found"):
            case = self.new_case("control")
            case.plant_dll()
            self.assertTrue(case.load_beside_updater("bcrypt.dll", self.PREFER_BESIDE))
            self.assertTrue(case.planted_dll_ran())

        with self.subTest("plain"):
            case = self.new_case("plain")
            case.plant_dll()
            entries = version_2(case)
            make_archive(case.archive, entries)
            case.take_snapshot()
            case.request_update(flag="1")

            run = case.run_app(dll_overrides=self.PREFER_BESIDE)

            self.assertCompleted(case, run, entries, archive_deleted=True)
            self.assertFalse(case.planted_dll_ran())

        with self.subTest("keyed, tampered"):
            case = self.keyed_case("keyed")
            case.plant_dll()
            self.signed(case, "first")
            case.archive.write_bytes(tampered_entry_data(case.archive.read_bytes()))
            case.take_snapshot()
            case.request_update(flag="")

            run = case.run_app(dll_overrides=self.PREFER_BESIDE)

            self.assertRolledBack(case, run, archive_deleted=False)
            self.assertIn("failure: the archive's signature: does not match",
                          logged_runs(case.app_exe)[-1])
            self.assertFalse(case.planted_dll_ran())

    def test_without_bcrypt_only_the_signature_check_fails(self):
        without = "bcrypt="
        with self.subTest("plain"):
            case = self.new_case("plain")
            entries = version_2(case)
            make_archive(case.archive, entries)
            case.take_snapshot()
            case.request_update(flag="1")

            run = case.run_app(dll_overrides=without)

            self.assertCompleted(case, run, entries, archive_deleted=True)

        with self.subTest("keyed"):
            case = self.keyed_case("keyed")
            self.signed(case, "first")
            case.take_snapshot()
            case.request_update(flag="1")

            run = case.run_app(dll_overrides=without)

            self.assertRolledBack(case, run, archive_deleted=True)
            failures = [line for line in logged_runs(case.app_exe)[-1]
                        if line.startswith("failure: ")]
            self.assertEqual(len(failures), 1, failures)
            self.assertTrue(failures[0].startswith(
                "failure: the system's cryptography cannot be used: bcrypt.dll cannot be loaded "
                "from the system folder"), failures[0])


class ReleasePackingTests(UpdaterTestCase):
    """Updates that scripts/release pack makes. A full update over an application that has no
    release description yet, then a partial one made against that full update, each leave the
    application directory exactly as the release folder is: the files that the new release
    dropped are gone, with the folders they leave empty, and the user's own files stay. A keyed
    updater installs an update that pack signed."""

    DESCRIPTION = "orvandel-release.txt"

    def pack(self, folder, out, version, *options):
        subprocess.run([str(SOURCE_ROOT / "scripts" / "release"), "pack", "--version", version,
                        *map(str, options), str(folder), str(out)],
                       check=True, capture_output=True, timeout=600)
        with zipfile.ZipFile(out) as archive:
            return archive.namelist(), digest(archive.read(self.DESCRIPTION))

    @staticmethod
    def release_folder(case, name, files):
        folder = case.root / name
        for relative, data in files.items():
            (folder / relative).parent.mkdir(parents=True, exist_ok=True)
            (folder / relative).write_bytes(data)
        return folder

    @staticmethod
    def version_2_files(case):
        return {"setup.exe": INSTALLER, "sample_app.exe": case.version_2_exe(),
                "version.txt": b"2\n", "sample_app.ini": (case.app / "sample_app.ini").read_bytes(),
                "data/config.xml": b"<config version='2'/>",
                "plugins/old/legacy.dll": b"MZ a plug-in that version 3 drops",
                "plugins/en/strings.txt": b"strings of version 2"}

    def assertInstalledRelease(self, case, run, folder, description, versions):
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.boxes, [])
        self.assertEqual(snapshot(case.app), {**snapshot(folder), self.DESCRIPTION: description,
                                              "notes.txt": digest(b"the user's own")})
        self.assertNothingLeftBehind(case)
        self.assertFalse(case.archive.exists())
        self.assertStarts(case, versions)

    def install_full_then_partial(self, case, version_2, version_3):
        """Packs version 2 as a full update and installs it, then version 3 as a partial one
        against it; each leaves exactly its release. The partial update's names."""
        release_2 = self.release_folder(case, "release-2", version_2)
        release_3 = self.release_folder(case, "release-3", version_3)
        full = case.root / "orvandel-2.zip"
        _, description = self.pack(release_2, full, "2")
        shutil.copyfile(full, case.archive)
        case.request_update(flag="1")
        self.assertInstalledRelease(case, case.run_app(), release_2, description, ["1", "2"])

        names, description = self.pack(release_3, case.archive, "3", "--from", full)
        case.request_update(flag="1")
        run = case.run_app()
        self.assertInstalledRelease(case, run, release_3, description, ["1", "2", "2", "3"])
        return names

    def test_a_full_then_a_partial_update_leave_exactly_the_new_release(self):
        case = self.new_case()
        case.write_app_file("notes.txt", b"the user's own")
        version_2 = self.version_2_files(case)
        version_3 = {**version_2, "version.txt": b"3\n",
                     "plugins/en/strings.txt": b"strings of version 3",
                     "plugins/de/strings.txt": b"Zeichenketten der Version 3"}
        del version_3["plugins/old/legacy.dll"]
        names = self.install_full_then_partial(case, version_2, version_3)
        self.assertEqual(sorted(names), sorted([
            self.DESCRIPTION, "plugins/de/strings.txt", "plugins/en/strings.txt", "sample_app.exe",
            "setup.exe", "version.txt"]))

    def test_a_partial_update_that_renames_a_file_by_case_only_keeps_it(self):
        # Letters whose cases only Unicode's tables relate: to Windows both names are one file.
        lower, upper = "docs/h\u01b0\u1edbng d\u1eabn.txt", "docs/H\u01af\u1edaNG D\u1eaaN.txt"
        case = self.new_case()
        case.write_app_file("notes.txt", b"the user's own")
        version_2 = {**self.version_2_files(case), lower: b"the guide"}
        version_3 = {**version_2, "version.txt": b"3\n", upper: b"the guide"}
        del version_3[lower]
        self.assertIn(upper, self.install_full_then_partial(case, version_2, version_3))
        self.assertEqual((case.app / upper).read_bytes(), b"the guide")

    def test_a_keyed_updater_installs_an_update_that_pack_signed(self):
        case = self.new_case(updater="KeyedUpdater.exe")
        case.write_app_file("notes.txt", b"the user's own")
        release = self.release_folder(case, "release-2", self.version_2_files(case))
        _, description = self.pack(release, case.archive, "2", "--key",
                                   SignedUpdateTests.KEYS / "first.pem")
        case.request_update(flag="1")

        run = case.run_app()

        self.assertInstalledRelease(case, run, release, description, ["1", "2"])
        self.assertIn("the archive must carry a valid signature by a built-in key",
                      logged_runs(case.app_exe)[-1])


class PatchedUpdateTests(KilledRuns, SignedArchives, UpdaterTestCase):
    """Partial updates that bring changed files as patches against the installed ones. The
    directory ends exactly at the new release, or, where a patched file is not the base
    version's or a patch is damaged, exactly as it was, with the log saying why; a run killed
    while a large file is patched ends at exactly the old version."""

    CORE_1 = random.Random(1).randbytes(300 * 1024)
    LISTED = ["setup.exe", "sample_app.exe", "version.txt", "lib/core.dll"]

    def core_2(self):
        core = bytearray(self.CORE_1)
        for at in range(1000, len(core), 40000):
            core[at] ^= 0xFF
        return bytes(core[:150000]) + b"a function of version 2.0" + bytes(core[150000:])

    def install_release_1(self, case):
        """Version 1.0 as its full update would have installed it."""
        entries = described("1.0", [("setup.exe", INSTALLER), ("sample_app.exe", case.sample_app_bytes),
                                    ("version.txt", b"1.0\n"), ("lib/core.dll", self.CORE_1)])
        for name, data in entries:
            case.write_app_file(name, data)
        return entries

    def release_2(self, case, core_patch=None, core_to=None):
        """The partial update of version 2.0: the application and its library as patches; the
        archive's entries, and those that its install leaves."""
        core_2 = self.core_2()
        app_2 = case.version_2_exe()
        patched = [("sample_app.exe", case.sample_app_bytes, app_2),
                   ("lib/core.dll", self.CORE_1, core_to or core_2)]
        entries = described("2.0", [("setup.exe", INSTALLER),
                                    ("sample_app.exe", whole_patch(case.sample_app_bytes, app_2)),
                                    ("version.txt", b"2.0\n"),
                                    ("lib/core.dll", core_patch or whole_patch(self.CORE_1, core_2))],
                            base="1.0", listed=self.LISTED, patches=patched)
        made = {"sample_app.exe": app_2, "lib/core.dll": core_2}
        return entries, [(name, made.get(name, data)) for name, data in entries]

    def install_release_2(self, case, key=None):
        """Installs the partial update of 2.0, signed by scripts/release with the key where one
        is given: it leaves exactly 2.0. Its archive's entries."""
        entries, installed = self.release_2(case)
        make_archive(case.archive, entries)
        if key:
            subprocess.run([str(SOURCE_ROOT / "scripts" / "release"), "sign", "--key",
                            str(self.KEYS / f"{key}.pem"), str(case.archive)],
                           check=True, capture_output=True, timeout=600)
        before = case.take_snapshot()
        case.request_update(flag="1")

        run = case.run_app()

        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.boxes, [])
        self.assertEqual(snapshot(case.app), after_release(before, installed))
        self.assertNothingLeftBehind(case)
        self.assertFalse(case.archive.exists())
        return entries

    def run_refused(self, case, line):
        before = case.take_snapshot()
        case.request_update(flag="")

        run = case.run_app()

        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.boxes, [FAILURE_BOX])
        self.assertEqual(snapshot(case.app), before)
        self.assertNothingLeftBehind(case)
        self.assertIn(line, [text[:len(line)] for text in logged_runs(case.app_exe)[-1]])

    def test_a_full_then_a_partial_update_with_patches_leave_exactly_version_2(self):
        case = self.new_case()
        release_1 = described("1.0", [("setup.exe", INSTALLER), ("sample_app.exe", case.sample_app_bytes),
                                      ("version.txt", b"1.0\n"), ("lib/core.dll", self.CORE_1)])
        make_archive(case.archive, release_1)
        before = case.take_snapshot()
        case.request_update(flag="")
        self.assertEqual(case.run_app().boxes, [])
        self.assertEqual(snapshot(case.app), after_release(before, release_1))

        entries = self.install_release_2(case)

        self.assertEqual([version for version, _ in case.starts()], ["1", "1.0", "1.0", "2.0"])
        patch_bytes = sum(len(data) for name, data in entries
                          if name in ("sample_app.exe", "lib/core.dll"))
        file_bytes = len(case.version_2_exe()) + len(self.core_2())
        self.assertIn("release: the update brings version 2.0, made for 1.0 only; the installed "
                      f"version is 1.0; 2 files come as patches, whose {patch_bytes} bytes (before "
                      f"the archive's deflate) make {file_bytes} bytes of files; it removes 0 "
                      "files of the installed version", logged_runs(case.app_exe)[-1])

    def test_a_patched_file_changed_after_its_install_refuses_the_update(self):
        case = self.new_case()
        self.install_release_1(case)
        case.write_app_file("lib/core.dll", self.CORE_1[:-1] + b"!")
        make_archive(case.archive, self.release_2(case)[0])
        self.run_refused(case, 'failure: the update is refused: it brings "lib/core.dll" as a '
                               "patch of version 1.0's file, and the installed \"lib/core.dll\" "
                               "was changed since version 1.0 installed it, so the update needs "
                               "the full archive")

    def test_damaged_patches_take_the_failed_end(self):
        old, made = self.CORE_1, self.core_2()
        damaged = "failure: Cannot unzip the downloaded archive. (lib/core.dll: the patch "
        # (what, the patch, the description's TO, the log's reason)
        steps = [
            ("a file other than the described", whole_patch(old, made), made[:-1] + b"?",
             "made a file other than the one that the release description names"),
            ("an add past the old file's end",
             header(len(old), len(made)) + record(copy=b"x", seek=len(old)) + record(add=b"\0"),
             None, "adds to bytes past the old file's end"),
            ("a seek before its start", header(len(old), len(made)) + record(add=b"\0", seek=-2),
             None, "seeks before the start of the old file"),
            ("lengths that wrap", header(len(old), len(made)) + record(add_length=2,
                                                                       copy_length=2 ** 64 - 1),
             None, f"writes past the new file's {len(made)} bytes"),
            ("cut short", whole_patch(old, made)[:-1000], None,
             f"ends after {len(made) - 1000} of the new file's {len(made)} bytes"),
            ("bytes left over", whole_patch(old, made) + b"\0", None,
             "has bytes after its last record"),
        ]
        case = self.new_case()
        self.install_release_1(case)
        for what, patch, to, reason in steps:
            with self.subTest(what):
                make_archive(case.archive, self.release_2(case, patch, to)[0])
                self.run_refused(case, damaged + reason + ")")

    def test_killed_while_a_large_file_is_patched_ends_at_exactly_the_old_version(self):
        case = self.new_killed_case()
        entries_1 = self.install_release_1(case)
        big_1 = random.Random(2).randbytes(96 << 20)
        big_2, big_patch = scattered(big_1, range(4096, len(big_1), 7 << 20), b"inserted" * 1000)
        case.write_app_file("data/big.bin", big_1)
        case.write_app_file("orvandel-release.txt", described(
            "1.0", entries_1[:-1], listed=[*self.LISTED, "data/big.bin"])[-1][1])
        entries = described("2.0", [("setup.exe", INSTALLER), ("version.txt", b"2.0\n"),
                                    ("data/big.bin", big_patch)],
                            base="1.0", listed=[*self.LISTED, "data/big.bin"],
                            patches=[("data/big.bin", big_1, big_2)])
        make_archive(case.archive, entries)
        case.take_snapshot()
        case.request_update(flag="")

        def patching_the_large_file():
            made = [wine_temp_folder() / name / "data" / "big.bin"
                    for name in case.new_extraction_folders()]
            return any(path.exists() and 0 < path.stat().st_size < len(big_2) for path in made)

        command = self.kill_and_read_entry(case, patching_the_large_file)
        self.assertEqual(snapshot(case.app), case.expected_untouched())
        case.archive.unlink()

        run = case.run(command)

        self.assertResumed(case, run, entries, new_version=False)
        self.assertStarts(case, ["1.0", "1.0"])

    def test_a_keyed_updater_installs_a_signed_partial_update_with_patches(self):
        case = self.keyed_case("keyed-patches")
        self.install_release_1(case)
        self.install_release_2(case, key="first")

        self.assertEqual([version for version, _ in case.starts()], ["1.0", "2.0"])
        self.assertIn("the archive must carry a valid signature by a built-in key",
                      logged_runs(case.app_exe)[-1])


class ReleaseFeedTests(UpdaterTestCase):
    """The release line as a user meets it: scripts/release publish fills a release folder that
    stands for the download server, the sample application reads its feed, chooses with its
    installed description, downloads the archive, checks its size and SHA-256 and hands it to
    the updater, which leaves exactly the latest version."""

    DESCRIPTION = ReleasePackingTests.DESCRIPTION

    # A table that each version changes in a few bytes: its partial updates carry a patch.
    TABLE = bytes(random.Random(30).randbytes(1 << 16))

    @classmethod
    def version_files(cls, case, version):
        """Each version changes the executable, the configuration and a few bytes of the
        table; 3.0 drops a plug-in and adds a language."""
        table = bytearray(cls.TABLE)
        table[4096:4096 + len(version)] = version.encode()
        files = {"setup.exe": INSTALLER, "data/table.bin": bytes(table),
                 "sample_app.exe": case.sample_app_bytes + f"\0version {version}\0".encode(),
                 "version.txt": f"{version}\n".encode(),
                 "sample_app.ini": (case.app / "sample_app.ini").read_bytes(),
                 "data/config.xml": f"<config version='{version}'/>".encode(),
                 "plugins/en/strings.txt": b"strings"}
        if version == "3.0":
            files["plugins/de/strings.txt"] = b"Zeichenketten"
        else:
            files["plugins/old/legacy.dll"] = b"MZ a plug-in that version 3.0 drops"
        return files

    def publish_line(self, case):
        """Versions 1.0, 2.0 and 3.0 published in turn; the release folder of 3.0."""
        server = case.root / "server"
        server.mkdir()
        for version in ["1.0", "2.0", "3.0"]:
            folder = ReleasePackingTests.release_folder(case, f"release-{version}",
                                                        self.version_files(case, version))
            subprocess.run([str(SOURCE_ROOT / "scripts" / "release"), "publish", "--version",
                            version, str(folder), str(server)],
                           check=True, capture_output=True, timeout=600)
        (case.app / "update.feed").write_text("\n".join([
            windows_path(server), windows_path(case.updater), case.mutex,
            windows_path(case.download)]) + "\n", encoding="utf-8")
        return server, folder

    @staticmethod
    def install(case, server, version):
        """The application directory as the full update of the version leaves it."""
        for path in list(case.app.iterdir()):
            if path.name not in {"update.feed"}:
                shutil.rmtree(path) if path.is_dir() else path.unlink()
        with zipfile.ZipFile(server / f"orvandel-{version}.zip") as archive:
            archive.extractall(case.app)

    @staticmethod
    def feed_line(server, name):
        return next(line for line in (server / "releases.txt").read_text().splitlines()
                    if line.split(" ")[0] in {"full", "partial"} and line.split(" ")[-3] == name)

    def download_log(self, case):
        return (case.app / "download.log").read_text(encoding="utf-8").splitlines()

    def assertUpdatedTo3(self, case, server, release, chosen, installed, first_start):
        run = case.run_app()
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.boxes, [])
        self.assertUpdatedDirectory(case, server, release, chosen)
        self.assertStarts(case, [first_start, "3.0"])
        size = (server / chosen).stat().st_size
        self.assertEqual(self.download_log(case), [
            "feed: latest 3.0", installed, "chosen: " + self.feed_line(server, chosen),
            f"checked: {size} bytes and the SHA-256 of the feed",
            "feed: latest 3.0", "installed: 3.0", "current: nothing to download"])

    def assertUpdatedDirectory(self, case, server, release, chosen):
        with zipfile.ZipFile(server / chosen) as archive:
            description = digest(archive.read(self.DESCRIPTION))
        self.assertEqual(snapshot(case.app), {**snapshot(release), self.DESCRIPTION: description})
        self.assertNothingLeftBehind(case)
        self.assertEqual(list(case.download.glob("*.zip")), [])

    def test_each_installed_version_takes_its_partial_update_and_ends_at_exactly_3_0(self):
        for version in ["1.0", "2.0"]:
            with self.subTest(version):
                case = self.new_case(f"feed-{version}")
                server, release = self.publish_line(case)
                self.install(case, server, version)
                self.assertUpdatedTo3(case, server, release, f"orvandel-3.0-from-{version}.zip",
                                      f"installed: {version}", version)
                self.assertFalse((case.app / "plugins" / "old").exists())

    def test_an_undescribed_directory_takes_the_full_update(self):
        case = self.new_case()
        server, release = self.publish_line(case)
        self.assertUpdatedTo3(case, server, release, "orvandel-3.0.zip", "installed: none", "1")

    def test_a_partial_update_refused_for_a_changed_file_is_followed_by_the_full_one_once(self):
        case = self.new_case()
        server, release = self.publish_line(case)
        self.install(case, server, "2.0")
        partial = "orvandel-3.0-from-2.0.zip"
        with zipfile.ZipFile(server / partial) as archive:
            self.assertIn("patch data/table.bin ",
                          archive.read(self.DESCRIPTION).decode(), "the table takes no patch")
        # The user's copy is not version 2.0's: the patch made for that one cannot apply.
        table = case.app / "data" / "table.bin"
        table.write_bytes(table.read_bytes()[:-1] + b"!")

        run = case.run_app()

        self.assertEqual(run.exit_code, 0)
        self.assertEqual(run.boxes, [FAILURE_BOX])
        self.assertUpdatedDirectory(case, server, release, "orvandel-3.0.zip")
        self.assertStarts(case, ["2.0", "2.0", "3.0"])
        self.assertIn("data/table.bin", "\n".join(logged_runs(case.app_exe)[-2]))
        checked = [f"checked: {(server / name).stat().st_size} bytes and the SHA-256 of the feed"
                   for name in [partial, "orvandel-3.0.zip"]]
        self.assertEqual(self.download_log(case), [
            "feed: latest 3.0", "installed: 2.0", "chosen: " + self.feed_line(server, partial),
            checked[0],
            "feed: latest 3.0", "installed: 2.0",
            "retry: the partial update failed; the full update, once",
            "chosen: " + self.feed_line(server, "orvandel-3.0.zip"), checked[1],
            "feed: latest 3.0", "installed: 3.0", "current: nothing to download"])

    def test_a_download_that_is_not_what_the_feed_says_never_reaches_the_updater(self):
        case = self.new_case()
        server, _ = self.publish_line(case)
        self.install(case, server, "2.0")
        partial = server / "orvandel-3.0-from-2.0.zip"
        data = partial.read_bytes()
        for damage, line in [
            (data[:-1], f"refused: {len(data) - 1} bytes, the feed says {len(data)}"),
            (data[:-1] + bytes([data[-1] ^ 1]), "refused: its SHA-256 is not the feed's"),
        ]:
            with self.subTest(line):
                partial.write_bytes(damage)
                (case.app / "download.log").unlink(missing_ok=True)
                case.take_snapshot()
                starts = len(case.starts())
                run = case.run_app()
                self.assertEqual((run.exit_code, run.boxes), (0, []))
                self.assertEqual(self.download_log(case)[-1], line)
                self.assertEqual(snapshot(case.app), case.before)
                self.assertEqual(list(case.download.glob("*.zip")), [])
                # Started once, by the test: no updater ran to start it again.
                self.assertEqual(case.starts()[starts:], [("2.0", self.quoted(case))])


if __name__ == "__main__":
    unittest.main()
