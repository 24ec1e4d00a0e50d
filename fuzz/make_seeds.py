#!/usr/bin/env python3
"""Writes a few small archives that cover the reader's paths, as a starting corpus, and with a
second folder a few patches against the patch target's old file."""
import io
import struct
import sys
import zipfile
from pathlib import Path

TEXT = b"Orvandel update payload\n" * 40


def archive(path, build):
    with zipfile.ZipFile(path, "w") as zf:
        build(zf)


class Unseekable(io.RawIOBase):
    """Makes zipfile write data descriptors, as streaming writers do."""

    def __init__(self, target):
        self.target = target

    def writable(self):
        return True

    def write(self, data):
        return self.target.write(data)


class UnflaggedUtf8Info(zipfile.ZipInfo):
    """A UTF-8 name without the UTF-8 flag, as Info-ZIP's zip writes it on Unix."""

    def __init__(self, name):
        super().__init__(name)
        self.create_system = 3

    def _encodeFilenameFlags(self):
        return self.filename.encode("utf-8"), self.flag_bits & ~0x800


def main(folder):
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    archive(out / "stored.zip", lambda zf: zf.writestr(
        zipfile.ZipInfo("setup.exe"), TEXT))
    archive(out / "deflated.zip", lambda zf: (
        zf.writestr("bin/", b""),
        zf.writestr("bin/app.dll", TEXT, zipfile.ZIP_DEFLATED),
        zf.writestr("setup.msi", bytes(range(256)) * 8, zipfile.ZIP_DEFLATED)))
    archive(out / "names.zip", lambda zf: (
        zf.writestr("dossier/r\u00e9sum\u00e9.txt", b"utf-8 name"),
        zf.writestr("cafX.txt", b"cp437 name")))
    # zipfile writes every non-ASCII name as UTF-8; a CP437 name needs its bytes patched in.
    names = out / "names.zip"
    names.write_bytes(names.read_bytes().replace(b"cafX.txt", b"caf\x82.txt"))

    # Names as common writers store them: UTF-8 without the flag from a Unix host, tar-style
    # "./" names with their "./" entry, and backslash separators.
    archive(out / "writers.zip", lambda zf: (
        zf.writestr(UnflaggedUtf8Info("./"), b""),
        zf.writestr(UnflaggedUtf8Info("./setup.exe"), TEXT),
        zf.writestr(UnflaggedUtf8Info("lib\\x86\\core.dll"), TEXT),
        zf.writestr(UnflaggedUtf8Info("donn\u00e9es/r\u00e9sum\u00e9.txt"), TEXT)))

    # Lowering the limit makes zipfile use the Zip64 fields and end records for small data.
    limit = zipfile.ZIP64_LIMIT
    zipfile.ZIP64_LIMIT = 64
    try:
        def zip64(zf):
            zf.writestr("big/data.bin", TEXT, zipfile.ZIP_DEFLATED)
            zf.writestr("big/raw.bin", TEXT)
            zf.comment = b"a comment after the end record"
        archive(out / "zip64.zip", zip64)
    finally:
        zipfile.ZIP64_LIMIT = limit

    # A comment in the signature block's form; the digits are no real signature.
    def signed(zf):
        zf.writestr("setup.exe", b"MZ")
        zf.comment = (b"Orvandel update signature v1 key=" + b"0123456789abcdef"
                      + b" ecdsa-p256-sha256=" + b"89abcdef" * 16)
    archive(out / "signed.zip", signed)

    # A partial update that describes itself, and a description on its own.
    description = (b"orvandel-release 1\r\nversion 2.1\nbase 2.0\nfile setup.exe\n"
                   b"file lib/core.dll\nfile donn\xc3\xa9es/notes.txt")
    archive(out / "described.zip", lambda zf: (
        zf.writestr("setup.exe", b"MZ"),
        zf.writestr("orvandel-release.txt", description, zipfile.ZIP_DEFLATED)))
    (out / "description.txt").write_bytes(description)
    patched = (b"orvandel-release 2\nversion 2.1\nbase 2.0\nfile setup.exe\nfile my notes.txt\n"
               b"patch setup.exe " + b"0f" * 32 + b" " + b"a0" * 32 + b" 1534976\n")
    archive(out / "patched.zip", lambda zf: (
        zf.writestr("setup.exe", patch_seeds()[1][1:]),
        zf.writestr("orvandel-release.txt", patched)))
    (out / "description2.txt").write_bytes(patched)

    with open(out / "descriptor.zip", "wb") as raw:
        with zipfile.ZipFile(Unseekable(raw), "w", zipfile.ZIP_DEFLATED) as zf:
            zf.writestr("a/b/c.txt", TEXT)
            zf.writestr("a/d.txt", b"")


# The patch target's old file is this many bytes (fuzz/PatchFuzzTarget.cpp).
OLD_SIZE = 200 * 1024 + 3


def patch(new_size, records, old_size=OLD_SIZE):
    data = b"ORVPATCH" + struct.pack("<IQQ", 1, old_size, new_size)
    for add, copy, seek, add_bytes, copy_bytes in records:
        data += struct.pack("<QQq", add, copy, seek) + add_bytes + copy_bytes
    return data


def patch_seeds():
    """Each seed's first byte chooses the pieces the target feeds the rest in."""
    diff = bytes(range(256)) * 4
    return [
        b"\x00" + patch(0, []),
        b"\x01" + patch(24, [(0, 24, 0, b"", b"copied as they are, 24b")]),
        b"\x02" + patch(2048 + 10, [
            (1024, 10, 65536 - 1024, diff, b"0123456789"),
            (1024, 0, -65536 - 1024, diff, b"")]),
        b"\x03" + patch(70000, [(70000, 0, OLD_SIZE - 70000, b"\x01" * 70000, b"")]),
        b"\x04" + patch(5, [(0, 1, OLD_SIZE, b"", b"x"), (0, 4, -OLD_SIZE, b"", b"yyyy")]),
        b"\x00" + patch(10, [(5, 0, 0, b"\x00" * 5, b""), (0, 5, 0, b"", b"12345")]),
        b"\x05" + patch(10, [(1, 0, -2, b"\x00", b"")]),
        b"\x06" + patch(10, [(2, 2 ** 64 - 1, 0, b"", b"")]),
        b"\x07" + patch(10, [(0, 10, 0, b"", b"0123456789")]) + b"left over",
        b"\x03" + patch(3, [(3, 0, 0, b"abc", b"")], old_size=OLD_SIZE - 1),
    ]


def main_patches(folder):
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    for number, seed in enumerate(patch_seeds()):
        (out / f"patch{number}.bin").write_bytes(seed)


if __name__ == "__main__":
    main(sys.argv[1])
    if len(sys.argv) > 2:
        main_patches(sys.argv[2])
