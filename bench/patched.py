#!/usr/bin/env python3
"""Times a patched update of the large archive's 512 MiB file against the same update with the
file whole, and compares their peak memory.

Version 1.0 is the large archive's application, described; version 2.0 changes its 512 MiB
file in 64 scattered places and inserts 256 KiB halfway. Two partial updates bring 2.0: one
with the file whole, one with it as a patch (made here, with the test-side patch writer's
records: an add over each half and the inserted bytes copied). Each round runs the real
Updater.exe on a fresh copy of 1.0 with either archive and checks that the directory then holds
exactly 2.0. Wine's CNG SHA-256 speed (bench_sha256.exe) gives the cost of the pass over the
installed file that the patched update must make before anything is written; the target leaves
it out:

  (patched - that pass) / whole <= 1.3,   patched peak - whole peak <= 8 MiB

Called by bench/run --patched with Wine's environment set; the cases are made once under
<build>/bench/patched/. The report goes to stdout and, with --results, into its own section at
the end of that file.
"""

import argparse
import datetime
import hashlib
import os
import random
import statistics
import subprocess
import sys
import zipfile
import zlib

import make_archives
import measure

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from patch_writer import header, record  # noqa: E402

MIB = 1024 * 1024
BIG = "orvandel.dat"
PLACES = 64
PLACE_SIZE = 512
INSERTED = 256 * 1024
TARGET_RATIO = 1.3
TARGET_MEMORY_MIB = 8.0


def release_files():
    """Version 1.0's files: the large archive's layout, its bytes made as the archive's are."""
    rng = random.Random(zlib.crc32(b"large"))
    pool = make_archives.make_text_pool(rng, 4 * MIB)
    return {name: b"".join(make_archives.file_chunks(rng, pool, size))
            for name, size in make_archives.large_layout(512 * MIB)}


def changed(old):
    """Version 2.0's large file and the patch that makes it from 1.0's."""
    rng = random.Random(2)
    half = len(old) // 2
    new = bytearray(old)
    add = bytearray(len(old))
    for place in range(PLACES):
        at = place * (len(old) // PLACES) + 4096
        new[at:at + PLACE_SIZE] = rng.randbytes(PLACE_SIZE)
        add[at:at + PLACE_SIZE] = bytes((n - o) & 0xFF for n, o in
                                        zip(new[at:at + PLACE_SIZE], old[at:at + PLACE_SIZE]))
    inserted = rng.randbytes(INSERTED)
    patch = (header(len(old), len(old) + INSERTED) + record(bytes(add[:half]), inserted)
             + record(bytes(add[half:])))
    return bytes(new[:half]) + inserted + bytes(new[half:]), patch


def description(files, patched=None):
    lines = ["orvandel-release %d" % (2 if patched else 1), "version 2.0", "base 1.0"]
    lines += ["file %s" % name for name in files]
    if patched:
        name, old, new = patched
        lines.append("patch %s %s %s %d" % (name, hashlib.sha256(old).hexdigest(),
                                            hashlib.sha256(new).hexdigest(), len(new)))
    return ("\n".join(lines) + "\n").encode()


def write_tree(root, files):
    for name, data in files.items():
        path = os.path.join(root, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data)


def write_zip(path, entries):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries:
            archive.writestr(zipfile.ZipInfo(name, make_archives.STAMP_TIME), data,
                             zipfile.ZIP_DEFLATED)


def make(cache):
    """Per variant (whole, patched): <variant>/pristine (1.0), reference (2.0), manifest.txt,
    <variant>.zip; made once per version of this script and the archives' generator."""
    with open(__file__, "rb") as mine, open(make_archives.__file__, "rb") as theirs:
        recipe = hashlib.sha256(mine.read() + theirs.read()).hexdigest()
    stamp = os.path.join(cache, "stamp")
    if os.path.exists(stamp) and open(stamp).read() == recipe:
        return
    print("making the patched update's cases in %s" % cache, flush=True)
    measure.remove_tree(cache)
    files = release_files()
    names = list(files)
    version_1 = {**files, "orvandel-release.txt": ("orvandel-release 1\nversion 1.0\n" + "".join(
        "file %s\n" % name for name in names)).encode()}
    new, patch = changed(files[BIG])
    variants = {
        "whole": (description(names), new),
        "patched": (description(names, (BIG, files[BIG], new)), patch),
    }
    for variant, (text, entry) in variants.items():
        here = os.path.join(cache, variant)
        write_tree(os.path.join(here, "pristine"), version_1)
        version_2 = {**files, BIG: new, "orvandel-release.txt": text}
        write_tree(os.path.join(here, "reference"), version_2)
        with open(os.path.join(here, "manifest.txt"), "w", newline="\n") as manifest:
            for name, data in version_2.items():
                manifest.write("%d\t%s\n" % (len(data), name.replace("/", "\\")))
        write_zip(os.path.join(here, variant + ".zip"),
                  [("setup.exe", files["setup.exe"]), (BIG, entry), ("orvandel-release.txt", text)])
    with open(stamp, "w") as out:
        out.write(recipe)


def sha256_speed(bench):
    text = subprocess.run([*measure.WINE, os.path.join(bench.build, "bin", "bench_sha256.exe")],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, check=True).stdout.decode()
    return float(text.split()[-1])


def report(results, stages, speed, archive_sizes, rounds, loads):
    whole, patched = (statistics.median(results[v]["times"]) for v in ("whole", "patched"))
    peaks = {v: max(results[v]["peaks"]) / 1024.0 for v in results}
    file_mib = (512 * MIB + INSERTED) / MIB
    sha_pass = 512 * MIB / 1e6 / speed
    net = (patched - sha_pass) / whole
    memory = peaks["patched"] - peaks["whole"]
    lines = [
        measure.PATCHED_SECTION,
        "",
        "- date: %s; load average (1, 5, 15 min) before: %s, after: %s"
        % (datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), *(
            " ".join("%.2f" % value for value in load) for load in loads)),
        "",
        "A partial update of version 2.0 over 1.0, whose %.0f MiB file changed in %d places of %d "
        "bytes and took %d KiB inserted halfway; %d runs each, after a warm-up, on a fresh copy of "
        "1.0 (median, min, max in seconds):" % (file_mib, PLACES, PLACE_SIZE, INSERTED // 1024,
                                                rounds),
        "",
        "| archive | its size | updater | peak memory |",
        "|---|---:|---|---:|",
    ]
    for variant, label in (("whole", "the file whole"), ("patched", "the file as a patch")):
        times = results[variant]["times"]
        lines.append("| %s | %.1f MiB | %.3f / %.3f / %.3f | %.1f MiB |"
                     % (label, archive_sizes[variant] / MIB, statistics.median(times), min(times),
                        max(times), peaks[variant]))
    lines += [
        "",
        "One run of each timed by stages with the updater's own code (bench_stages.exe; opening "
        "and counting includes the check of the installed file that a patch applies to), in "
        "seconds:",
        "",
        "| archive | %s |" % measure.STAGE_HEADINGS,
        "|---|---:|---:|---:|---:|---:|",
    ]
    for variant, label in (("whole", "the file whole"), ("patched", "the file as a patch")):
        lines.append("| %s | %s |" % (label, " | ".join(
            "%.3f" % stages[variant][k]["seconds"] for k in measure.STAGES)))
    lines += [
        "",
        "- Wine's CNG SHA-256 here: %.0f MB/s, so the pass over the installed 512 MiB file costs "
        "%.3f s (Windows' CNG hashes several times faster)." % (speed, sha_pass),
        "- patched / whole: %.2f; beyond that pass: %.2f, target <= %g: %s"
        % (patched / whole, net, TARGET_RATIO, "met" if net <= TARGET_RATIO else "MISSED"),
        "- peak memory, patched beyond whole: %.1f MiB, target <= %g MiB: %s"
        % (memory, TARGET_MEMORY_MIB, "met" if memory <= TARGET_MEMORY_MIB else "MISSED"),
        "",
    ]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the build folder of the Windows target")
    parser.add_argument("--rounds", type=int, default=3, help="measured runs per archive")
    parser.add_argument("--results", help="also write the report into this file's section")
    args = parser.parse_args()
    cache = os.path.join(os.path.abspath(args.build), "bench", "patched")
    make(cache)
    loads = [os.getloadavg()]
    bench = measure.Bench(argparse.Namespace(
        build=args.build, quick=False, rounds=args.rounds, keyed=False, stage_rounds=0,
        budget=None, archives=None))
    try:
        bench.cache = cache
        speed = sha256_speed(bench)
        results = {v: {"times": [], "peaks": []} for v in ("whole", "patched")}
        for round_number in range(args.rounds + 1):
            for variant in ("whole", "patched"):
                here = os.path.join(cache, variant)
                seconds, peak = bench.run_updater(
                    variant, measure.read_manifest(os.path.join(here, "manifest.txt")),
                    os.path.join(here, "reference"), archive=os.path.join(here, variant + ".zip"))
                print("  %-7s %-7s updater %7.3f s  peak %.1f MiB"
                      % (variant, "warm-up" if round_number == 0 else "run %d" % round_number,
                         seconds, peak / 1024.0), flush=True)
                if round_number > 0:
                    results[variant]["times"].append(seconds)
                    results[variant]["peaks"].append(peak)
        stages = {}
        for variant in ("whole", "patched"):
            manifest = measure.read_manifest(os.path.join(cache, variant, "manifest.txt"))
            stages[variant] = bench.run_stages(variant, manifest)
            print("  %-7s stages  %s" % (variant, "  ".join(
                "%s %.3f s" % (k, stages[variant][k]["seconds"]) for k in measure.STAGES)),
                flush=True)
        measure.remove_tree(bench.app_dir)
    except measure.BenchError as failure:
        sys.exit("bench: %s" % failure)
    finally:
        bench.close()
    loads.append(os.getloadavg())
    sizes = {v: os.path.getsize(os.path.join(cache, v, v + ".zip")) for v in results}
    text = report(results, stages, speed, sizes, args.rounds, loads)
    print()
    print(text)
    if args.results:
        measure.write_results(args.results, text, patched=True)


if __name__ == "__main__":
    main()
