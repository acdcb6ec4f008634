#!/usr/bin/env python3
"""make-zip.py EPOCH ZIP NAME=FILE...: writes ZIP holding each FILE under NAME, in the order
given. Its bytes depend on the names and contents alone: every entry is dated EPOCH (seconds,
read as UTC), has plain file permissions and no extra fields, and is deflated at level 9."""
import os
import sys
import time
import zipfile

DOS_EPOCH = 315532800  # 1980-01-01: a zip cannot date anything earlier


def main(argv):
    if len(argv) < 4 or not argv[1].isdigit() or any("=" not in a for a in argv[3:]):
        print("usage: make-zip.py EPOCH ZIP NAME=FILE...", file=sys.stderr)
        return 2
    date = time.gmtime(max(int(argv[1]), DOS_EPOCH))[:6]
    out = argv[2]
    entries = [a.split("=", 1) for a in argv[3:]]
    names = [name for name, _ in entries]
    if len(set(names)) != len(names):
        print(f"make-zip.py: a name twice in {names}", file=sys.stderr)
        return 2
    with zipfile.ZipFile(out + ".part", "w") as archive:
        for name, path in entries:
            info = zipfile.ZipInfo(name, date_time=date)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # the same on every machine: Unix
            info.external_attr = 0o100644 << 16
            with open(path, "rb") as f:
                archive.writestr(info, f.read(), compresslevel=9)
    os.replace(out + ".part", out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
