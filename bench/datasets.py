"""The data sets of the suite: definitions sets with their trigger files, as an updates server
publishes them, and the local files of the checksum cases. Made once per data directory and
reused while their parameters stay the same."""

import json
import os
import shutil
import zlib
from dataclasses import asdict, dataclass

MIB = 1 << 20
GIB = 1 << 30


@dataclass(frozen=True)
class Sizes:
    full_files: int  # files of 1 MiB in the full set ...
    full_big: int  # ... and one file of this many bytes
    many_counts: tuple  # sets of small files, one changed per cycle
    integrity_files: int  # installed files of the integrity check ...
    integrity_bytes: int  # ... holding this many bytes together
    crc_bytes: int  # one file for the file CRC


FULL = Sizes(full_files=100, full_big=100 * MIB, many_counts=(1000, 10000), integrity_files=1000,
             integrity_bytes=GIB, crc_bytes=GIB)
QUICK = Sizes(full_files=20, full_big=20 * MIB, many_counts=(200, 2000), integrity_files=100,
              integrity_bytes=128 * MIB, crc_bytes=128 * MIB)

SMALL_FILE_BYTES = 2048
TRIGGER_FULL = "full.crc"
TRIGGER_MANY = "many.crc"
CHANGED_FILE = "m00000.dat"


def checksum_list(crcs):
    """The trigger file's text: one "%x name\\r\\n" line per file, names in byte order."""
    return "".join(f"{crc:x} {name}\r\n" for name, crc in sorted(crcs.items()))


def write_set(directory, contents, trigger):
    """Writes the files (name to bytes) and their trigger file into a new directory."""
    os.makedirs(directory)
    crcs = {}
    for name, data in contents:
        with open(os.path.join(directory, name), "wb") as out:
            out.write(data)
        crcs[name] = zlib.crc32(data)
    with open(os.path.join(directory, trigger), "w", newline="") as out:
        out.write(checksum_list(crcs))


def random_files(count, size, prefix):
    for index in range(count):
        yield f"{prefix}{index:05d}.dat", os.urandom(size)


class DataSets:
    """Paths of the data sets below one data directory."""

    def __init__(self, data_dir, sizes):
        self.data_dir = data_dir
        self.sizes = sizes
        self.served = os.path.join(data_dir, "served")  # the FTP server's root
        self.full_dir = "full"  # remote directories below it
        self.integrity_root = os.path.join(data_dir, "integrity")  # a processor's root
        self.integrity_dir = os.path.join(self.integrity_root, "definitions")
        self.crc_file = os.path.join(data_dir, "crc", "one-file.bin")

    @staticmethod
    def many_dir(count):
        return f"many{count}"

    def served_path(self, remote_dir):
        return os.path.join(self.served, remote_dir)

    def full_bytes(self):
        return self.sizes.full_files * MIB + self.sizes.full_big

    def full_names(self):
        return [f"f{index:05d}.dat" for index in range(self.sizes.full_files)] + ["big.dat"]

    def integrity_names(self):
        return sorted(os.listdir(self.integrity_dir))

    def served_sets(self):
        """(remote directory, trigger file name) of every set the server publishes."""
        return [(self.full_dir, TRIGGER_FULL)] + [(self.many_dir(count), TRIGGER_MANY)
                                                  for count in self.sizes.many_counts]

    def make(self, log):
        """Makes what is missing or was made with other sizes."""
        stamp_path = os.path.join(self.data_dir, "sets.json")
        stamp = json.dumps(asdict(self.sizes), sort_keys=True)
        try:
            with open(stamp_path) as existing:
                if existing.read() == stamp:
                    return
        except FileNotFoundError:
            pass
        for name in ("served", "integrity", "crc", "work"):
            shutil.rmtree(os.path.join(self.data_dir, name), ignore_errors=True)
        os.makedirs(self.data_dir, exist_ok=True)
        sizes = self.sizes

        log(f"making the full set: {sizes.full_files} files of 1 MiB and one of "
            f"{sizes.full_big // MIB} MiB")
        full = list(random_files(sizes.full_files, MIB, "f"))
        full.append(("big.dat", os.urandom(sizes.full_big)))
        write_set(self.served_path(self.full_dir), full, TRIGGER_FULL)
        del full

        for count in sizes.many_counts:
            log(f"making a set of {count} small files")
            write_set(self.served_path(self.many_dir(count)),
                      random_files(count, SMALL_FILE_BYTES, "m"), TRIGGER_MANY)

        log(f"making {sizes.integrity_files} installed files of "
            f"{sizes.integrity_bytes // MIB} MiB together")
        os.makedirs(self.integrity_dir)
        each = sizes.integrity_bytes // sizes.integrity_files
        for name, data in random_files(sizes.integrity_files, each, "i"):
            with open(os.path.join(self.integrity_dir, name), "wb") as out:
                out.write(data)

        log(f"making one file of {sizes.crc_bytes // MIB} MiB")
        os.makedirs(os.path.dirname(self.crc_file))
        with open(self.crc_file, "wb") as out:
            for _ in range(sizes.crc_bytes // (64 * MIB)):
                out.write(os.urandom(64 * MIB))
            out.write(os.urandom(sizes.crc_bytes % (64 * MIB)))
        with open(stamp_path, "w") as out:
            out.write(stamp)


class ChangingFile:
    """Changes one file of a served set so that it differs from every earlier edition, in content
    and in size (a mirroring client that compares sizes and times sees it too), and rewrites its
    line of the trigger file."""

    def __init__(self, directory):
        self.directory = directory
        self.edition = 0

    def change(self):
        self.edition += 1
        data = f"edition {self.edition}\n".encode().ljust(3000 + self.edition, b"-")
        with open(os.path.join(self.directory, CHANGED_FILE), "wb") as out:
            out.write(data)
        trigger = os.path.join(self.directory, TRIGGER_MANY)
        with open(trigger, newline="") as text:
            lines = text.read().split("\r\n")
        for index, line in enumerate(lines):
            if line.endswith(" " + CHANGED_FILE):
                lines[index] = f"{zlib.crc32(data):x} {CHANGED_FILE}"
        with open(trigger, "w", newline="") as out:
            out.write("\r\n".join(lines))
