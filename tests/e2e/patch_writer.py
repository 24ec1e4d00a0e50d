"""Patches written by hand for the end-to-end tests, records of any kind and any length, sound or
deliberately not, in the byte format the updater applies:

    "ORVPATCH", u32 format 1, u64 old size, u64 new size
    records: u64 add, u64 copy, i64 seek, then the add bytes (new less old, byte-wise) and the
    copy bytes

The tests make their own so that they need no differ, and so that they can make the patches
that no differ would: ones that read outside the old file or make other bytes than described.
"""

import struct

MAGIC = b"ORVPATCH"
FORMAT = 1


def header(old_size, new_size):
    return MAGIC + struct.pack("<IQQ", FORMAT, old_size, new_size)


def record(add=b"", copy=b"", seek=0, add_length=None, copy_length=None):
    """One record; the lengths are those of the bytes unless given otherwise."""
    lengths = (len(add) if add_length is None else add_length,
               len(copy) if copy_length is None else copy_length)
    return struct.pack("<QQq", *lengths, seek) + add + copy


def difference(new, old):
    """The add bytes that make new from old, byte by byte (as long as new)."""
    return bytes((n - o) & 0xFF for n, o in zip(new, old))


def whole_patch(old, new):
    """A sound patch for any pair: one add over what both have, then the rest of new copied."""
    common = min(len(old), len(new))
    if not new:
        return header(len(old), 0)
    return header(len(old), len(new)) + record(difference(new[:common], old[:common]),
                                               new[common:])


def scattered(old, places, inserted=b""):
    """A large file changed at a few places, with bytes inserted halfway, and its patch, made
    without a pass over every byte: the new file, the patch."""
    half = len(old) // 2
    add = bytearray(len(old))
    new = bytearray(old)
    for at in places:
        new[at] ^= 0x5A
        add[at] = (new[at] - old[at]) & 0xFF
    patch = (header(len(old), len(old) + len(inserted))
             + record(bytes(add[:half]), inserted) + record(bytes(add[half:])))
    return bytes(new[:half]) + inserted + bytes(new[half:]), patch
