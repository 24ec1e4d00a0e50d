#!/usr/bin/env python3
"""Writes a few small archives that cover the reader's paths, as a starting corpus."""
import io
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

    with open(out / "descriptor.zip", "wb") as raw:
        with zipfile.ZipFile(Unseekable(raw), "w", zipfile.ZIP_DEFLATED) as zf:
            zf.writestr("a/b/c.txt", TEXT)
            zf.writestr("a/d.txt", b"")


if __name__ == "__main__":
    main(sys.argv[1])
