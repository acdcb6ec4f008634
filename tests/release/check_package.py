#!/usr/bin/env python3
"""check_package.py DIST EPOCH [ARCH...]: checks the release packages scripts/package wrote into
DIST for each ARCH (default x64 x86): each zip's listing, in order, with every entry dated EPOCH
and nothing machine-specific in it; the exes stripped, for the right machine, dated EPOCH, with
a debug link whose CRC matches the debug zip's file; the version in the zip's name inside the
exe; the launcher and the README as Windows reads them; SHA256SUMS. Prints each failure and
exits 1 when there is one."""
import hashlib
import re
import struct
import sys
import time
import zipfile
import zlib

MACHINES = {"x64": 0x8664, "x86": 0x14C}
PROGRAMS = ["Carrowick.exe", "carrowick-inspect.exe"]
LAUNCHER = "Update Lumetra.cmd"
MAX_UPDATER_BYTES = 1 << 20

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
    return ok


def pe_sections(data):
    """The PE's machine, time stamp, symbol count and {section name: bytes}."""
    at = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[at:at + 4] != b"PE\0\0":
        return None
    machine, count, stamp, symbols_at, symbols, optional = struct.unpack_from("<HHIIIH", data, at + 4)
    strings = symbols_at + 18 * symbols  # long section names live in the string table
    sections = {}
    for i in range(count):
        entry = at + 24 + optional + 40 * i
        name = data[entry:entry + 8].rstrip(b"\0").decode()
        if name.startswith("/"):
            start = strings + int(name[1:])
            name = data[start:data.index(b"\0", start)].decode()
        virtual_size, _, raw_size, raw_at = struct.unpack_from("<IIII", data, entry + 8)
        sections[name] = data[raw_at:raw_at + min(virtual_size or raw_size, raw_size)]
    return machine, stamp, symbols, sections


def check_entries(archive, names, epoch, label):
    infos = archive.infolist()
    check([i.filename for i in infos] == names, f"{label}: entries {[i.filename for i in infos]}, expected {names}")
    date = time.gmtime(epoch)[:6]
    date = date[:5] + (date[5] - date[5] % 2,)  # a zip keeps even seconds
    for info in infos:
        what = f"{label}: {info.filename}"
        check(info.date_time == date, f"{what}: dated {info.date_time}, not the commit's {date}")
        check(info.create_system == 3 and info.external_attr == 0o100644 << 16,
              f"{what}: system {info.create_system}, attributes {oct(info.external_attr >> 16)}")
        check(info.extra == b"" and info.comment == b"", f"{what}: extra fields or a comment")
        check(info.compress_type == zipfile.ZIP_DEFLATED, f"{what}: not deflated")


def check_program(name, data, debug, arch, epoch, version, label):
    what = f"{label}: {name}"
    pe = pe_sections(data)
    if not check(pe is not None, f"{what}: not a PE file"):
        return
    machine, stamp, symbols, sections = pe
    check(machine == MACHINES[arch], f"{what}: machine {machine:#x}, not {arch}'s")
    check(stamp == epoch, f"{what}: PE time stamp {stamp}, not the commit's {epoch}")
    check(symbols == 0 and not any(s.startswith(".debug") for s in sections), f"{what}: not stripped")
    link = sections.get(".gnu_debuglink", b"")
    end = link.find(b"\0")
    if check(end > 0, f"{what}: no debug link"):
        check(link[:end].decode() == name + ".debug", f"{what}: debug link names {link[:end]!r}")
        crc = struct.unpack_from("<I", link, (end + 4) & ~3)[0]
        check(debug is not None and crc == zlib.crc32(debug), f"{what}: the debug link's CRC does not match {name}.debug")
    if debug is not None:
        debug_pe = pe_sections(debug)
        check(debug_pe is not None and ".debug_info" in debug_pe[3] and debug_pe[2] > 0,
              f"{what}.debug: no debug information or symbols")
    if name == "Carrowick.exe":
        check(len(data) < MAX_UPDATER_BYTES, f"{what}: {len(data)} bytes, not under 1 MiB")
        check(version.encode("utf-16-le") + b"\0\0" in data, f"{what}: its version resource does not name {version}")


def check_texts(archive, firmware, version, arch, label):
    launcher = archive.read(LAUNCHER).decode("ascii")
    readme = archive.read("README.txt").decode("ascii")
    for name, text in ((LAUNCHER, launcher), ("README.txt", readme)):
        check(text.endswith("\r\n") and text.count("\n") == text.count("\r\n"), f"{label}: {name} has not CRLF line ends")
    # The firmware's path goes unquoted after the quoted program: the updater removes no quotes.
    start = re.findall(r'^for %%F in \("%~dp0(.*)"\) do "%~dp0Carrowick\.exe" (.*)\r$', launcher, re.M)
    check(start == [(firmware, "%%~fF")], f"{label}: the launcher starts {start}, not the firmware's full path unquoted")
    check(launcher.endswith("exit /b %errorlevel%\r\n"), f"{label}: the launcher does not hand back the updater's exit code")
    check(f"Carrowick {version} ({arch})" in readme and firmware in readme and "@" not in readme,
          f"{label}: README.txt does not name the version, the architecture and the firmware")


def main(argv):
    if len(argv) < 3 or not argv[2].isdigit() or any(a not in MACHINES for a in argv[3:]):
        print("usage: check_package.py DIST EPOCH [x64|x86...]", file=sys.stderr)
        return 2
    dist, epoch, archs = argv[1], int(argv[2]), argv[3:] or list(MACHINES)
    sums = {}
    for line in open(f"{dist}/SHA256SUMS"):
        digest, name = line.split(None, 1)
        sums[name.strip()] = digest
    versions = set()
    for arch in archs:
        found = [n for n in sums if re.fullmatch(rf"Carrowick-(.+)-{arch}\.zip", n)]
        if not check(len(found) == 1, f"{arch}: SHA256SUMS lists {found}, not one package"):
            continue
        base = found[0][:-4]
        version = base[len("Carrowick-"):-len(arch) - 1]
        versions.add(version)
        for name in (f"{base}.zip", f"{base}.debug.zip"):
            data = open(f"{dist}/{name}", "rb").read()
            check(sums.get(name) == hashlib.sha256(data).hexdigest(), f"{name}: SHA256SUMS does not match")
        with zipfile.ZipFile(f"{dist}/{base}.zip") as archive, zipfile.ZipFile(f"{dist}/{base}.debug.zip") as debug:
            names = archive.namelist()
            firmware = names[2] if len(names) == 5 else "?"
            check_entries(archive, PROGRAMS + [firmware, LAUNCHER, "README.txt"], epoch, f"{base}.zip")
            check_entries(debug, [p + ".debug" for p in PROGRAMS], epoch, f"{base}.debug.zip")
            for name in PROGRAMS:
                debug_data = debug.read(name + ".debug") if name + ".debug" in debug.namelist() else None
                if name in names:
                    check_program(name, archive.read(name), debug_data, arch, epoch, version, base)
            if LAUNCHER in names and "README.txt" in names:
                check_texts(archive, firmware, version, arch, base)
    check(len(versions) <= 1, f"the architectures' packages name different versions: {sorted(versions)}")
    for failure in failures:
        print(f"check_package: {failure}")
    if not failures:
        print(f"check_package: {', '.join(archs)}: listings, dates, stripped exes, debug links, version, launcher, SHA256SUMS: ok")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
