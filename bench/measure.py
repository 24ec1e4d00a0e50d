#!/usr/bin/env python3
"""Times whole updates of the benchmark archives and compares them with two references.

Called by bench/run after the build, with Wine's environment set and a persistent wineserver
running. For every archive it runs, after one warm-up round, up to N rounds of:
  updater  the real Updater.exe, started through the test launcher with the exact five-field
           command line, on a fresh copy of the old application directory;
  unzip    native Info-ZIP "unzip -qo" into an empty folder;
  floor    bench_io_floor.exe through the same launcher: the same files written and moved into
           a fresh copy of the application directory, without any archive work;
  keyed    with --keyed, also an updater built with the tests' update keys, on a copy of the
           archive that scripts/release signed: beside the plain updater, it shows what the
           signature check costs;
then times the stages of the update with bench_stages.exe and the native deletion of the old
files. Every run is checked (the application directory holds exactly the update, no backup and
no temporary folder is left) and the peak memory of each Windows process is taken from the
kernel: this script makes itself the subreaper of everything it starts, so the updater, which
Wine starts as an orphaned grandchild of the launcher, is reaped here with its own usage.
"""

import argparse
import concurrent.futures
import ctypes
import datetime
import filecmp
import itertools
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Every Windows program starts through the project's runner, which picks the Wine loader of the
# prefix's width.
WINE = [os.path.join(ROOT, "scripts", "wine-run"), os.environ.get("WINEPREFIX", "")]
PR_SET_CHILD_SUBREAPER = 36
RUN_TIMEOUT = 900
REAP_TIMEOUT = 30
MUTEX_NAME = "OrvandelBenchMutexNeverHeld"
MUTEX_SLEEP = 0.300
# Wine names each process after its executable, cut to the kernel's 15 characters.
UPDATER_COMM = "Updater.exe"
IDLE_COMM = "bench_idle.exe"
FLOOR_COMM = "bench_io_floor."

# Under Wine every look-up of a name that is not there reads the whole folder, so the archive
# with 10,000 files in one folder takes minutes per round. With --budget SECONDS an archive gets
# further rounds (and stage timings) only while its rounds so far took less than that, and a
# warm-up round longer than LONG_ROUND counts as a measured one.
LONG_ROUND = 60

# What bench_stages.exe times, in this order, and the headings of the report's columns.
STAGES = ["open_and_count", "copy_out", "install", "unpacker_cleanup", "backup_removal"]
STAGE_HEADINGS = "open and count | copy out | install | unpacker clean-up | backup removal"

REPORT_ORDER = ["large", "medium", "many", "few"]

TARGETS = [
    ("large", "updater/unzip", 1.2),
    ("medium", "updater/unzip", 1.5),
    ("many", "updater/floor", 1.3),
    ("large", "updater/floor", 1.2),
    ("medium", "updater/floor", 1.2),
    ("few", "updater/floor", 1.2),
    ("many", "updater/floor", 1.05),
]
# With --keyed: the keyed updater's median against the plain one's.
KEYED_TARGETS = [("large", 1.15), ("medium", 1.05)]
MANY_FEW_RANGE = (8.0, 12.0)
MEMORY_TARGET_MIB = 16.0

# bench/patched.py keeps its report in a section of its own at the end of the results file,
# which the whole-update report leaves as it is, and the other way round.
PATCHED_SECTION = "## A patched update of the large archive"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def mib(kib):
    return kib / 1024.0


class BenchError(Exception):
    pass


class Timeout(Exception):
    pass


def raise_timeout(signum, frame):
    raise Timeout()


class Windows:
    """Starts Windows programs under Wine and reaps every process they leave behind."""

    def __init__(self, bin_dir, work, log):
        self.launcher = os.path.join(bin_dir, "launcher.exe")
        self.work = work
        self.log = log
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
            raise BenchError("cannot become a child subreaper: %s"
                             % os.strerror(ctypes.get_errno()))
        signal.signal(signal.SIGALRM, raise_timeout)

    def spawn_and_reap(self, argv, expect=()):
        """Runs argv; returns (seconds until argv's process ended, its exit status,
        {process name: peak resident KiB} of every descendant that ended meanwhile). Wine lets
        a parent see a child's end before the child's Linux process is gone, so the processes
        named in expect are waited for beyond that."""
        self.reap_leftovers()
        peaks = {}
        seconds = None
        with open(self.log, "ab") as log:
            start = time.perf_counter()
            child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        signal.alarm(RUN_TIMEOUT)
        try:
            while seconds is None or (child.returncode == 0 and
                                      not all(name in peaks for name in expect)):
                if seconds is not None:
                    signal.alarm(REAP_TIMEOUT)
                ended = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOWAIT)
                try:
                    with open("/proc/%d/comm" % ended.si_pid) as comm_file:
                        comm = comm_file.read().strip()
                except OSError:
                    comm = "?"
                pid, status, usage = os.wait4(ended.si_pid, 0)
                if pid == child.pid:
                    seconds = time.perf_counter() - start
                    child.returncode = os.waitstatus_to_exitcode(status)
                else:
                    peaks[comm] = max(peaks.get(comm, 0), usage.ru_maxrss)
        except Timeout:
            if seconds is None:
                raise BenchError("%s did not end within %d s" % (argv, RUN_TIMEOUT))
            raise BenchError("no %s process ended; seen: %s" % (" or ".join(expect), peaks))
        finally:
            signal.alarm(0)
        return seconds, child.returncode, peaks

    @staticmethod
    def reap_leftovers():
        """Processes Wine started in the background earlier (wineboot, menu builder) must not
        count towards the next run."""
        while True:
            try:
                ended = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG)
            except ChildProcessError:
                return
            if ended is None or ended.si_pid == 0:
                return

    def launch(self, command_line, expect):
        """Starts one exact Windows command line through the launcher."""
        command_file = os.path.join(self.work, "command-line.txt")
        with open(command_file, "w", encoding="utf-8", newline="") as out:
            out.write(command_line)
        seconds, code, peaks = self.spawn_and_reap(
            [*WINE, self.launcher, windows_path(command_file)], (expect,))
        if code != 0:
            raise BenchError("launcher exit code %d for %s (log: %s)"
                             % (code, command_line, self.log))
        return seconds, peaks

    def temp_dir(self):
        with open(self.log, "ab") as log:
            text = subprocess.run([*WINE, "cmd", "/c", "echo %TEMP%"], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=log, check=True).stdout
        windows = text.decode("utf-8", "replace").strip().splitlines()[-1].strip()
        unix = subprocess.run([*WINE, "winepath", "-u", windows], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              check=True).stdout.decode().strip()
        return os.path.realpath(unix)


def quote_fields(*fields):
    return " ".join('"%s"' % field for field in fields)


def read_manifest(path):
    with open(path, encoding="utf-8") as manifest:
        lines = [line.rstrip("\n") for line in manifest if line.strip()]
    return [(int(size), name.replace("\\", "/"))
            for size, name in (line.split("\t", 1) for line in lines)]


def list_files(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = os.path.getsize(path)
    return found


def check_sizes(app_dir, manifest, who):
    found = list_files(app_dir)
    expected = {name: size for size, name in manifest}
    if found != expected:
        extra = sorted(set(found) - set(expected))[:5]
        missing = sorted(set(expected) - set(found))[:5]
        wrong = sorted(n for n in set(found) & set(expected) if found[n] != expected[n])[:5]
        raise BenchError("%s left a wrong application directory: extra %s, missing %s, "
                         "wrong size %s" % (who, extra, missing, wrong))


def check_contents(app_dir, reference, manifest):
    for _, name in manifest:
        if not filecmp.cmp(os.path.join(app_dir, name), os.path.join(reference, name),
                           shallow=False):
            raise BenchError("the updater installed other bytes than the archive holds: %s" % name)


def run_quietly(argv):
    subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)


def remove_tree(root):
    """Deletes with several threads at once. This disk discards the blocks of every deleted
    file while the deletion waits, so one deletion after another can cost milliseconds each;
    the clean-up between runs is not measured and need not wait for each in turn."""
    if not os.path.lexists(root):
        return
    files, folders = [], []
    for folder, _, names in os.walk(root, topdown=False):
        files.extend(os.path.join(folder, name) for name in names)
        folders.append(folder)
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        list(pool.map(os.unlink, files))
    for folder in folders:
        os.rmdir(folder)


def fresh_copy(source, target):
    """A copy whose blocks are on the disk, like the files of an installed application."""
    remove_tree(target)
    run_quietly(["cp", "-a", source, target])
    os.sync()


def time_native_deletion(source, target):
    """One file after another, as the updater deletes its backups."""
    fresh_copy(source, target)
    files = [os.path.join(folder, name) for folder, _, names in os.walk(target) for name in names]
    start = time.perf_counter()
    for path in files:
        os.unlink(path)
    seconds = time.perf_counter() - start
    remove_tree(target)
    return seconds


def summary(values):
    return {"median": statistics.median(values), "min": min(values), "max": max(values)}


class Bench:
    def __init__(self, args):
        self.build = os.path.abspath(args.build)
        self.quick = args.quick
        self.rounds = 1 if args.quick else args.rounds
        self.warmups = 0 if args.quick else 1
        mode = "quick" if args.quick else "full"
        self.cache = os.path.join(self.build, "bench", mode)
        self.work = os.path.join(self.build, "bench", "work")
        bin_dir = os.path.join(self.build, "bin")
        self.updater = os.path.join(bin_dir, "Updater.exe")
        self.keyed = None
        if args.keyed:
            # Named Updater.exe like the plain one, so that its process is found the same way.
            self.keyed = os.path.join(self.build, "bench", "keyed", "Updater.exe")
            os.makedirs(os.path.dirname(self.keyed), exist_ok=True)
            shutil.copyfile(os.path.join(bin_dir, "KeyedUpdater.exe"), self.keyed)
            self.signing_key = os.path.join(self.build, "tests", "e2e", "keys", "first.pem")
        self.floor = os.path.join(bin_dir, "bench_io_floor.exe")
        self.idle = os.path.join(bin_dir, "bench_idle.exe")
        self.stage_timer = os.path.join(bin_dir, "bench_stages.exe")
        self.stage_rounds = 1 if args.quick else args.stage_rounds
        self.budget = args.budget
        self.only = args.archives.split(",") if args.archives else None
        remove_tree(self.work)
        os.makedirs(self.work)
        # Blanks in the paths keep every field quoted when Wine quotes a plain argument list too.
        self.app_dir = os.path.join(self.work, "app dir")
        self.unzip_dir = os.path.join(self.work, "unzipped")
        self.windows = Windows(bin_dir, self.work, os.path.join(self.work, "wine.log"))
        # Wine starts its desktop process (explorer.exe) for a program that loads user32 when
        # no other program is on the desktop, and ends it a moment after the last one quits.
        # Started from inside the launcher's job, it would keep the launcher waiting for ever:
        # a program that stays on the desktop for the whole benchmark prevents both.
        self.holder = subprocess.Popen([*WINE, self.idle, "hold"], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
        self.windows.spawn_and_reap([*WINE, self.idle, "com"])
        self.temp = self.windows.temp_dir()
        self.results = {}
        self.errors = []

    def archives(self):
        """The slowest last, so that a budget running out costs the least."""
        return [name for name in ("large", "medium", "few", "many")
                if os.path.exists(os.path.join(self.cache, name, name + ".zip"))
                and (self.only is None or name in self.only)]

    def close(self):
        self.holder.kill()
        self.holder.wait()

    def temp_entries(self):
        """The temporary folder's entries but the updater's run log, which the first run in a
        fresh prefix makes and every run keeps."""
        return set(os.listdir(self.temp)) - {"Orvandel Updater.log", "Orvandel Updater.log.1"}

    def check_temp_unchanged(self, before, who):
        left = sorted(self.temp_entries() - before)
        if left:
            raise BenchError("%s left %s in %s" % (who, left, self.temp))

    def launch_on_fresh_copy(self, name, command_line, comm, who):
        fresh_copy(os.path.join(self.cache, name, "pristine"), self.app_dir)
        before = self.temp_entries()
        seconds, peaks = self.windows.launch(command_line, comm)
        self.check_temp_unchanged(before, who)
        return seconds, peaks

    def signed_archive(self, name):
        """A signed copy of the archive, made once."""
        signed = os.path.join(self.cache, name, name + "-signed.zip")
        if not os.path.exists(signed):
            shutil.copyfile(os.path.join(self.cache, name, name + ".zip"), signed + ".part")
            run_quietly([os.path.join(ROOT, "scripts", "release"), "sign", "--key",
                         self.signing_key, signed + ".part"])
            os.rename(signed + ".part", signed)
        return signed

    def run_updater(self, name, manifest, reference, updater=None, archive=None):
        archive = archive or os.path.join(self.cache, name, name + ".zip")
        command_line = quote_fields(windows_path(updater or self.updater),
                                    windows_path(os.path.join(self.app_dir, "orvandel.exe")),
                                    MUTEX_NAME, windows_path(archive), "", "0")
        seconds, peaks = self.launch_on_fresh_copy(name, command_line, UPDATER_COMM, "the updater")
        check_sizes(self.app_dir, manifest, "the updater")
        check_contents(self.app_dir, reference, manifest)
        return seconds, peaks[UPDATER_COMM]

    def run_unzip(self, name):
        archive = os.path.join(self.cache, name, name + ".zip")
        remove_tree(self.unzip_dir)
        os.makedirs(self.unzip_dir)
        os.sync()
        start = time.perf_counter()
        run_quietly(["unzip", "-qo", archive, "-d", self.unzip_dir])
        return time.perf_counter() - start

    def run_floor(self, name, manifest):
        command_line = quote_fields(windows_path(self.floor),
                                    windows_path(os.path.join(self.cache, name, "manifest.txt")),
                                    windows_path(self.app_dir))
        seconds, _ = self.launch_on_fresh_copy(name, command_line, FLOOR_COMM, "the floor")
        check_sizes(self.app_dir, manifest, "the floor")
        return seconds

    def run_stages(self, name, manifest):
        archive = os.path.join(self.cache, name, name + ".zip")
        fresh_copy(os.path.join(self.cache, name, "pristine"), self.app_dir)
        output = os.path.join(self.work, "stages.txt")
        before = self.temp_entries()
        with open(output, "wb") as out:
            code = subprocess.run([*WINE, self.stage_timer, windows_path(archive),
                                   windows_path(self.app_dir)], stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=subprocess.STDOUT,
                                  timeout=RUN_TIMEOUT).returncode
        with open(output, encoding="utf-8", errors="replace") as text:
            lines = text.read().split("\n")
        if code != 0:
            raise BenchError("bench_stages failed: %s" % " ".join(lines))
        self.check_temp_unchanged(before, "bench_stages")
        check_sizes(self.app_dir, manifest, "bench_stages")
        stages = {}
        for fields in (line.split() for line in lines):
            if len(fields) == 4:
                stages[fields[0]] = {"seconds": float(fields[1]), "working_set_kib": int(fields[2]),
                                     "peak_kib": int(fields[3])}
        if set(stages) != set(STAGES):
            raise BenchError("bench_stages printed %s" % lines)
        return stages

    def measure_archive(self, name):
        manifest = read_manifest(os.path.join(self.cache, name, "manifest.txt"))
        reference = os.path.join(self.work, "reference")
        remove_tree(reference)
        os.makedirs(reference)
        archive = os.path.join(self.cache, name, name + ".zip")
        run_quietly(["unzip", "-qo", archive, "-d", reference])
        times = {"updater": [], "unzip": [], "floor": [], "keyed": []}
        peaks = []
        signed = self.signed_archive(name) if self.keyed else None
        started = time.perf_counter()
        for round_number in itertools.count():
            round_started = time.perf_counter()
            updater_seconds, peak = self.run_updater(name, manifest, reference)
            unzip_seconds = self.run_unzip(name)
            floor_seconds = self.run_floor(name, manifest)
            keyed_seconds = (self.run_updater(name, manifest, reference, self.keyed, signed)[0]
                             if self.keyed else None)
            # In a round of minutes the first run's extra cost (Wine's DLLs and the archive
            # read from the disk) is lost in the noise, so under a budget such a round counts.
            warm_up = round_number < self.warmups and not (
                self.budget and time.perf_counter() - round_started > LONG_ROUND)
            label = "warm-up" if warm_up else "run %d" % (len(times["updater"]) + 1)
            print("  %-6s %-8s updater %7.3f s  unzip %7.3f s  floor %7.3f s  updater peak %.1f MiB"
                  % (name, label, updater_seconds, unzip_seconds, floor_seconds, mib(peak))
                  + ("  keyed %7.3f s" % keyed_seconds if self.keyed else ""), flush=True)
            if warm_up:
                continue
            times["updater"].append(updater_seconds)
            times["unzip"].append(unzip_seconds)
            times["floor"].append(floor_seconds)
            if self.keyed:
                times["keyed"].append(keyed_seconds)
            peaks.append(peak)
            if len(times["updater"]) >= self.rounds or self.over_budget(started):
                break
        stages = []
        started = time.perf_counter()
        while len(stages) < self.stage_rounds and not (stages and self.over_budget(started)):
            stages.append(self.run_stages(name, manifest))
        native_deletion = time_native_deletion(os.path.join(self.cache, name, "pristine"),
                                               self.app_dir)
        stage_medians = {k: {what: statistics.median(r[k][what] for r in stages)
                             for what in ("seconds", "working_set_kib", "peak_kib")}
                         for k in STAGES}
        print("  %-6s stages   %s  native deletion of the old files %.3f s"
              % (name, "  ".join("%s %.3f s" % (k, stage_medians[k]["seconds"]) for k in STAGES),
                 native_deletion), flush=True)
        remove_tree(reference)
        remove_tree(self.unzip_dir)
        remove_tree(self.app_dir)
        return {"times": times, "peak_kib": max(peaks), "files": len(manifest),
                "stages": stage_medians,
                "stage_runs": len(stages),
                "native_deletion": native_deletion,
                "bytes": sum(size for size, _ in manifest),
                "archive_bytes": os.path.getsize(os.path.join(self.cache, name, name + ".zip"))}

    def over_budget(self, started):
        return self.budget is not None and time.perf_counter() - started > self.budget

    def measure_idle(self):
        """Wine's own share: the launch cost and peak memory of programs that do nothing."""
        launch, plain, com = [], [], []
        for _ in range(self.warmups + max(self.rounds, 3)):
            seconds, peaks = self.windows.launch(quote_fields(windows_path(self.idle)), IDLE_COMM)
            launch.append(seconds)
            plain.append(peaks[IDLE_COMM])
            _, peaks = self.windows.launch(quote_fields(windows_path(self.idle)) + " com",
                                           IDLE_COMM)
            com.append(peaks[IDLE_COMM])
        del launch[:self.warmups]
        return {"launch": summary(launch), "plain_kib": statistics.median(plain),
                "com_kib": statistics.median(com)}

    def measure_plain_wine_quoting(self, name):
        """One extra run with Wine's own quoting and /usr/bin/time -v, as a cross-check of the
        peak memory; every field holds a blank or is empty, so Wine quotes them all."""
        archive_link = os.path.join(self.work, "update archive.zip")
        if os.path.lexists(archive_link):
            os.remove(archive_link)
        os.symlink(os.path.join(self.cache, name, name + ".zip"), archive_link)
        fresh_copy(os.path.join(self.cache, name, "pristine"), self.app_dir)
        report = os.path.join(self.work, "time-v.txt")
        argv = ["/usr/bin/time", "-v", "-o", report, *WINE, self.updater,
                windows_path(os.path.join(self.app_dir, "orvandel.exe")), "Orvandel bench mutex",
                windows_path(archive_link), "", ""]
        self.windows.spawn_and_reap(argv)
        with open(report) as text:
            peak = [int(line.split(":")[1]) for line in text if "Maximum resident set size" in line]
        unchanged = filecmp.cmp(os.path.join(self.app_dir, "setup.exe"),
                                os.path.join(self.cache, name, "pristine", "setup.exe"),
                                shallow=False)
        os.remove(archive_link)
        return {"peak_kib": peak[0] if peak else None, "accepted": not unchanged}

    def run(self):
        load_before = os.getloadavg()
        started = time.time()
        names = self.archives()
        if not names:
            raise BenchError("no archives in %s" % self.cache)
        print("launch overhead and Wine's share (a program that does nothing)", flush=True)
        idle = self.measure_idle()
        for name in names:
            print("archive %s" % name, flush=True)
            try:
                self.results[name] = self.measure_archive(name)
            except BenchError as failure:
                self.errors.append("%s: %s" % (name, failure))
                print("  FAILED: %s" % failure, flush=True)
        cross_check = {}
        for name in [n for n in ("large", "few") if n in self.results]:
            try:
                cross_check[name] = self.measure_plain_wine_quoting(name)
            except BenchError as failure:
                self.errors.append("%s (wine quoting): %s" % (name, failure))
        remove_tree(self.app_dir)
        return self.report(idle, cross_check, load_before, os.getloadavg(), time.time() - started)

    def ordered(self):
        return [(name, self.results[name]) for name in REPORT_ORDER if name in self.results]

    def median(self, name, who):
        return statistics.median(self.results[name]["times"][who])

    def report(self, idle, cross_check, load_before, load_after, elapsed):
        lines = []
        add = lines.append
        if self.quick:
            mode = "quick (smaller archives, 1 run, no warm-up)"
        elif self.budget is None:
            mode = "full (1 warm-up, then %d runs per archive)" % self.rounds
        else:
            mode = ("full (1 warm-up, then up to %d runs per archive within %d s)"
                    % (self.rounds, self.budget))
        add("# Benchmark of whole updates")
        add("")
        add("- date: %s" % datetime.datetime.now().strftime("%Y-%m-%d %H:%M"))
        add("- machine: %s cores (nproc), %s, Linux %s"
            % (core_count(), cpu_model(), platform.release()))
        add("- load average (1, 5, 15 min) before: %.2f %.2f %.2f, after: %.2f %.2f %.2f"
            % (load_before + load_after))
        add("- mode: %s; total time %.0f s" % (mode, elapsed))
        add("- Wine: %s, %s prefix, persistent wineserver"
            % (wine_version(), "64-bit" if os.environ.get("WINEARCH") == "win64" else "32-bit"))
        add("")
        add("| archive | updater median | unzip median | floor median | updater/unzip "
            "| updater/floor |")
        add("|---|---:|---:|---:|---:|---:|")
        for name, result in self.ordered():
            add("| %s | %.3f s | %.3f s | %.3f s | %.2f | %.2f |"
                % (name, self.median(name, "updater"), self.median(name, "unzip"),
                   self.median(name, "floor"),
                   self.median(name, "updater") / self.median(name, "unzip"),
                   self.median(name, "updater") / self.median(name, "floor")))
        add("")
        if "many" in self.results and "few" in self.results:
            add("Ratio many/few (10 times the files): updater %.2f (unzip %.2f, floor %.2f)"
                % tuple(self.median("many", who) / self.median("few", who)
                        for who in ("updater", "unzip", "floor")))
            add("")
        if self.keyed:
            add("The signature check: an updater with update keys on the signed archive, beside "
                "the plain updater on the unsigned one (median, min, max in seconds):")
            add("")
            add("| archive | keyed updater | plain updater | check's cost | of the update |")
            add("|---|---|---|---:|---:|")
            for name, result in self.ordered():
                keyed, plain = summary(result["times"]["keyed"]), summary(result["times"]["updater"])
                add("| %s | %.3f / %.3f / %.3f | %.3f / %.3f / %.3f | %.3f s | %.1f %% |"
                    % (name, keyed["median"], keyed["min"], keyed["max"], plain["median"],
                       plain["min"], plain["max"], keyed["median"] - plain["median"],
                       100.0 * (keyed["median"] - plain["median"]) / plain["median"]))
            add("")
        add("Every run in seconds, median / min / max:")
        add("")
        add("| archive | files | bytes | archive | runs | updater | unzip | floor |")
        add("|---|---:|---:|---:|---:|---|---|---|")
        for name, result in self.ordered():
            cells = []
            for who in ("updater", "unzip", "floor"):
                s = summary(result["times"][who])
                cells.append("%.3f / %.3f / %.3f" % (s["median"], s["min"], s["max"]))
            add("| %s | %d | %.1f MiB | %.1f MiB | %d | %s |"
                % (name, result["files"], mib(result["bytes"] / 1024.0),
                   mib(result["archive_bytes"] / 1024.0), len(result["times"]["updater"]),
                   " | ".join(cells)))
        add("")
        add("Fixed wait inside every updater run: %.0f ms in the mutex wait (one sleep even "
            "when the mutex is free); the end of the unpacking is noticed as it happens. Starting "
            "a program through the launcher costs %.3f s (median; min %.3f, max %.3f; a program "
            "that does nothing), in the updater's and the floor's figures alike."
            % (MUTEX_SLEEP * 1000, idle["launch"]["median"], idle["launch"]["min"],
               idle["launch"]["max"]))
        add("")
        add("Stages of an update, timed with the updater's own code by bench_stages.exe (the "
            "unpacker watched every 1 ms; no mutex wait, browser check or relaunch), median in "
            "seconds; the last column deletes the same old files natively, one after another:")
        add("")
        add("| archive | runs | %s | sum | native deletion of the old files |" % STAGE_HEADINGS)
        add("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for name, result in self.ordered():
            seconds = [result["stages"][k]["seconds"] for k in STAGES]
            add("| %s | %d | %s | %.3f | %.3f |"
                % (name, result["stage_runs"], " | ".join("%.3f" % t for t in seconds),
                   sum(seconds), result["native_deletion"]))
        add("")
        add("Working set of bench_stages.exe after each stage, and its peak, in MiB (median):")
        add("")
        add("| archive | %s | peak |" % STAGE_HEADINGS)
        add("|---|---:|---:|---:|---:|---:|---:|")
        for name, result in self.ordered():
            stages = result["stages"]
            add("| %s | %s | %.1f |"
                % (name, " | ".join("%.1f" % mib(stages[k]["working_set_kib"]) for k in STAGES),
                   mib(stages[STAGES[-1]]["peak_kib"])))
        add("")
        add("Peak resident memory (the kernel's maxrss of each Windows process):")
        add("")
        add("| process | peak | beyond a program that does nothing | beyond one that also "
            "starts COM and loads user32 |")
        add("|---|---:|---:|---:|")
        add("| program that does nothing | %.1f MiB | | |" % mib(idle["plain_kib"]))
        add("| program that starts COM and loads user32 | %.1f MiB | | |" % mib(idle["com_kib"]))
        for name, result in self.ordered():
            peak = result["peak_kib"]
            add("| updater, %s (largest of its runs) | %.1f MiB | %.1f MiB | %.1f MiB |"
                % (name, mib(peak), mib(peak - idle["plain_kib"]), mib(peak - idle["com_kib"])))
        add("")
        for name, check in cross_check.items():
            if check["peak_kib"] is None:
                add("- Cross-check (%s): /usr/bin/time -v gave no figure." % name)
            elif check["accepted"]:
                add("- Cross-check (%s): `/usr/bin/time -v wine Updater.exe` with five plain "
                    "arguments, each holding a blank or empty, so that Wine quotes every one: "
                    "accepted and installed; peak %.1f MiB." % (name, mib(check["peak_kib"])))
            else:
                add("- Cross-check (%s): the updater did not accept Wine's quoting of five "
                    "plain arguments (nothing installed); peak of that run %.1f MiB."
                    % (name, mib(check["peak_kib"])))
        add("")
        add("Targets (measured; the figure in brackets leaves out the fixed wait of %.0f ms):"
            % (MUTEX_SLEEP * 1000))
        add("")
        fixed = MUTEX_SLEEP
        for name, ratio, target in TARGETS:
            if name not in self.results:
                continue
            first, second = ratio.split("/")
            value = self.median(name, first) / self.median(name, second)
            net = (self.median(name, first) - fixed) / self.median(name, second)
            add("- %s %s: %.2f (%.2f), target <= %g: %s"
                % (name, ratio, value, net, target, "met" if value <= target else "MISSED"))
        for name, target in KEYED_TARGETS if self.keyed else []:
            if name not in self.results:
                continue
            value = self.median(name, "keyed") / self.median(name, "updater")
            add("- %s keyed/plain updater: %.2f, target <= %g: %s"
                % (name, value, target, "met" if value <= target else "MISSED"))
        if "many" in self.results and "few" in self.results:
            value = self.median("many", "updater") / self.median("few", "updater")
            net = ((self.median("many", "updater") - fixed) /
                   (self.median("few", "updater") - fixed))
            low, high = MANY_FEW_RANGE
            add("- many/few for the updater: %.2f (%.2f), target %g-%g: %s"
                % (value, net, low, high, "met" if low <= value <= high else "MISSED"))
        if self.results:
            worst = max(r["peak_kib"] for r in self.results.values())
            beyond = mib(worst - idle["plain_kib"])
            add("- peak memory beyond Wine's share (a program that does nothing): %.1f MiB, "
                "target <= %g MiB: %s"
                % (beyond, MEMORY_TARGET_MIB, "met" if beyond <= MEMORY_TARGET_MIB else "MISSED"))
        for error in self.errors:
            add("- FAILED %s" % error)
        add("")
        return "\n".join(lines)


def cpu_model():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def core_count():
    return subprocess.run(["nproc"], stdout=subprocess.PIPE).stdout.decode().strip()


def wine_version():
    return subprocess.run([*WINE, "--version"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL).stdout.decode().strip()


def write_results(path, text, patched=False):
    """Writes the report into the file: the whole-update report before the patched section, or
    that section, keeping the other part."""
    old = ""
    if os.path.exists(path):
        with open(path) as existing:
            old = existing.read()
    at = old.find(PATCHED_SECTION)
    whole, section = (old[:at], old[at:]) if at >= 0 else (old, "")
    if patched:
        section = text
    else:
        whole = text
    with open(path, "w") as out:
        out.write(whole.rstrip("\n") + "\n\n" + section if section else whole)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the build folder of the Windows target")
    parser.add_argument("--quick", action="store_true", help="small archives, one run each")
    parser.add_argument("--rounds", type=int, default=5, help="measured runs per archive")
    parser.add_argument("--stage-rounds", type=int, default=3,
                        help="runs of the stage timer per archive")
    parser.add_argument("--budget", type=int,
                        help="seconds per archive after which no further round starts")
    parser.add_argument("--archives", help="only these archives, comma-separated")
    parser.add_argument("--results", help="also write the report to this file")
    parser.add_argument("--keyed", action="store_true",
                        help="also time an updater with update keys on a signed copy of each archive")
    args = parser.parse_args()
    bench = None
    try:
        bench = Bench(args)
        text = bench.run()
    except BenchError as failure:
        sys.exit("bench: %s" % failure)
    finally:
        if bench is not None:
            bench.close()
    print()
    print(text)
    if args.results:
        write_results(args.results, text)
    if bench.errors:
        sys.exit(1)


if __name__ == "__main__":
    main()
