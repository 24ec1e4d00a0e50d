"""Tests of the release tool: what `check` says about the fixture archives, and that `sign` and
`verify` agree with each other, with OpenSSL's own command line and with the updater's verdicts.

ORV_RELEASE_TOOL is the built tool (scripts/release builds it before these run), ORV_FIXTURES
the folder of test archives, ORV_RELEASE_WORK a scratch folder of this group's own.
"""

import hashlib
import os
import shutil
import struct
import subprocess
import unittest
import zipfile
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parents[2]
TOOL = Path(os.environ.get("ORV_RELEASE_TOOL",
                           SOURCE_ROOT / "build" / "release" / "orvandel-release"))
FIXTURES = Path(os.environ.get("ORV_FIXTURES", SOURCE_ROOT / "build" / "windows-x86" / "fixtures"))
WORK = Path(os.environ.get("ORV_RELEASE_WORK", SOURCE_ROOT / "build" / "release-tests"))

END_SIGNATURE = b"PK\x05\x06"
TAG = "Orvandel update signature v1 key="


def run_tool(*arguments):
    """Exit status and the lines of standard error; standard output must stay empty."""
    done = subprocess.run([str(TOOL), *map(str, arguments)], capture_output=True, text=True,
                          timeout=300)
    return done.returncode, done.stderr.splitlines(), done.stdout


def fresh_folder(name):
    folder = WORK / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def end_record_offset(data):
    at = data.rfind(END_SIGNATURE)
    assert at >= 0, "no end record"
    return at


def signed_range(data):
    """The bytes the signature covers: everything before the end record's comment length."""
    return data[: end_record_offset(data) + 20]


def comment(data):
    return data[end_record_offset(data) + 22 :]


def flip_byte(data, at):
    changed = bytearray(data)
    changed[at] ^= 0x01
    return bytes(changed)


# What `check` prints for each archive that the updater refuses or installs nothing from, before
# its summary line. Names the reader refuses stop it at once; faults of one entry name the entry.
UNSAFE = ["archive refused as a whole: unsafe name"]
NO_INSTALLER = ["no EXE or MSI file at the top level: nothing would be installed"]
REFUSED_FIXTURES = {
    "hostile-duplicate-case.zip": ["archive refused as a whole: duplicate name"],
    "hostile-duplicate-case-folder.zip": ["archive refused as a whole: duplicate name"],
    "hostile-duplicate-exact.zip": ["archive refused as a whole: duplicate name"],
    "hostile-duplicate-after-dot-and-backslash.zip": ["archive refused as a whole: duplicate name"],
    "hostile-duplicate-file-and-folder.zip":
        ["archive refused as a whole: a file and a folder share a name"],
    "hostile-unicode-path-escape.zip": UNSAFE,
    "hostile-truncated-half.zip":
        ["archive refused as a whole: no end of central directory record"],
    "hostile-truncated-end-record.zip":
        ["archive refused as a whole: no end of central directory record"],
    "hostile-not-a-zip.zip": ["archive refused as a whole: no end of central directory record"],
    "hostile-empty-file.zip": ["archive refused as a whole: too short for an archive"],
    "hostile-offset-outside.zip": ["archive refused as a whole: entry data outside the file"],
    "hostile-data-outside.zip": ["archive refused as a whole: entry data outside the file"],
    "hostile-overlapping-entries.zip": ["archive refused as a whole: entries overlap"],
    "hostile-local-name-differs.zip":
        ["archive refused as a whole: local header names another entry"],
    "hostile-flipped-byte.zip": ["data.txt: entry data shorter than declared"],
    "hostile-wrong-crc.zip": ["data.txt: CRC-32 mismatch"],
    "hostile-wrong-crc-deflated.zip": ["data.txt: CRC-32 mismatch"],
    "hostile-declared-smaller.zip": ["data.txt: entry data longer than declared"],
    "hostile-declared-larger.zip": ["data.txt: entry data shorter than declared"],
    "hostile-stored-sizes-differ.zip": ["data.txt: stored entry with two sizes"],
    "hostile-stored-declared-smaller.zip": ["data.txt: stored entry with two sizes"],
    "hostile-encrypted.zip": ["secret.txt: entry is encrypted"],
    "hostile-unknown-method.zip": ["data.txt: unknown compression method"],
    "hostile-bzip2.zip": ["data.txt: unknown compression method"],
    "hostile-description-unlisted.zip":
        ['the archive holds "extra.txt", which the release description does not list'],
    "hostile-description-lists-absent.zip":
        ['the release description lists "docs/readme.txt", which this full update does not hold'],
    "hostile-description-bad-version.zip": [
        'orvandel-release.txt: not a release description the updater reads: line 2: "2.01" is no '
        "version: one to four parts of 0 to 65535, such as 2.1"],
    "hostile-description-dotdot.zip": [
        "orvandel-release.txt: not a release description the updater reads: line 5: "
        '"../escape.txt" is a name the updater refuses'],
    "notupdate-installer-in-folder.zip": NO_INSTALLER,
    "notupdate-folder-named-exe.zip": NO_INSTALLER,
    "notupdate-empty-archive.zip": NO_INSTALLER,
}


def expected_check_lines(name):
    if name in REFUSED_FIXTURES:
        return REFUSED_FIXTURES[name]
    if name.startswith("hostile-name-"):
        return UNSAFE
    return None


class CheckTests(unittest.TestCase):
    def test_every_fixture_the_updater_refuses_gets_its_reason_and_exit_1(self):
        refused = sorted(p for p in FIXTURES.glob("*.zip") if not p.name.startswith("good-"))
        self.assertGreater(len(refused), 40)
        for archive in refused:
            with self.subTest(archive.name):
                lines = expected_check_lines(archive.name)
                self.assertIsNotNone(lines, "a new fixture needs its expected line here")
                status, output, stdout = run_tool("check", archive)
                self.assertEqual(status, 1)
                self.assertEqual(output, lines + [f"{archive}: the updater would not install it"])
                self.assertEqual(stdout, "")

    def test_every_good_fixture_passes(self):
        good = sorted(FIXTURES.glob("good-*.zip"))
        self.assertGreater(len(good), 10)
        for archive in good:
            with self.subTest(archive.name):
                # Info-ZIP's unpacked tree of it, made with the fixtures.
                expected = archive.with_suffix(".expected")
                files = sum(1 for path in expected.rglob("*") if path.is_file())
                status, output, _ = run_tool("check", archive)
                self.assertEqual(status, 0, output)
                noun = "file" if files == 1 else "files"
                self.assertEqual(output,
                                 [f"{archive}: the updater would install it ({files} {noun})"])

    def test_every_damaged_entry_is_reported_and_the_others_still_read(self):
        archive = fresh_folder("several") / "several.zip"
        with zipfile.ZipFile(archive, "w") as writer:
            for name in ["bin/setup.exe", "first.txt", "good.txt", "docs/second.txt"]:
                writer.writestr(zipfile.ZipInfo(name), f"contents of {name}".encode())
        data = archive.read_bytes()
        for name in ["first.txt", "docs/second.txt"]:
            data = flip_byte(data, data.index(f"contents of {name}".encode()))
        archive.write_bytes(data)
        status, output, _ = run_tool("check", archive)
        self.assertEqual(status, 1)
        self.assertEqual(output, NO_INSTALLER + [
            "first.txt: CRC-32 mismatch",
            "docs/second.txt: CRC-32 mismatch",
            f"{archive}: the updater would not install it",
        ])

    def test_usage(self):
        for arguments, status in [
            (["--help"], 0),
            (["check", "--help"], 0),
            ([], 2),
            (["check"], 2),
            (["check", "a.zip", "b.zip"], 2),
            (["check", "--key", "k.pem", "a.zip"], 2),
            (["sign", "a.zip"], 2),
            (["verify", "--key", "k.pem"], 2),
            (["unpack", "a.zip"], 2),
            (["check", FIXTURES / "no-such-archive.zip"], 2),
        ]:
            with self.subTest(arguments):
                got, output, stdout = run_tool(*arguments)
                self.assertEqual(got, status)
                if status == 0:
                    for word in ["check", "sign", "verify", "no signature", "malformed",
                                 "unknown key", "does not match"]:
                        self.assertIn(word, stdout)
                else:
                    self.assertEqual(len(output), 1, output)


def openssl(*arguments):
    subprocess.run(["openssl", *map(str, arguments)], check=True, capture_output=True)


def make_key_pair(folder, name, curve="prime256v1"):
    private = folder / f"{name}.pem"
    public = folder / f"{name}-public.pem"
    openssl("ecparam", "-name", curve, "-genkey", "-noout", "-out", private)
    openssl("ec", "-in", private, "-pubout", "-out", public)
    return private, public


def key_id(public):
    """The first 8 bytes of SHA-256 over the uncompressed point, which ends the DER key."""
    der = subprocess.run(["openssl", "ec", "-pubin", "-in", str(public), "-outform", "DER",
                          "-conv_form", "uncompressed"], check=True, capture_output=True).stdout
    point = der[-65:]
    assert point[0] == 4
    return hashlib.sha256(point).hexdigest()[:16]


class SigningTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = fresh_folder("keys")
        cls.first, cls.first_public = make_key_pair(cls.keys, "first")
        cls.second, cls.second_public = make_key_pair(cls.keys, "second")
        cls.p384, _ = make_key_pair(cls.keys, "p384", "secp384r1")

    def setUp(self):
        self.folder = fresh_folder(self.id().rsplit(".", 1)[-1])

    def copy_fixture(self, name):
        target = self.folder / name
        shutil.copyfile(FIXTURES / name, target)
        return target

    def sign(self, archive, key):
        return run_tool("sign", "--key", key, archive)

    def verify(self, archive, public):
        return run_tool("verify", "--key", public, archive)

    def test_signed_archives_verify_with_openssl_and_stay_ordinary_zips(self):
        for name in ["good-basic.zip", "good-zip64-python.zip", "good-infozip-zip64.zip",
                     "good-descriptors-python.zip"]:
            with self.subTest(name):
                archive = self.copy_fixture(name)
                unsigned = archive.read_bytes()
                status, output, _ = self.sign(archive, self.first)
                self.assertEqual(status, 0, output)
                identifier = key_id(self.first_public)
                self.assertEqual(output[-1], f"{archive}: signed with key {identifier}")
                self.assertEqual(self.verify(archive, self.first_public)[:2],
                                 (0, [f"valid, key {identifier}"]))

                data = archive.read_bytes()
                self.assertEqual(signed_range(data), signed_range(unsigned))
                text = comment(data).decode("ascii")
                self.assertEqual(struct.unpack("<H", data[end_record_offset(data) + 20:][:2])[0],
                                 len(text))
                self.assertRegex(text, f"^{TAG}{identifier} ecdsa-p256-sha256=[0-9a-f]{{128}}$")
                # OpenSSL's own command line agrees on the signed bytes and the signature.
                r_s = bytes.fromhex(text.rsplit("=", 1)[1])
                (self.folder / "range.bin").write_bytes(signed_range(data))
                (self.folder / "signature.der").write_bytes(der_signature(r_s))
                openssl("dgst", "-sha256", "-verify", self.first_public, "-signature",
                        self.folder / "signature.der", self.folder / "range.bin")

                self.assertEqual(run_tool("check", archive)[0], 0)
                for command in [["unzip", "-t", archive], ["unzip", "-l", archive]]:
                    listed = subprocess.run(command, capture_output=True)
                    self.assertEqual(listed.returncode, 0, listed.stdout)

    def test_verify_gives_the_updaters_verdict(self):
        archive = self.copy_fixture("good-basic.zip")
        unsigned = archive.read_bytes()
        self.assertEqual(self.sign(archive, self.first)[0], 0)
        signed = archive.read_bytes()
        end = end_record_offset(signed)
        text = comment(signed)
        cases = [
            ("unsigned", unsigned, self.first_public, "no signature"),
            ("another key", signed, self.second_public, "unknown key"),
            ("entry data", flip_byte(signed, 200), self.first_public, "does not match"),
            ("central directory name", flip_byte(signed, signed.rindex(b"setup.exe")),
             self.first_public, "does not match"),
            ("end record", flip_byte(signed, end + 16), self.first_public, "does not match"),
            ("signature", signed[:-1] + (b"1" if signed.endswith(b"0") else b"0"),
             self.first_public, "does not match"),
            ("data after it", signed + b"x", self.first_public, "malformed"),
            ("no end record", signed[:end], self.first_public, "malformed"),
            ("upper-case hex", signed[: end + 22] + text[:-128] + text[-128:].upper(),
             self.first_public, "malformed"),
        ]
        for case, data, public, verdict in cases:
            with self.subTest(case):
                archive.write_bytes(data)
                self.assertEqual(self.verify(archive, public)[:2], (1, [verdict]))

    def test_sign_replaces_an_earlier_signature(self):
        archive = self.copy_fixture("good-basic.zip")
        self.assertEqual(self.sign(archive, self.first)[0], 0)
        first_size = archive.stat().st_size
        status, output, _ = self.sign(archive, self.second)
        self.assertEqual(status, 0)
        self.assertEqual(output[-1], f"{archive}: signed with key {key_id(self.second_public)}, "
                                     "replacing the earlier signature")
        self.assertEqual(archive.stat().st_size, first_size)
        self.assertEqual(self.verify(archive, self.second_public)[0], 0)
        self.assertEqual(self.verify(archive, self.first_public)[:2], (1, ["unknown key"]))

    def test_sign_leaves_alone_what_it_must_not_sign(self):
        foreign = self.copy_fixture("good-basic.zip")
        with zipfile.ZipFile(foreign, "a") as writer:
            writer.comment = b"built by the nightly job"
        trailing = self.copy_fixture("good-chunks.zip")
        with open(trailing, "ab") as file:
            file.write(b"appended")
        cases = [
            ("foreign comment", foreign, self.first, 1,
             f"{foreign}: not signed: its comment is not a signature, or data follows it"),
            ("data after the comment", trailing, self.first, 1,
             f"{trailing}: not signed: its comment is not a signature, or data follows it"),
            ("refused archive", self.copy_fixture("hostile-wrong-crc.zip"), self.first, 1,
             f"{self.folder / 'hostile-wrong-crc.zip'}: not signed"),
            ("P-384 key", self.copy_fixture("good-dot-msi.zip"), self.p384, 2,
             f"error: {self.p384} is not an ECDSA P-256 (prime256v1) key"),
            ("public key", self.copy_fixture("good-upper-case.zip"), self.first_public, 2,
             f"error: {self.first_public} holds no PEM private key"),
        ]
        for case, archive, key, status, line in cases:
            with self.subTest(case):
                before = archive.read_bytes()
                got, output, _ = self.sign(archive, key)
                self.assertEqual((got, output[-1]), (status, line))
                self.assertEqual(archive.read_bytes(), before)


def der_signature(r_s):
    """r||s as the DER SEQUENCE of two INTEGERs that OpenSSL's command line takes."""

    def integer(value):
        value = value.lstrip(b"\x00") or b"\x00"
        if value[0] & 0x80:
            value = b"\x00" + value
        return bytes([0x02, len(value)]) + value

    body = integer(r_s[:32]) + integer(r_s[32:])
    return bytes([0x30, len(body)]) + body


if __name__ == "__main__":
    unittest.main()
