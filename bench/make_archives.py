#!/usr/bin/env python3
"""Makes the benchmark's update archives, once and deterministically.

For every archive it writes, into <cache>/<name>/:
  <name>.zip    the update: deflate (zlib's default level, 6), an installer at the top level;
                every file is half compressible text, half bytes of a seeded PRNG;
  manifest.txt  "<size>\\t<path>" per file in archive order, paths with '\\' (the I/O floor
                reads it);
  pristine/     the application directory the update replaces: the same names and sizes,
                other bytes;
  stamp         what the archive was made from; a changed generator or set remakes it.

Usage: make_archives.py CACHE [--quick]
"""

import hashlib
import os
import random
import shutil
import sys
import zipfile
import zlib

KIB = 1024
MIB = 1024 * KIB
CHUNK = MIB
STAMP_TIME = (2024, 1, 1, 12, 0, 0)
INSTALLER = ("setup.exe", 96 * KIB)
FOLDERS = 20


def large_layout(payload):
    return [INSTALLER, ("orvandel.dat", payload), ("readme.txt", 3 * KIB),
            ("config/settings.ini", 2 * KIB), ("lang/en.lng", 20 * KIB),
            ("lang/de.lng", 22 * KIB)]


def medium_layout(count):
    per_folder = count // FOLDERS
    return [INSTALLER] + [(f"module{f:02}/file{i:04}.bin", 64 * KIB)
                          for f in range(FOLDERS) for i in range(per_folder)]


def bulk_layout(count):
    """Half of the files in one folder, the other half spread over twenty."""
    half = count // 2
    per_folder = half // FOLDERS
    return ([INSTALLER] + [(f"bulk/item{i:05}.dat", KIB) for i in range(half)] +
            [(f"group{f:02}/item{i:04}.dat", KIB)
             for f in range(FOLDERS) for i in range(per_folder)])


def archive_sets(quick):
    if quick:
        return {"large": large_layout(32 * MIB), "medium": medium_layout(200),
                "many": bulk_layout(2000), "few": bulk_layout(200)}
    return {"large": large_layout(512 * MIB), "medium": medium_layout(2000),
            "many": bulk_layout(20000), "few": bulk_layout(2000)}


def make_text_pool(rng, size):
    """Readable-looking text from a fixed vocabulary: it compresses like real text files."""
    letters = "etaoinshrdlcumwfgypbvkjxqz"
    vocabulary = ["".join(rng.choices(letters, weights=range(26, 0, -1), k=rng.randint(2, 10)))
                  for _ in range(3000)]
    weights = [1.0 / (rank + 1) for rank in range(len(vocabulary))]
    words = rng.choices(vocabulary, weights=weights, k=size // 5)
    lines = [" ".join(words[i:i + 12]) + ".\n" for i in range(0, len(words), 12)]
    pool = "".join(lines).encode("ascii")
    while len(pool) < size:
        pool += pool
    return pool[:size]


def file_chunks(rng, pool, size):
    """The file's first half is text taken from the pool at a random place, the rest random."""
    text_size = size // 2
    offset = rng.randrange(len(pool))
    done = 0
    while done < text_size:
        piece = pool[offset:offset + min(CHUNK, text_size - done)]
        offset = (offset + len(piece)) % len(pool)
        done += len(piece)
        yield piece
    left = size - text_size
    while left > 0:
        piece = min(CHUNK, left)
        left -= piece
        yield rng.randbytes(piece)


def folders_of(layout):
    seen = []
    for path, _ in layout:
        parts = path.split("/")[:-1]
        for depth in range(1, len(parts) + 1):
            folder = "/".join(parts[:depth])
            if folder not in seen:
                seen.append(folder)
    return seen


def write_archive(path, layout, seed):
    rng = random.Random(seed)
    pool = make_text_pool(rng, 4 * MIB)
    folders = set(folders_of(layout))
    written = set()
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for name, size in layout:
            folder = name.rpartition("/")[0]
            if folder in folders and folder not in written:
                entry = zipfile.ZipInfo(folder + "/", STAMP_TIME)
                entry.create_system = 0
                entry.external_attr = 0x10  # FILE_ATTRIBUTE_DIRECTORY
                archive.writestr(entry, b"")
                written.add(folder)
            entry = zipfile.ZipInfo(name, STAMP_TIME)
            entry.create_system = 0
            entry.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE
            entry.compress_type = zipfile.ZIP_DEFLATED  # at zlib's default level, 6
            entry.file_size = size
            with archive.open(entry, "w") as stream:
                for piece in file_chunks(rng, pool, size):
                    stream.write(piece)


def write_pristine(folder, layout):
    old = b"previous version of this file\n" * (MIB // 30 + 1)
    for name, size in layout:
        path = os.path.join(folder, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            left = size
            while left > 0:
                piece = min(len(old), left)
                out.write(old[:piece])
                left -= piece


def make(cache, name, layout):
    here = os.path.join(cache, name)
    with open(__file__, "rb") as source:
        recipe = hashlib.sha256(source.read() + repr((name, layout)).encode()).hexdigest()
    stamp = os.path.join(here, "stamp")
    if os.path.exists(stamp) and open(stamp).read() == recipe:
        return False
    shutil.rmtree(here, ignore_errors=True)
    os.makedirs(here)
    write_archive(os.path.join(here, name + ".zip.part"), layout, zlib.crc32(name.encode()))
    os.rename(os.path.join(here, name + ".zip.part"), os.path.join(here, name + ".zip"))
    with open(os.path.join(here, "manifest.txt"), "w", newline="\n") as manifest:
        for path, size in layout:
            manifest.write(f"{size}\t{path.replace('/', chr(92))}\n")
    write_pristine(os.path.join(here, "pristine"), layout)
    with open(stamp, "w") as out:
        out.write(recipe)
    return True


def main():
    if len(sys.argv) not in (2, 3) or (len(sys.argv) == 3 and sys.argv[2] != "--quick"):
        sys.exit(__doc__)
    cache, quick = sys.argv[1], len(sys.argv) == 3
    for name, layout in archive_sets(quick).items():
        if make(cache, name, layout):
            print(f"made {name} archive in {os.path.join(cache, name)}", flush=True)


if __name__ == "__main__":
    main()
