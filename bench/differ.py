"""The release tool's differ against bsdiff: patch sizes, time and peak memory on the same pairs.

bench/differ drives this. Pairs: a 200 MB file made of the system's libraries, changed in
scattered places, and the files of real releases: Debian's packages of a TLS library, an HTTP
client, an XML parser and the C library, each in two point versions fetched with apt-get
download. Our patch travels deflated (zlib level 9, raw, as the release tool's zip writer
deflates), bsdiff's as bsdiff writes it (bzip2).
"""

import argparse
import datetime
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zlib
from pathlib import Path

# Two point versions of each package, as Debian 12's archive and its security archive hold them.
RELEASES = [
    ("TLS library", "libssl3", "3.0.17-1~deb12u2", "3.0.20-1~deb12u2"),
    ("HTTP client", "libcurl4", "7.88.1-10+deb12u5", "7.88.1-10+deb12u15"),
    ("XML parser", "libxml2", "2.9.14+dfsg-1.3~deb12u4", "2.9.14+dfsg-1.3~deb12u6"),
    ("C library", "libc6", "2.36-9+deb12u7", "2.36-9+deb12u14"),
]
LARGE_SIZE = 200 * 1000 * 1000
# Files below this size are not worth a patch's table row; pack diffs them all the same.
SMALLEST_PAIR = 16 * 1024

TARGET_OVERALL = 1.15
TARGET_PAIR = 1.25
TARGET_SHARE = 0.15
TARGET_TIME = 0.5
TARGET_MEMORY = 6.0


def run_measured(command, folder):
    """Runs the command under /usr/bin/time; its wall time in seconds and peak resident memory
    in bytes (a child forked from this Python would count Python's pages as its own)."""
    figures = folder / "time.txt"
    done = subprocess.run(["/usr/bin/time", "-f", "%e %M", "-o", str(figures), *map(str, command)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        sys.exit(f"bench/differ: {' '.join(map(str, command))} failed: {done.stderr.strip()}")
    elapsed, peak = figures.read_text().split()[-2:]
    return float(elapsed), int(peak) * 1024


def deflated_size(path):
    deflater = zlib.compressobj(9, zlib.DEFLATED, -15, 8)
    size = 0
    with open(path, "rb") as source:
        while piece := source.read(1 << 20):
            size += len(deflater.compress(piece))
    return size + len(deflater.flush())


def make_large_pair(folder):
    """Old: the system's shared libraries one after another up to LARGE_SIZE bytes; new: the
    same with 300 edits in scattered places (bytes changed, blocks inserted and deleted)."""
    old = bytearray()
    libraries = sorted(Path("/usr/lib/x86_64-linux-gnu").glob("*.so*"))
    for library in libraries:
        if library.is_file() and not library.is_symlink():
            old += library.read_bytes()
        if len(old) >= LARGE_SIZE:
            break
    while len(old) < LARGE_SIZE:
        old += old[: LARGE_SIZE - len(old)]
    del old[LARGE_SIZE:]
    chooser = random.Random(29)
    new = bytearray(old)
    for _ in range(300):
        at = chooser.randrange(len(new) - 8192)
        kind = chooser.randrange(3)
        length = chooser.randrange(1, 4096)
        if kind == 0:
            new[at : at + length] = bytes(chooser.randrange(256) for _ in range(length))
        elif kind == 1:
            new[at:at] = bytes(chooser.randrange(256) for _ in range(length))
        else:
            del new[at : at + length]
    (folder / "large.old").write_bytes(old)
    (folder / "large.new").write_bytes(new)
    return (None, "200 MB", folder / "large.old", folder / "large.new")


def release_pairs(folder):
    """The files of each package that both versions hold and that differ."""
    pairs = []
    for what, package, older, newer in RELEASES:
        trees = []
        for version in (older, newer):
            download = folder / "debs" / f"{package}-{version}"
            download.mkdir(parents=True, exist_ok=True)
            fetched = subprocess.run(
                ["apt-get", "download", f"{package}={version}"],
                cwd=download, capture_output=True, text=True)
            debs = list(download.glob("*.deb"))
            if fetched.returncode != 0 or not debs:
                sys.exit(f"bench/differ: apt-get download {package}={version} failed: "
                         f"{fetched.stderr.strip()}")
            tree = download / "tree"
            subprocess.run(["dpkg-deb", "-x", str(debs[0]), str(tree)], check=True)
            trees.append(tree)
        for old in sorted(trees[0].rglob("*")):
            if not old.is_file() or old.is_symlink():
                continue
            new = trees[1] / old.relative_to(trees[0])
            if (new.is_file() and not new.is_symlink() and new.stat().st_size >= SMALLEST_PAIR
                    and old.read_bytes() != new.read_bytes()):
                pairs.append((f"{what}: {package} {older} to {newer}", old.name, old, new))
    return pairs


def measure(differ, pair, folder):
    release, name, old, new = pair
    ours = folder / "ours.patch"
    theirs = folder / "theirs.patch"
    our_time, our_memory = run_measured([differ, old, new, ours], folder)
    their_time, their_memory = run_measured(["bsdiff", old, new, theirs], folder)
    row = {
        "release": release,
        "name": name,
        "old": old.stat().st_size,
        "new": new.stat().st_size,
        "whole": deflated_size(new),
        "ours": deflated_size(ours),
        "theirs": theirs.stat().st_size,
        "our_time": our_time,
        "their_time": their_time,
        "our_memory": our_memory,
        "their_memory": their_memory,
    }
    print(f"{release or ''} {name}: ours {row['ours']} bytes in {our_time:.2f} s, bsdiff {row['theirs']} bytes "
          f"in {their_time:.2f} s, whole {row['whole']} bytes", flush=True)
    return row


def ratio(a, b):
    return a / b if b else float("nan")


def file_row(row):
    return (f"| {row['name']} | {row['new']} | {row['whole']} | {row['theirs']} | {row['ours']} "
            f"| {ratio(row['ours'], row['theirs']):.3f} | {ratio(row['ours'], row['whole']):.3f} "
            f"| {row['our_time']:.2f} s | {row['their_time']:.2f} s "
            f"| {ratio(row['our_time'], row['their_time']):.2f} "
            f"| {ratio(row['our_memory'], row['old']):.2f} "
            f"| {ratio(row['their_memory'], row['old']):.2f} |")


def measure_pack(tool, pair, folder):
    """pack --from on the pair as a release of one file: the whole of what the tool does for a
    patched file (reading the previous archive, the diff, both deflate measurements, the
    self-check, the hashes and the archive's writing)."""
    _, _, old, new = pair
    for version, source in (("1", old), ("2", new)):
        release = folder / f"release-{version}"
        release.mkdir()
        (release / "setup.exe").write_bytes(b"MZ")
        os.link(source, release / "large.bin")
    full = folder / "full.zip"
    subprocess.run([tool, "pack", "--version", "1", folder / "release-1", full], check=True,
                   capture_output=True)
    partial = folder / "partial.zip"
    elapsed, peak = run_measured([tool, "pack", "--version", "2", "--from", full,
                                  folder / "release-2", partial], folder)
    print(f"pack --from of the 200 MB pair: {elapsed:.2f} s, {peak} bytes at the peak, "
          f"{partial.stat().st_size} bytes", flush=True)
    return {"time": elapsed, "memory": peak, "old": old.stat().st_size,
            "archive": partial.stat().st_size}


def report(rows, started, quick, packed=None):
    large = [row for row in rows if row["release"] is None]
    real = [row for row in rows if row["release"] is not None]
    lines = [
        "## The release tool's differ against bsdiff",
        "",
        f"- date: {started:%Y-%m-%d %H:%M}, by bench/differ{' --quick' if quick else ''}",
        f"- machine: {os.cpu_count()} cores, load average before: "
        f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}",
        "- ours: the patch as pack makes it, deflated (zlib level 9) as its zip entry is; "
        "bsdiff: Debian's bsdiff 4.3, bzip2; whole: the new file deflated. Memory: peak "
        "resident set over the old file's size (for files of a few MB the program's own few "
        "MiB and buffers dominate it); time: wall clock of one run.",
        "",
    ]
    header = ["| pair | new bytes | whole | bsdiff | ours | ours/bsdiff | ours/whole "
              "| time ours | time bsdiff | time ratio | memory ours/old | memory bsdiff/old |",
              "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    if large:
        lines += ["The 200 MB pair:", "", *header, *map(file_row, large), ""]
    if real:
        lines += [
            "Real releases, each the sum of the files that changed between the two versions "
            "(all files that both versions hold and that differ):",
            "",
            "| release | files | new bytes | whole | bsdiff | ours | ours/bsdiff | ours/whole "
            "| time ours | time bsdiff |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
        ]
        releases = {}
        for row in real:
            releases.setdefault(row["release"], []).append(row)
        for name, members in [*releases.items(), ("all", real)]:
            total = {key: sum(row[key] for row in members)
                     for key in ("new", "whole", "theirs", "ours", "our_time", "their_time")}
            lines.append(
                f"| {name} | {len(members)} | {total['new']} | {total['whole']} "
                f"| {total['theirs']} | {total['ours']} "
                f"| {ratio(total['ours'], total['theirs']):.3f} "
                f"| {ratio(total['ours'], total['whole']):.3f} | {total['our_time']:.2f} s "
                f"| {total['their_time']:.2f} s |")
        biggest = sorted(real, key=lambda row: -row["new"])[:12]
        lines += ["", "Their largest files:", "", *header, *map(file_row, biggest), ""]
        ours = sum(row["ours"] for row in real)
        theirs = sum(row["theirs"] for row in real)
        whole = sum(row["whole"] for row in real)
        worst = max(releases.items(),
                    key=lambda item: ratio(sum(r["ours"] for r in item[1]),
                                           sum(r["theirs"] for r in item[1])))
        worst_ratio = ratio(sum(r["ours"] for r in worst[1]), sum(r["theirs"] for r in worst[1]))
        worst_file = max(real, key=lambda row: ratio(row["ours"], row["theirs"]))
        lines += [
            f"In all ours/bsdiff {ratio(ours, theirs):.3f} (target at most {TARGET_OVERALL}); "
            f"worst release {worst_ratio:.3f} ({worst[0]}; target at most {TARGET_PAIR}); "
            f"ours/whole in all {ratio(ours, whole):.3f} (target at most {TARGET_SHARE}). "
            f"Worst single file: {worst_file['name']}, {worst_file['ours']} bytes against "
            f"bsdiff's {worst_file['theirs']} ({ratio(worst_file['ours'], worst_file['theirs']):.2f}).",
            "",
        ]
    for row in large:
        lines += [
            f"200 MB pair: time ours/bsdiff {ratio(row['our_time'], row['their_time']):.2f} "
            f"(target at most {TARGET_TIME}), memory ours {ratio(row['our_memory'], row['old']):.2f}"
            f" times the old file (target at most {TARGET_MEMORY}), bsdiff's "
            f"{ratio(row['their_memory'], row['old']):.2f}; patch ours/bsdiff "
            f"{ratio(row['ours'], row['theirs']):.3f}.",
            "",
        ]
        if packed:
            lines += [
                f"pack --from on the same pair, as a release of that one file (reading the "
                f"previous archive, the diff, deflating patch and file to choose, the "
                f"self-check, the hashes, writing the archive): {packed['time']:.2f} s, "
                f"{ratio(packed['time'], row['their_time']):.2f} times bsdiff's time, in "
                f"{ratio(packed['memory'], packed['old']):.2f} times the old file's size; the "
                f"archive {packed['archive']} bytes.",
                "",
            ]
    return "\n".join(lines)


def write_results(path, section):
    """Puts the section in place of an earlier one of its own, after the rest of the file."""
    heading = section.splitlines()[0]
    text = path.read_text() if path.exists() else ""
    if heading in text:
        before, _, after = text.partition(heading)
        rest = after.split("\n## ", 1)
        text = before + (("## " + rest[1]) if len(rest) > 1 else "")
    path.write_text(text.rstrip("\n") + "\n\n" + section)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--differ", required=True, type=Path)
    parser.add_argument("--tool", type=Path, help="the release tool, to time pack as well")
    parser.add_argument("--results", type=Path)
    parser.add_argument("--quick", action="store_true", help="the real releases only")
    arguments = parser.parse_args()
    if shutil.which("bsdiff") is None:
        sys.exit("bench/differ: bsdiff is not installed (scripts/bootstrap installs it)")
    started = datetime.datetime.now()
    with tempfile.TemporaryDirectory(prefix="orv-differ-") as scratch:
        folder = Path(scratch)
        pairs = release_pairs(folder)
        if not arguments.quick:
            pairs.insert(0, make_large_pair(folder))
        rows = [measure(arguments.differ, pair, folder) for pair in pairs]
        packed = None
        if arguments.tool and not arguments.quick:
            packed = measure_pack(arguments.tool, pairs[0], folder)
    section = report(rows, started, arguments.quick, packed)
    print()
    print(section)
    if arguments.results:
        write_results(arguments.results, section)


if __name__ == "__main__":
    main()
