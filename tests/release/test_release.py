"""Tests of the release tool: what `check` says about the fixture archives, that `sign` and
`verify` agree with each other, with OpenSSL's own command line and with the updater's verdicts,
and that `pack` makes the same bytes from the same release folder, full and partial updates that
`check`, Python's zipfile and Info-ZIP's unzip read, and nothing where it refuses; `show`.

ORV_RELEASE_TOOL is the built tool (scripts/release builds it before these run), ORV_FIXTURES
the folder of test archives, ORV_RELEASE_WORK a scratch folder of this group's own.
"""

import contextlib
import hashlib
import io
import os
import random
import shutil
import signal
import stat
import struct
import subprocess
import time
import unittest
import zipfile
import zlib
from pathlib import Path

SOURCE_ROOT = Path(__file__).resolve().parents[2]
TOOL = Path(os.environ.get("ORV_RELEASE_TOOL",
                           SOURCE_ROOT / "build" / "release" / "orvandel-release"))
FIXTURES = Path(os.environ.get("ORV_FIXTURES", SOURCE_ROOT / "build" / "windows-x86" / "fixtures"))
WORK = Path(os.environ.get("ORV_RELEASE_WORK", SOURCE_ROOT / "build" / "release-tests"))

END_SIGNATURE = b"PK\x05\x06"
TAG = "Orvandel update signature v1 key="


def run_tool(*arguments, **options):
    """Exit status, the lines of standard error and standard output (only show and --help
    print there). Options go to subprocess.run: cwd, env, umask."""
    done = subprocess.run([str(TOOL), *map(str, arguments)], capture_output=True, text=True,
                          timeout=600, **options)
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
# its summary line. Names the reader refuses stop it at once, with the name screen's reason;
# faults of one entry name the entry.
WHOLE = "archive refused as a whole: "
DEVICE = ("a device name of Windows (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$), with "
          "or without an extension")
DOTS = "a name that stands for a folder itself or its parent (. or ..)"
EMPTY = "an empty name, as in a path that starts with a separator or holds two in a row"
REFUSED_CHARACTER = 'a name with a character that Windows refuses in one: \\ / : < > " | ? *'
TRAILING = "a name that ends in a dot or a blank, which Windows drops"
NAME_REASONS = {
    "absolute": EMPTY, "backslash-absolute": EMPTY, "empty-component": EMPTY,
    "dotdot": DOTS, "dotdot-inner": DOTS, "dotdot-only": DOTS, "dot": DOTS, "backslash": DOTS,
    "drive": REFUSED_CHARACTER, "drive-relative": REFUSED_CHARACTER,
    "alternate-stream": REFUSED_CHARACTER, "reserved-question": REFUSED_CHARACTER,
    "reserved-angle": REFUSED_CHARACTER, "reserved-quote": REFUSED_CHARACTER,
    "device-con": DEVICE, "device-nul-extension": DEVICE, "device-in-folder": DEVICE,
    "device-lpt": DEVICE, "device-aux-folder": DEVICE,
    "control-character": "a name with a control character, which Windows refuses in one",
    "trailing-dot": TRAILING, "trailing-blank": TRAILING,
    "short-name-alias": "an 8.3 name with a ~, which may be the short name of another file",
    "deep-nesting": "a path of more than 32767 UTF-16 units, longer than Windows takes",
}
NO_INSTALLER = ["no EXE or MSI file at the top level: nothing would be installed"]


def duplicate(later, earlier):
    return [f"{WHOLE}{later}: the same name as {earlier}, as Windows compares names (ignoring case)"]


REFUSED_FIXTURES = {
    "hostile-duplicate-case.zip": duplicate("README.TXT", "Readme.txt"),
    "hostile-duplicate-case-folder.zip": duplicate("docs/A.txt", "Docs/a.txt"),
    "hostile-duplicate-case-vietnamese.zip": duplicate(
        "H\u01af\u1edaNG D\u1eaaN.txt", "h\u01b0\u1edbng d\u1eabn.txt"),
    "hostile-duplicate-case-beyond-latin.zip": duplicate(
        "\u01c4\u2160\u24b6\u0531.txt", "\u01c6\u2170\u24d0\u0561.txt"),
    "hostile-duplicate-exact.zip": duplicate("same.txt", "same.txt"),
    "hostile-duplicate-after-dot-and-backslash.zip": duplicate("./a\\b.txt", "a/b.txt"),
    "hostile-duplicate-file-and-folder.zip": [WHOLE + "ITEM/inside.txt: a file and a folder share a name"],
    "hostile-unicode-path-escape.zip": [WHOLE + "../orvandel-escape.txt: " + DOTS],
    "hostile-truncated-half.zip": [WHOLE + "no end of central directory record"],
    "hostile-truncated-end-record.zip": [WHOLE + "no end of central directory record"],
    "hostile-not-a-zip.zip": [WHOLE + "no end of central directory record"],
    "hostile-empty-file.zip": [WHOLE + "too short for an archive"],
    "hostile-offset-outside.zip": [WHOLE + "data.txt: entry data outside the file"],
    "hostile-data-outside.zip": [WHOLE + "data.txt: entry data outside the file"],
    "hostile-overlapping-entries.zip": [WHOLE + "b001.bin: entries overlap"],
    "hostile-local-name-differs.zip": [WHOLE + "data.txt: local header names another entry"],
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
    "refused-description-unlisted.zip":
        ['the archive holds "extra.txt", which the release description does not list'],
    "refused-description-lists-absent.zip":
        ['the release description lists "docs/readme.txt", which this full update does not hold'],
    "refused-description-bad-version.zip": [
        'orvandel-release.txt: not a release description the updater reads: line 2: "2.01" is no '
        "version: one to four parts of 0 to 65535, such as 2.1"],
    "refused-description-dotdot.zip": [
        "orvandel-release.txt: not a release description the updater reads: line 5: "
        f'"../escape.txt" is a name the updater refuses: ".." is {DOTS}'],
    "refused-description-below-base.zip": [
        "orvandel-release.txt: not a release description the updater reads: line 3: version 2.0 "
        "is below its base 3.0, so no installed version can take it"],
    "notupdate-installer-in-folder.zip": NO_INSTALLER,
    "notupdate-folder-named-exe.zip": NO_INSTALLER,
    "notupdate-empty-archive.zip": NO_INSTALLER,
}


def expected_check_lines(name):
    if name in REFUSED_FIXTURES:
        return REFUSED_FIXTURES[name]
    return None


def refused_name_reason(name):
    """The name screen's reason for a fixture of one refused name, which the line gives after
    the name."""
    if not name.startswith("hostile-name-"):
        return None
    return NAME_REASONS.get(name.removeprefix("hostile-name-").removesuffix(".zip"))


class CheckTests(unittest.TestCase):
    def test_every_fixture_the_updater_refuses_gets_its_reason_and_exit_1(self):
        refused = sorted(p for p in FIXTURES.glob("*.zip") if not p.name.startswith("good-"))
        self.assertGreater(len(refused), 40)
        for archive in refused:
            with self.subTest(archive.name):
                status, output, stdout = run_tool("check", archive)
                self.assertEqual(status, 1)
                if reason := refused_name_reason(archive.name):
                    self.assertEqual(len(output), 2, output)
                    self.assertTrue(output[0].startswith(WHOLE), output[0])
                    self.assertTrue(output[0].endswith(": " + reason), output[0])
                    lines = output[:1]
                else:
                    lines = expected_check_lines(archive.name)
                    self.assertIsNotNone(lines, "a new fixture needs its expected line here")
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

    def test_help_says_what_each_command_does(self):
        for arguments in [["--help"], ["check", "--help"]]:
            with self.subTest(arguments):
                status, output, stdout = run_tool(*arguments)
                self.assertEqual((status, output), (0, []))
                for word in ["publish", "--partials", "releases.txt", "choose", "pack", "--from",
                             "show", "check", "sign", "verify",
                             "SOURCE_DATE_EPOCH", "no signature", "malformed", "unknown key",
                             "does not match"]:
                    self.assertIn(word, stdout)

    def test_every_mistake_on_the_command_line_is_named(self):
        missing = FIXTURES / "no-such-archive.zip"
        for arguments, lines in [
            ([], ["usage error: no command", USAGE]),
            (["unpack", "a.zip"], ["usage error: no command unpack", USAGE]),
            (["check"], ["usage error: check takes ARCHIVE, not 0 paths", USAGE]),
            (["check", "a.zip", "b.zip"], ["usage error: check takes ARCHIVE, not 2 paths", USAGE]),
            (["check", "--key", "k.pem", "a.zip"], ["usage error: check takes no --key", USAGE]),
            (["show", "--from", "p.zip", "a.zip"], ["usage error: show takes no --from", USAGE]),
            (["sign", "a.zip"], ["usage error: sign needs --key", USAGE]),
            (["verify", "--key", "k.pem"], ["usage error: verify takes ARCHIVE, not 0 paths", USAGE]),
            (["pack", "folder", "out.zip"], ["usage error: pack needs --version", USAGE]),
            (["pack", "--version", "2", "folder"],
             ["usage error: pack takes FOLDER OUT.zip, not 1 path", USAGE]),
            (["pack", "--version", "2", "--version", "3", "folder", "out.zip"],
             ["usage error: --version is given twice", USAGE]),
            (["pack", "folder", "out.zip", "--version"], ["usage error: --version needs a value", USAGE]),
            (["check", "--quiet", "a.zip"], ["usage error: no option --quiet", USAGE]),
            (["pack", "--version", "2.01", FIXTURES, WORK / "out.zip"],
             ["error: --version 2.01 is no version: one to four parts of 0 to 65535, such as 2.1"]),
            (["check", missing], [f"error: cannot open {missing}: No such file or directory"]),
        ]:
            with self.subTest(arguments):
                self.assertEqual(run_tool(*arguments), (2, lines, ""))

    def test_a_message_that_cannot_be_written_fails_the_run(self):
        archive = FIXTURES / "good-description-full.zip"
        for command, stream in [("show", "stdout"), ("check", "stderr"), ("--help", "stdout")]:
            with self.subTest(command), open("/dev/full", "w") as full:
                arguments = [command, archive] if command != "--help" else [command]
                streams = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, stream: full}
                done = subprocess.run([str(TOOL), *map(str, arguments)], timeout=60, **streams)
                self.assertEqual(done.returncode, 2)
        # A closed descriptor is not taken by a file of the tool's own, whose bytes the messages
        # would then corrupt.
        folder = fresh_folder("closed-stderr")
        release = write_release(folder / "release", {"setup.exe": b"MZ", "a": b"a"})
        out = folder / "out.zip"
        done = subprocess.run([str(TOOL), "pack", "--version", "1", str(release), str(out)],
                              timeout=60, preexec_fn=lambda: os.close(2))
        self.assertEqual(done.returncode, 2)
        self.assertEqual(run_tool("check", out)[0], 0)
        # A reader that goes away before the report is written.
        reader = subprocess.Popen([str(TOOL), "show", str(archive)], stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        reader.stdout.close()
        self.assertEqual(reader.wait(timeout=60), 2)


USAGE = "usage: scripts/release pack|publish|choose|show|check|sign|verify ... (--help says more)"


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


    @unittest.skipUnless(os.geteuid() == 0, "mounts a small file system")
    def test_sign_on_a_full_disk_leaves_the_archive_as_it_was(self):
        release = write_release(self.folder / "release", {"setup.exe": random.randbytes(400000)})
        archive = self.folder / "archive.zip"
        self.assertEqual(pack(release, archive, "1")[0], 0)
        with mounted_tmpfs(self.folder / "small", "size=600k") as small:
            target = small / "archive.zip"
            shutil.copyfile(archive, target)
            status, output, _ = self.sign(target, self.first)
            self.assertEqual(status, 2)
            self.assertRegex(output[-1], f"^error: cannot write {target}.incomplete-.*: No space "
                                         "left on device$")
            self.assertEqual(target.read_bytes(), archive.read_bytes())
            self.assertEqual(temporaries_beside(target), [])

    def test_sign_keeps_the_archives_mode_and_writes_through_a_link(self):
        archive = self.copy_fixture("good-basic.zip")
        archive.chmod(0o640)
        link = self.folder / "link.zip"
        link.symlink_to(archive)
        self.assertEqual(self.sign(link, self.first)[0], 0)
        self.assertTrue(link.is_symlink())
        self.assertEqual(stat.S_IMODE(archive.stat().st_mode), 0o640)
        self.assertEqual(self.verify(archive, self.first_public)[0], 0)
        self.assertEqual(temporaries_beside(archive), [])


def der_signature(r_s):
    """r||s as the DER SEQUENCE of two INTEGERs that OpenSSL's command line takes."""

    def integer(value):
        value = value.lstrip(b"\x00") or b"\x00"
        if value[0] & 0x80:
            value = b"\x00" + value
        return bytes([0x02, len(value)]) + value

    body = integer(r_s[:32]) + integer(r_s[32:])
    return bytes([0x30, len(body)]) + body


DESCRIPTION = "orvandel-release.txt"


def write_release(folder, files, order=sorted):
    """files: relative path -> bytes, or None for an empty folder; made in the given order."""
    for relative in order(files):
        path = folder / relative
        if files[relative] is None:
            path.mkdir(parents=True, exist_ok=True)
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(files[relative])
    return folder


def pack(folder, out, version, *options, **run_options):
    return run_tool("pack", "--version", version, *options, folder, out, **run_options)


def read_description(archive):
    with zipfile.ZipFile(archive) as reader:
        return reader.read(DESCRIPTION).decode().splitlines()


def described(version, files, base=None):
    return (["orvandel-release 1", f"version {version}"] + ([f"base {base}"] if base else []) +
            [f"file {name}" for name in sorted(files, key=str.encode)])


def release_files(seed):
    """A release of every kind of entry: random bytes that deflate cannot shrink, text that it
    can, an empty file, an empty folder, names that are not ASCII."""
    rng = random.Random(seed)
    return {
        "setup.exe": rng.randbytes(70000),
        "Orvandel.exe": rng.randbytes(30000),
        "readme.txt": b"Orvandel release notes\n" * 400,
        "docs/guide/intro.txt": b"how to use it " * 2000,
        "data/empty.bin": b"",
        "logs": None,
        "Ünïcødé/日本語.txt": "Orvandel auf Deutsch und 日本語\n".encode() * 50,
        "plugins/en/strings.txt": b"strings\n" * 100,
    }


class PackTests(unittest.TestCase):
    def setUp(self):
        self.folder = fresh_folder(self.id().rsplit(".", 1)[-1])

    def test_the_same_folder_gives_the_same_bytes_whatever_its_files_times_and_order(self):
        files = release_files(1)
        first = write_release(self.folder / "first", files)
        # The other made in the opposite order, with other times and modes, from another place.
        second = write_release(self.folder / "second", files, order=lambda f: sorted(f)[::-1])
        for number, path in enumerate(sorted(second.rglob("*"))):
            os.utime(path, (1_000_000_000 + number * 7777, 1_600_000_000 - number * 3333))
            if path.is_file():
                path.chmod(0o600 if number % 2 else 0o755)
        status, output, _ = pack(first, self.folder / "first.zip", "2.1")
        self.assertEqual(status, 0, output)
        self.assertEqual(output, [f"{self.folder / 'first.zip'}: version 2.1, a full update: "
                                  f"7 files, {(self.folder / 'first.zip').stat().st_size} bytes"])
        elsewhere = self.folder / "elsewhere"
        elsewhere.mkdir()
        status, output, _ = pack("../second", "../second.zip", "2.1", cwd=elsewhere,
                                 umask=0o077)
        self.assertEqual(status, 0, output)
        data = (self.folder / "first.zip").read_bytes()
        self.assertEqual((self.folder / "second.zip").read_bytes(), data)

        # Every entry in bytewise order, each with the one time, UTF-8 flagged where not ASCII,
        # no extra field, stored where deflate does not pay; no Zip64 record where none is needed.
        archive = self.folder / "first.zip"
        names = sorted([*[n for n, d in files.items() if d is not None], "logs/", DESCRIPTION],
                       key=str.encode)
        with zipfile.ZipFile(archive) as reader:
            self.assertIsNone(reader.testzip())
            entries = reader.infolist()
        self.assertEqual([entry.filename for entry in entries], names)
        for entry in entries:
            with self.subTest(entry.filename):
                self.assertEqual(entry.date_time, (1980, 1, 1, 0, 0, 0))
                self.assertEqual(entry.flag_bits, 0 if entry.filename.isascii() else 0x800)
                self.assertEqual(entry.extra, b"")
                stored = entry.filename in ("setup.exe", "Orvandel.exe", "data/empty.bin", "logs/")
                self.assertEqual(entry.compress_type,
                                 zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED)
                if not stored:
                    self.assertLess(entry.compress_size, entry.file_size)
        self.assertNotIn(b"PK\x06\x06", data)
        self.assertEqual(read_description(archive),
                         described("2.1", [n for n, d in files.items() if d is not None]))
        self.assertEqual(run_tool("check", archive)[0], 0)
        unpacked = self.folder / "unpacked"
        subprocess.run(["unzip", "-qq", archive, "-d", unpacked], check=True)
        (unpacked / DESCRIPTION).unlink()
        self.assertEqual(tree_of(unpacked), tree_of(first))

        status, output, _ = pack(first, self.folder / "dated.zip", "2.1",
                                 env={**os.environ, "SOURCE_DATE_EPOCH": "1700000000"})
        self.assertEqual(status, 0, output)
        with zipfile.ZipFile(self.folder / "dated.zip") as reader:
            self.assertEqual({entry.date_time for entry in reader.infolist()},
                             {(2023, 11, 14, 22, 13, 20)})

    def test_entries_past_65534_take_the_zip64_end_records(self):
        files = {"setup.exe": b"MZ"}
        files.update({f"f{n // 1000:02}/{n:05}.txt": b"%d" % n for n in range(65533)})
        release = write_release(self.folder / "many", files)
        archive = self.folder / "many.zip"
        status, output, _ = pack(release, archive, "1")
        self.assertEqual(status, 0, output)
        data = archive.read_bytes()
        self.assertIn(b"PK\x06\x06", data[-200:])
        self.assertEqual(run_tool("check", archive)[:2],
                         (0, [f"{archive}: the updater would install it (65535 files)"]))
        with zipfile.ZipFile(archive) as reader:
            self.assertEqual(len(reader.infolist()), 65535)
        self.assertEqual(subprocess.run(["unzip", "-tqq", archive]).returncode, 0)

    def test_a_partial_update_holds_the_changed_and_new_files_and_the_installers(self):
        old = release_files(2)
        old.update({"Helper.MSI": b"MSI stand-in", "bin/tool.exe": b"MZ tool",
                    "ReadMe.first": b"case", "old/dropped.dll": b"MZ dropped"})
        new = dict(old)
        del new["old/dropped.dll"], new["ReadMe.first"]
        same_size = bytearray(old["docs/guide/intro.txt"])
        same_size[-1] ^= 1
        new.update({"docs/guide/intro.txt": bytes(same_size), "readme.txt": b"shorter",
                    "plugins/de/strings.txt": b"neu", "README.first": b"case"})
        full = self.folder / "full.zip"
        self.assertEqual(pack(write_release(self.folder / "v1", old), full, "1.0")[0], 0)
        partial = self.folder / "partial.zip"
        # Whole, as these files are small enough to read here; PatchTests make patches.
        status, output, _ = pack(write_release(self.folder / "v2", new), partial, "1.0.1",
                                 "--from", full, "--whole")
        self.assertEqual(status, 0, output)
        self.assertEqual(output, [
            f"{partial}: version 1.0.1, a partial update for version 1.0: 7 of its 11 files, "
            f"{partial.stat().st_size} bytes; installing it removes 1 file of version 1.0"])
        with zipfile.ZipFile(partial) as reader:
            names = reader.namelist()
        self.assertEqual(names, sorted(
            ["Helper.MSI", "Orvandel.exe", "README.first", "docs/guide/intro.txt", "logs/",
             DESCRIPTION, "plugins/de/strings.txt", "readme.txt", "setup.exe"], key=str.encode))
        self.assertEqual(read_description(partial),
                         described("1.0.1", [n for n, d in new.items() if d is not None], "1.0"))
        self.assertEqual(run_tool("check", partial)[0], 0)

    def test_refused_folders_and_bases_leave_the_output_as_it_was(self):
        good = write_release(self.folder / "good", {"setup.exe": b"MZ", "a.txt": b"a"})
        full = self.folder / "full.zip"
        partial = self.folder / "partial.zip"
        self.assertEqual(pack(good, full, "1.0")[0], 0)
        self.assertEqual(pack(good, partial, "1.1", "--from", full)[0], 0)
        hostile = write_release(self.folder / "hostile", {
            "setup.exe": b"MZ", "a?b.txt": b"", "CON": b"", "name.": b"", "back\\slash": b"",
            "Docs/a.txt": b"", "docs/b.txt": b"", "ORVANDEL-RELEASE.TXT": b"",
            "h\u01b0\u1edbng d\u1eabn.txt": b"", "H\u01af\u1edaNG D\u1eaaN.txt": b""})
        (hostile / b"\xff.txt".decode("utf-8", "surrogateescape")).write_bytes(b"")
        (hostile / "link.dll").symlink_to("/etc/passwd")
        cases = [
            ("no installer", write_release(self.folder / "none", {"bin/setup.exe": b"MZ"}), [],
             NO_INSTALLER),
            ("names", hostile, [], [
                f"CON: a name the updater refuses: {DEVICE}",
                "ORVANDEL-RELEASE.TXT: pack writes the release description itself: take this "
                "one out of the folder",
                f"a?b.txt: a name the updater refuses: {REFUSED_CHARACTER}",
                f"back\\slash: a name the updater refuses: {REFUSED_CHARACTER}",
                "docs: the same name as Docs to Windows, which ignores case",
                "h\u01b0\u1edbng d\u1eabn.txt: the same name as H\u01af\u1edaNG D\u1eaaN.txt to "
                "Windows, which ignores case",
                "link.dll: a symbolic link, which pack does not follow: put the file or folder "
                "itself there",
                f"name.: a name the updater refuses: {TRAILING}",
                "\\xFF.txt: the name is not UTF-8, so the updater cannot read it"]),
            ("a file and its backup", write_release(self.folder / "backup", {
                "setup.exe": b"MZ", "x.dll": b"", "x.dll.bak": b""}), [],
             ["archive refused as a whole: x.dll.bak: a file and its backup name"]),
            ("from a partial update", good, ["--from", partial],
             [f"{partial}: a partial update (made for version 1.0), which does not hold every "
              "file of its version"]),
            ("from an archive without a description", good, ["--from", FIXTURES / "good-basic.zip"],
             [f"{FIXTURES / 'good-basic.zip'}: has no release description, so it is no full "
              "update made by pack"]),
            ("from a refused archive", good, ["--from", FIXTURES / "hostile-wrong-crc.zip"],
             [f"{FIXTURES / 'hostile-wrong-crc.zip'}: data.txt: CRC-32 mismatch"]),
            ("from the same version", good, ["--from", full],
             [f"version 1.0 is not above version 1.0 of {full}"]),
        ]
        for case, folder, options, lines in cases:
            with self.subTest(case):
                out = self.folder / "out.zip"
                out.write_bytes(b"the earlier archive")
                status, output, _ = pack(folder, out, "1.0", *options)
                self.assertEqual(output, lines + [f"{out}: not written"])
                self.assertEqual(status, 1)
                self.assertEqual(out.read_bytes(), b"the earlier archive")
                self.assertEqual(list(self.folder.glob("out.zip.*")), [])

    def start_pack_and_wait_for_its_temporary_file(self, release, out):
        tool = subprocess.Popen([str(TOOL), "pack", "--version", "1", str(release), str(out)],
                                stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        while not temporaries_beside(out) and tool.poll() is None:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.01)
        time.sleep(0.2)
        self.assertIsNone(tool.poll(), "the run ended before it could be interrupted")
        return tool

    def test_an_interrupted_pack_leaves_the_output_as_it_was_and_no_temporary_file(self):
        release = write_release(self.folder / "big", {"setup.exe": b"MZ",
                                                      "data.bin": random.randbytes(96 << 20)})
        out = self.folder / "out.zip"
        out.write_bytes(b"the earlier archive")
        for interrupt in [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]:
            with self.subTest(interrupt.name):
                tool = self.start_pack_and_wait_for_its_temporary_file(release, out)
                tool.send_signal(interrupt)
                tool.communicate(timeout=60)
                self.assertEqual(tool.returncode, -interrupt)
                self.assertEqual(out.read_bytes(), b"the earlier archive")
                self.assertEqual(temporaries_beside(out), [])

        # Killed, a run cannot clean up: the next one names what it left and leaves it alone, as
        # it may be another run's.
        tool = self.start_pack_and_wait_for_its_temporary_file(release, out)
        tool.kill()
        tool.communicate(timeout=60)
        self.assertEqual(out.read_bytes(), b"the earlier archive")
        [leftover] = temporaries_beside(out)
        small = write_release(self.folder / "small", {"setup.exe": b"MZ"})
        status, output, _ = pack(small, out, "1")
        self.assertEqual(status, 0, output)
        self.assertEqual(output[0], f"warning: {leftover}: a temporary file of a run that was "
                                    "killed, or of one still going; not removed")
        self.assertEqual(temporaries_beside(out), [leftover])

    def test_an_output_that_is_an_input_or_no_file_is_refused_before_any_work(self):
        keys = fresh_folder("output-keys")
        private, _ = make_key_pair(keys, "key")
        release = write_release(self.folder / "release", {"setup.exe": b"MZ", "a.txt": b"a"})
        full = self.folder / "full.zip"
        self.assertEqual(pack(release, full, "1.0")[0], 0)
        (self.folder / "link.zip").symlink_to(full)
        os.link(release / "a.txt", self.folder / "hard.zip")
        os.mkfifo(self.folder / "fifo.zip")
        (self.folder / "folder.zip").mkdir()
        device = self.folder / "null.zip"
        os.mknod(device, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        before = {path: path.read_bytes() for path in [full, private, release / "a.txt"]}
        from_full = ["--from", full]
        cases = [
            ("the previous update", from_full, full,
             f"{full}: the output would overwrite the previous update given with --from (the "
             "same file)"),
            ("a link to the previous update", from_full, self.folder / "link.zip",
             f"{self.folder / 'link.zip'}: the output would overwrite the previous update given "
             "with --from (the same file)"),
            ("the key", ["--key", private], private,
             f"{private}: the output would overwrite the signing key given with --key (the same "
             "file)"),
            ("a file of the folder by another name", [], self.folder / "hard.zip",
             f"{self.folder / 'hard.zip'}: the output would overwrite the file a.txt of the "
             "release folder (the same file)"),
            ("a device", [], device, f"{device}: a special file, and only a regular file is ever "
                                     "replaced by an output"),
            ("a FIFO", [], self.folder / "fifo.zip",
             f"{self.folder / 'fifo.zip'}: a special file, and only a regular file is ever "
             "replaced by an output"),
            ("a folder", [], self.folder / "folder.zip",
             f"{self.folder / 'folder.zip'}: a folder, and only a regular file is ever replaced "
             "by an output"),
            ("a missing folder", [], self.folder / "missing" / "out.zip",
             f"{self.folder / 'missing' / 'out.zip'}: its folder {self.folder / 'missing'} "
             "cannot be used: No such file or directory"),
        ]
        for case, options, out, line in cases:
            with self.subTest(case):
                status, output, _ = pack(release, out, "2.0", *options)
                self.assertEqual((status, output), (2, [line, f"{out}: not written"]))
                self.assertEqual({path: path.read_bytes() for path in before}, before)
                self.assertTrue(stat.S_ISCHR(device.stat().st_mode))
                self.assertTrue(stat.S_ISFIFO(os.stat(self.folder / "fifo.zip").st_mode))
                self.assertEqual(temporaries_beside(out), [])
        self.assertEqual(tree_of(release), {"setup.exe": b"MZ", "a.txt": b"a"})

    @unittest.skipUnless(os.geteuid() == 0, "mounts a read-only file system")
    def test_an_output_in_a_folder_that_takes_no_files_is_refused(self):
        release = write_release(self.folder / "release", {"setup.exe": b"MZ"})
        with mounted_tmpfs(self.folder / "read-only", "ro") as folder:
            out = folder / "out.zip"
            self.assertEqual(pack(release, out, "1"), (2, [
                f"{out}: its folder {folder} takes no new files: Read-only file system",
                f"{out}: not written"], ""))

    def test_every_unreadable_file_and_folder_is_named_in_one_run(self):
        release = write_release(self.folder / "release", {
            "setup.exe": b"MZ", "a.txt": b"a", "b.txt": b"b", "docs/c.txt": b"c"})
        for path in [release / "a.txt", release / "b.txt", release / "docs"]:
            path.chmod(0)
        self.folder.chmod(0o777)
        try:
            # Root reads everything: the tool runs as nobody.
            as_someone = {"user": 65534} if os.geteuid() == 0 else {}
            status, output, _ = pack(release, self.folder / "out.zip", "1", **as_someone)
        finally:
            for path in [release / "a.txt", release / "b.txt", release / "docs"]:
                path.chmod(0o755)
        self.assertEqual((status, output), (1, [
            "a.txt: cannot be read: Permission denied",
            "b.txt: cannot be read: Permission denied",
            "docs: cannot be read: Permission denied",
            f"{self.folder / 'out.zip'}: not written"]))

    def test_a_partial_update_that_renames_a_file_by_case_only_removes_nothing(self):
        lower, upper = "docs/h\u01b0\u1edbng d\u1eabn.txt", "docs/H\u01af\u1edaNG D\u1eaaN.txt"
        old = write_release(self.folder / "v1", {"setup.exe": b"MZ", lower: b"guide"})
        new = write_release(self.folder / "v2", {"setup.exe": b"MZ", upper: b"guide"})
        full = self.folder / "full.zip"
        partial = self.folder / "partial.zip"
        self.assertEqual(pack(old, full, "1")[0], 0)
        status, output, _ = pack(new, partial, "2", "--from", full)
        self.assertEqual(status, 0, output)
        self.assertEqual(output, [
            f"{partial}: version 2, a partial update for version 1: 2 of its 2 files, "
            f"{partial.stat().st_size} bytes; installing it removes 0 files of version 1"])
        with zipfile.ZipFile(partial) as reader:
            self.assertIn(upper, reader.namelist())

    def test_pack_with_a_key_signs_the_bytes_that_pack_makes_without_one(self):
        keys = fresh_folder("pack-keys")
        private, public = make_key_pair(keys, "key")
        release = write_release(self.folder / "release", release_files(3))
        signed = self.folder / "signed.zip"
        status, output, _ = pack(release, signed, "3", "--key", private)
        self.assertEqual(status, 0, output)
        self.assertEqual(output[-1], f"{signed}: signed with key {key_id(public)}")
        self.assertEqual(run_tool("verify", "--key", public, signed)[0], 0)
        self.assertEqual(pack(release, self.folder / "plain.zip", "3")[0], 0)
        plain = (self.folder / "plain.zip").read_bytes()
        self.assertEqual(signed_range(signed.read_bytes()), signed_range(plain))


class ShowTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = fresh_folder("show")
        private, cls.public = make_key_pair(cls.folder, "key")
        old = write_release(cls.folder / "v1", {"setup.exe": b"MZ 1", "a.txt": b"a"})
        new = write_release(cls.folder / "v2", {"setup.exe": b"MZ 1", "a.txt": b"b", "c.txt": b""})
        cls.full = cls.folder / "full.zip"
        cls.partial = cls.folder / "partial.zip"
        assert pack(old, cls.full, "2.0")[0] == 0
        assert pack(new, cls.partial, "2.1", "--from", cls.full, "--key", private)[0] == 0

    def test_show_says_what_the_description_says_and_who_signed(self):
        foreign = self.folder / "foreign.zip"
        data = self.full.read_bytes()
        foreign.write_bytes(data[:-2] + struct.pack("<H", 7) + b"nightly")
        full = ("2.0", "full, for any installed version up to 2.0, or none",
                "2 in the archive, of the 2 files that version 2.0 lists")
        cases = [
            (self.full, *full, "not signed"),
            (self.partial, "2.1", "partial, made for version 2.0 only",
             "3 in the archive, of the 3 files that version 2.1 lists",
             f"signed by key {key_id(self.public)}"),
            (foreign, *full, "signature block malformed"),
        ]
        for archive, version, update, files, signature in cases:
            with self.subTest(archive.name):
                status, output, stdout = run_tool("show", archive)
                self.assertEqual((status, output), (0, []))
                self.assertEqual(stdout.splitlines(), [
                    str(archive), f"version:   {version}", f"update:    {update}",
                    f"files:     {files}", f"signature: {signature}"])

    def test_show_fails_without_a_description_or_where_the_updater_refuses(self):
        plain = FIXTURES / "good-basic.zip"
        unlisted = FIXTURES / "refused-description-unlisted.zip"
        for archive, lines in [
            (plain, [f"{plain}: holds no release description (orvandel-release.txt at its top), "
                     "so it names no version"]),
            (unlisted, REFUSED_FIXTURES[unlisted.name] +
             [f"{unlisted}: the updater would not install it"]),
        ]:
            with self.subTest(archive.name):
                self.assertEqual(run_tool("show", archive), (1, lines, ""))


def apply_patch(old, patch):
    """The patch format read independently of the tool: header, then (add, copy, seek)
    records; raises AssertionError for anything out of bounds."""
    magic, version, old_size, new_size = struct.unpack_from("<8sIQQ", patch)
    assert (magic, version, old_size) == (b"ORVPATCH", 1, len(old)), (magic, version, old_size)
    made = bytearray()
    at, position = 28, 0
    while len(made) < new_size:
        add, copy, seek = struct.unpack_from("<QQq", patch, at)
        at += 24
        assert 0 < add + copy <= new_size - len(made) and position + add <= len(old)
        made += bytes((o + d) & 0xFF for o, d in zip(old[position:position + add],
                                                     patch[at:at + add]))
        at += add
        made += patch[at:at + copy]
        at += copy
        position += add + seek
        assert 0 <= position <= len(old)
    assert at == len(patch)
    return bytes(made)


def code_like(seed, size):
    """Bytes that change as a program's do between two builds: mostly the same, scattered
    changes, a block inserted; deflate shrinks them a little."""
    rng = random.Random(seed)
    return bytes(rng.choice(b"\x00\x00\x48\x89\xe8\xc3\xff") if rng.random() < 0.5
                 else rng.randrange(256) for _ in range(size))


def rebuilt(data, seed):
    rng = random.Random(seed)
    changed = bytearray(data)
    for _ in range(30):
        changed[rng.randrange(len(changed))] ^= 0x10
    at = rng.randrange(len(changed))
    changed[at:at] = rng.randbytes(500)
    return bytes(changed)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


class PatchTests(unittest.TestCase):
    """pack --from with patches, and what show and check say of them."""

    @classmethod
    def setUpClass(cls):
        cls.folder = fresh_folder("patches")
        library = code_like(1, 200000)
        cls.old = {"setup.exe": random.Random(2).randbytes(50000), "lib/core.dll": library,
                   "a.txt": b"a", "notes.txt": b"release notes " * 500,
                   "same.bin": b"unchanged" * 100}
        cls.new = dict(cls.old)
        cls.new.update({"lib/core.dll": rebuilt(library, 3), "a.txt": b"b",
                        "notes.txt": random.Random(4).randbytes(7000), "added.bin": b"new"})
        cls.full = cls.folder / "full.zip"
        assert pack(write_release(cls.folder / "v1", cls.old), cls.full, "1.0")[0] == 0
        cls.v2 = write_release(cls.folder / "v2", cls.new)
        cls.partial = cls.folder / "partial.zip"
        cls.status, cls.output, _ = pack(cls.v2, cls.partial, "1.1", "--from", cls.full)

    def entry(self, archive, name):
        with zipfile.ZipFile(archive) as reader:
            return reader.read(name)

    def test_a_changed_file_comes_as_a_patch_where_that_is_smaller(self):
        self.assertEqual(self.status, 0, self.output)
        patch = self.entry(self.partial, "lib/core.dll")
        made = self.new["lib/core.dll"]
        self.assertEqual(self.output, [
            f"{self.partial}: version 1.1, a partial update for version 1.0: 5 of its 6 files "
            f"(1 as a patch: {len(patch)} bytes make {len(made)}), "
            f"{self.partial.stat().st_size} bytes; installing it removes 0 files of version 1.0"])
        self.assertEqual(apply_patch(self.old["lib/core.dll"], patch), made)
        with zipfile.ZipFile(self.partial) as reader:
            compressed = reader.getinfo("lib/core.dll").compress_size
        self.assertLess(compressed, len(zlib_deflated(made)) / 4)
        # A one-byte file and one rewritten whole gain nothing from a patch.
        self.assertEqual(self.entry(self.partial, "a.txt"), b"b")
        self.assertEqual(self.entry(self.partial, "notes.txt"), self.new["notes.txt"])
        self.assertEqual(read_description(self.partial), [
            "orvandel-release 2", "version 1.1", "base 1.0",
            *[f"file {name}" for name in sorted(self.new, key=str.encode)],
            f"patch lib/core.dll {sha256(self.old['lib/core.dll'])} {sha256(made)} {len(made)}"])

    def test_show_and_check_name_the_patched_files(self):
        patch = len(self.entry(self.partial, "lib/core.dll"))
        made = len(self.new["lib/core.dll"])
        status, output, stdout = run_tool("show", self.partial)
        self.assertEqual((status, output), (0, []))
        self.assertEqual(stdout.splitlines()[-2:], [
            "patches:   1 file comes as a patch, each only for the base version's own file",
            f"           lib/core.dll is a patch: {patch} bytes make {made}"])
        self.assertEqual(run_tool("check", self.partial), (0, [
            f"{self.partial}: the updater would install it (6 files)",
            f"{self.partial}: lib/core.dll is a patch: {patch} bytes make {made}, only for the "
            "base version's own file"], ""))

    def test_whole_leaves_patches_out_and_needs_from(self):
        whole = self.folder / "whole.zip"
        status, output, _ = pack(self.v2, whole, "1.1", "--from", self.full, "--whole")
        self.assertEqual(status, 0, output)
        self.assertEqual(self.entry(whole, "lib/core.dll"), self.new["lib/core.dll"])
        self.assertEqual(read_description(whole)[0], "orvandel-release 1")
        for arguments, mistake in [
            (["pack", "--version", "2", "--whole", self.v2, self.folder / "x.zip"],
             "--whole needs --from: only a partial update has patches to leave out"),
            (["show", "--whole", self.partial], "show takes no --whole"),
            (["pack", "--version", "2", "--from", self.full, "--whole", "--whole", self.v2,
              self.folder / "x.zip"], "--whole is given twice"),
        ]:
            with self.subTest(mistake):
                status, output, _ = run_tool(*arguments)
                self.assertEqual((status, output[0]), (2, f"usage error: {mistake}"))
        self.assertFalse((self.folder / "x.zip").exists())

    def test_patches_are_the_same_bytes_on_every_run(self):
        again = self.folder / "elsewhere"
        again.mkdir(exist_ok=True)
        status, output, _ = pack("../v2", "again.zip", "1.1", "--from", "../full.zip",
                                 cwd=again, umask=0o077)
        self.assertEqual(status, 0, output)
        self.assertEqual((again / "again.zip").read_bytes(), self.partial.read_bytes())

    def test_check_refuses_a_damaged_patch(self):
        patch = self.entry(self.partial, "lib/core.dll")
        add, copy, seek = struct.unpack_from("<QQq", patch, 28)
        made = len(self.new["lib/core.dll"])

        def with_control(add, copy, seek):
            return patch[:28] + struct.pack("<QQq", add, copy, seek) + patch[52:]

        cases = [
            ("ends early", patch[:-1]),
            ("bytes over", patch + b"\0"),
            ("not a patch", b"NOTPATCH" + patch[8:]),
            ("another format", patch[:8] + struct.pack("<I", 2) + patch[12:]),
            ("another new size", patch[:20] + struct.pack("<Q", made + 1) + patch[28:]),
            ("a seek before the start", with_control(add, copy, -(1 << 40))),
            ("a seek past the end", with_control(add, copy, 1 << 40)),
            ("past the new size", with_control(add, made + 1, seek)),
            ("lengths that overflow", with_control(1 << 63, 1 << 63, seek)),
            ("header cut short", patch[:20]),
        ]
        for name, damaged in cases:
            with self.subTest(name):
                archive = self.folder / "damaged.zip"
                with zipfile.ZipFile(self.partial) as source, \
                        zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as target:
                    for info in source.infolist():
                        data = damaged if info.filename == "lib/core.dll" else source.read(info)
                        target.writestr(info.filename, data)
                status, output, _ = run_tool("check", archive)
                self.assertEqual(status, 1, output)
                self.assertEqual(len(output), 2, output)
                self.assertTrue(output[0].startswith("lib/core.dll: the patch "), output)
                self.assertEqual(output[1], f"{archive}: the updater would not install it")


def zlib_deflated(data):
    return zlib.compress(data, 9)


def temporaries_beside(path):
    return sorted(str(found) for found in path.parent.glob(path.name + ".incomplete-*"))


@contextlib.contextmanager
def mounted_tmpfs(folder, options):
    """A small file system of its own at the folder, unmounted on every way out."""
    folder.mkdir(parents=True, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(folder)], check=True)
    try:
        yield folder
    finally:
        subprocess.run(["umount", str(folder)], check=True)


def tree_of(folder):
    """relative path -> bytes, or None for a folder."""
    return {path.relative_to(folder).as_posix(): None if path.is_dir() else path.read_bytes()
            for path in folder.rglob("*")}


FEED = "releases.txt"


def publish(folder, releases, version, *options, **run_options):
    return run_tool("publish", "--version", version, *options, folder, releases, **run_options)


def read_feed(releases):
    """The feed's lines, each split into its fields."""
    return [line.split(" ") for line in (releases / FEED).read_text().splitlines()]


def feed_line(releases, name, version, base=None):
    data = (releases / name).read_bytes()
    return (["full", version] if base is None else ["partial", version, base]) + [
        name, str(len(data)), hashlib.sha256(data).hexdigest()]


def versioned_release(folder, seed, version, dropped=()):
    """The release files of the seed, one of them changed for the version and some dropped."""
    files = {**release_files(seed), "version.txt": f"{version}\n".encode()}
    for name in dropped:
        del files[name]
    return write_release(folder, files)


def flipped_in_entry(data, name):
    """The archive with a byte of the entry's data changed."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        info = archive.getinfo(name)
    header = info.header_offset
    start = header + 30 + struct.unpack_from("<H", data, header + 26)[0] + struct.unpack_from(
        "<H", data, header + 28)[0]
    return flip_byte(data, start + info.compress_size // 2)


class PublishTests(unittest.TestCase):
    def setUp(self):
        self.folder = fresh_folder(self.id().rsplit(".", 1)[-1])
        self.releases = self.folder / "releases"
        self.releases.mkdir()

    def publish_line(self, *versions, options=()):
        for version in versions:
            release = versioned_release(self.folder / f"release-{version}", 1, version)
            status, output, _ = publish(release, self.releases, version, *options)
            self.assertEqual(status, 0, output)

    def test_three_publishes_leave_every_full_the_partials_of_the_latest_and_a_true_feed(self):
        release = versioned_release(self.folder / "release-1.0", 1, "1.0")
        status, output, stdout = publish(release, self.releases, "1.0")
        self.assertEqual((status, stdout), (0, ""), output)
        full = self.releases / "orvandel-1.0.zip"
        self.assertEqual(output, [
            f"{full}: version 1.0, a full update: 8 files, {full.stat().st_size} bytes",
            f"{self.releases / FEED}: offers version 1.0: its full update and 0 partial updates"])
        self.assertEqual(read_feed(self.releases), [
            ["orvandel-feed", "1"], ["latest", "1.0"],
            feed_line(self.releases, "orvandel-1.0.zip", "1.0")])

        # 2.0 drops a file; 3.0 changes another.
        release = versioned_release(self.folder / "release-2.0", 1, "2.0", dropped=["readme.txt"])
        self.assertEqual(publish(release, self.releases, "2.0")[0], 0)
        files = {**release_files(1), "version.txt": b"3.0\n", "plugins/en/strings.txt": b"3"}
        del files["readme.txt"]
        release = write_release(self.folder / "release-3.0", files)
        status, output, _ = publish(release, self.releases, "3.0")
        self.assertEqual(status, 0, output)
        self.assertEqual(output[-1], f"{self.releases / FEED}: offers version 3.0: its full "
                                     "update and 2 partial updates")

        self.assertEqual(sorted(path.name for path in self.releases.iterdir()), [
            "orvandel-1.0.zip", "orvandel-2.0-from-1.0.zip", "orvandel-2.0.zip",
            "orvandel-3.0-from-1.0.zip", "orvandel-3.0-from-2.0.zip", "orvandel-3.0.zip", FEED])
        self.assertEqual(read_feed(self.releases), [
            ["orvandel-feed", "1"], ["latest", "3.0"],
            feed_line(self.releases, "orvandel-3.0.zip", "3.0"),
            feed_line(self.releases, "orvandel-3.0-from-2.0.zip", "3.0", "2.0"),
            feed_line(self.releases, "orvandel-3.0-from-1.0.zip", "3.0", "1.0")])
        # Each archive is what its name says, and a partial holds what changed since its base.
        listed = [name for name, data in files.items() if data is not None]
        self.assertEqual(read_description(self.releases / "orvandel-3.0.zip"),
                         described("3.0", listed))
        self.assertEqual(read_description(self.releases / "orvandel-3.0-from-1.0.zip"),
                         described("3.0", listed, base="1.0"))
        with zipfile.ZipFile(self.releases / "orvandel-3.0-from-2.0.zip") as partial:
            # Every installer at the top and the empty folders come in any partial update.
            self.assertEqual(sorted(partial.namelist()), [
                "Orvandel.exe", "logs/", DESCRIPTION, "plugins/en/strings.txt", "setup.exe",
                "version.txt"])
        for archive in self.releases.glob("*.zip"):
            self.assertEqual(run_tool("check", archive)[0], 0, archive)

        # --partials 1: only the newest earlier full update gets one.
        self.publish_line("4.0", options=["--partials", "1"])
        self.assertEqual([line[:3] for line in read_feed(self.releases)[2:]],
                         [["full", "4.0", "orvandel-4.0.zip"],
                          ["partial", "4.0", "3.0"]])

    def test_choose_prints_the_line_for_the_installed_version(self):
        self.publish_line("1.0", "2.0", "3.0")
        feed = self.releases / FEED
        lines = {" ".join(line[2:4]) if line[0] == "partial" else "full": " ".join(line)
                 for line in read_feed(self.releases)[2:]}
        for case, description, expected, note in [
            ("none", None, lines["full"], "no release description, so no version the feed knows"),
            ("1.0", described("1.0", ["a.exe"]), lines["1.0 orvandel-3.0-from-1.0.zip"],
             "version 1.0 installed"),
            ("2.0", described("2.0", ["a.exe"]), lines["2.0 orvandel-3.0-from-2.0.zip"],
             "version 2.0 installed"),
            ("1.5", described("1.5", ["a.exe"]), lines["full"], "version 1.5 installed"),
            ("3.0", described("3.0", ["a.exe"]),
             "current: version 3.0 is installed, the feed's latest is 3.0", "version 3.0 installed"),
            ("4.1", described("4.1", ["a.exe"]),
             "current: version 4.1 is installed, the feed's latest is 3.0", "version 4.1 installed"),
        ]:
            with self.subTest(case):
                app = fresh_folder(f"{self.folder.name}-app-{case}")
                if description:
                    # Found without case, as the updater finds it.
                    (app / "Orvandel-Release.TXT").write_text("\n".join(description) + "\n")
                self.assertEqual(run_tool("choose", feed, app), (0, [f"{app}: {note}"],
                                                                 expected + "\n"))
        self.assertEqual(run_tool("choose", feed), (0, [], lines["full"] + "\n"))
        app = fresh_folder(f"{self.folder.name}-app-damaged")
        (app / DESCRIPTION).write_text("orvandel-release 1\nversion x\n")
        self.assertEqual(run_tool("choose", feed, app), (0, [
            f"{app}/{DESCRIPTION}: does not parse (line 2: \"x\" is no version: one to four parts "
            "of 0 to 65535, such as 2.1), so the installed version is unknown"],
            lines["full"] + "\n"))

        damaged = self.folder / "damaged.txt"
        damaged.write_text(feed.read_text() + "full 3.0 other.zip 1 " + "0" * 64 + "\n")
        self.assertEqual(run_tool("choose", damaged),
                         (1, [f"{damaged}: a damaged feed: line 6: a second full update"], ""))
        missing = self.folder / "missing.txt"
        self.assertEqual(run_tool("choose", missing), (
            2, [f"error: cannot open {missing}: No such file or directory"], ""))

    def test_the_same_publish_gives_the_same_bytes(self):
        self.publish_line("1.0", "2.0")
        copies = [self.folder / "first", self.folder / "second"]
        for copy in copies:
            shutil.copytree(self.releases, copy)
        release = versioned_release(self.folder / "release-3.0", 2, "3.0")
        for copy in copies:
            self.assertEqual(publish(release, copy, "3.0")[0], 0)
        self.assertEqual(tree_of(copies[0]), tree_of(copies[1]))
        self.assertEqual(len(tree_of(copies[0])), 7)

    def test_refusals_name_each_fault_and_write_nothing(self):
        self.publish_line("1.0", "2.0")
        good = versioned_release(self.folder / "release-3.0", 1, "3.0")
        no_installer = write_release(self.folder / "no-installer", {"a.txt": b"a"})
        full_1, partial_2 = self.releases / "orvandel-1.0.zip", self.releases / "orvandel-2.0-from-1.0.zip"
        feed = self.releases / FEED
        feed_2 = feed.read_bytes()

        def put(name, data):
            return lambda: (self.releases / name).write_bytes(data)

        cases = [
            ("a version not above the latest", "2.0", good, lambda: None,
             [f"version 2.0 is not above version 2.0, the newest release in {self.releases}"]),
            ("a version below it", "1.5", good, lambda: None,
             [f"version 1.5 is not above version 2.0, the newest release in {self.releases}"]),
            ("a name publish does not give", "3.0", good, put("orvandel-beta.zip", b"x"),
             [f"{self.releases / 'orvandel-beta.zip'}: not a name that publish gives: "
              "orvandel-V.zip or orvandel-V-from-U.zip, V and U versions such as 2.1"]),
            ("a full update under another version's name", "3.0", good,
             put("orvandel-1.1.zip", full_1.read_bytes()),
             [f"{self.releases / 'orvandel-1.1.zip'}: its description says version 1.0, a full "
              "update, not what its name says"]),
            ("a partial update under a full one's name", "3.0", good,
             put("orvandel-1.5.zip", partial_2.read_bytes()),
             [f"{self.releases / 'orvandel-1.5.zip'}: its description says version 2.0, a "
              "partial update for version 1.0, not what its name says"]),
            ("no archive", "3.0", good, put("orvandel-1.5.zip", b"no zip"),
             [f"{self.releases / 'orvandel-1.5.zip'}: archive refused as a whole: too short for "
              "an archive",
              f"{self.releases / 'orvandel-1.5.zip'}: the updater would not install it"]),
            ("a damaged feed", "3.0", good, lambda: feed.write_text(feed.read_text() + "\n"),
             [f"{feed}: a damaged feed: line 5: empty"]),
            ("an unpublished archive of another version", "3.0", good,
             lambda: self.assertEqual(publish(good, self.releases, "2.5", "--partials", "0")[0], 0)
             or (self.releases / FEED).write_bytes(feed_2),
             [f"{self.releases / 'orvandel-2.5.zip'}: version 2.5 is above the feed's latest "
              "version 2.0: a publish of it ended before its feed; publish it again or remove "
              "it"]),
            ("a fault of the folder", "3.0", no_installer, lambda: None, NO_INSTALLER),
            # Read whole only as a base: pack refuses it once the full update is written, which
            # is then removed again.
            ("a damaged earlier full update", "3.0", good,
             lambda: full_1.write_bytes(flipped_in_entry(full_1.read_bytes(), "readme.txt")),
             [f"{full_1}: readme.txt: entry data shorter than declared"]),
        ]
        for case, version, folder, change, lines in cases:
            before = tree_of(self.releases)
            with self.subTest(case):
                try:
                    change()
                    changed = tree_of(self.releases)
                    status, output, _ = publish(folder, self.releases, version)
                    self.assertEqual(status, 1, output)
                    self.assertEqual(output, lines + [f"{self.releases}: nothing published"])
                    self.assertEqual(tree_of(self.releases), changed)
                finally:
                    shutil.rmtree(self.releases)
                    write_release(self.releases, before)

        self.assertEqual(publish(good, self.folder / "none", "3.0"), (1, [
            f"{self.folder / 'none'}: no folder; make it, empty, for the first release",
            f"{self.folder / 'none'}: nothing published"], ""))
        for arguments, line in [
            (["publish", "--version", "3", good], "usage error: publish takes FOLDER RELEASES, "
                                                  "not 1 path"),
            (["pack", "--version", "3", "--partials", "2", good, "out.zip"],
             "usage error: pack takes no --partials"),
            (["choose"], "usage error: choose takes FEED [APPLICATION_DIRECTORY], not 0 paths"),
            (["choose", "a", "b", "c"],
             "usage error: choose takes FEED [APPLICATION_DIRECTORY], not 3 paths"),
        ]:
            with self.subTest(arguments):
                self.assertEqual(run_tool(*arguments), (2, [line, USAGE], ""))
        for count in ["x", "01", "", "-1", "+1"]:
            with self.subTest(count):
                self.assertEqual(run_tool("publish", "--version", "3", "--partials", count, good,
                                          self.releases),
                                 (2, [f"error: --partials {count} is no count: a whole number "
                                      "such as 3"], ""))

    def test_a_publish_killed_after_its_first_archive_leaves_the_old_feed_and_its_archives(self):
        self.publish_line("1.0", "2.0")
        old_feed = (self.releases / FEED).read_bytes()
        # Large enough that every archive takes a while to make.
        big = {"setup.exe": b"MZ", "data.bin": random.randbytes(48 << 20)}
        release = write_release(self.folder / "big", big)
        first = self.releases / "orvandel-3.0.zip"
        tool = subprocess.Popen([str(TOOL), "publish", "--version", "3.0", str(release),
                                 str(self.releases)], stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 120
        while not first.exists() and tool.poll() is None:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.005)
        tool.kill()
        tool.communicate(timeout=60)
        self.assertEqual(tool.returncode, -signal.SIGKILL, "the run ended before it was killed")
        self.assertTrue(first.exists())

        self.assertEqual((self.releases / FEED).read_bytes(), old_feed)
        for line in read_feed(self.releases)[2:]:
            self.assertEqual(line, feed_line(self.releases, line[-3], *line[1:-3]))

        # The next run makes the version again over what the killed one left.
        status, output, _ = publish(release, self.releases, "3.0")
        self.assertEqual(status, 0, output)
        self.assertIn(f"warning: {first}: left by a publish of this version that ended before "
                      "its feed; replaced where this run makes it again", output)
        self.assertEqual(read_feed(self.releases)[1], ["latest", "3.0"])
        for line in read_feed(self.releases)[2:]:
            self.assertEqual(line, feed_line(self.releases, line[-3], *line[1:-3]))

if __name__ == "__main__":
    unittest.main()
