"""Writes a zip whose bytes depend only on the files' names and contents: fixed entry times,
fixed permissions, entries in the order given. (CMake's own archiver stores each file's access
and change times, which differ on every build.)

usage: zip_reproducible.py OUTPUT BASE_DIR ENTRY...
"""
import sys
import zipfile

FIXED_TIME = (2026, 1, 1, 0, 0, 0)


def main(output, base, entries):
    with zipfile.ZipFile(output, "w") as archive:
        for entry in entries:
            info = zipfile.ZipInfo(entry, date_time=FIXED_TIME)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 0
            info.external_attr = 0
            with open(f"{base}/{entry}", "rb") as source:
                archive.writestr(info, source.read(), compresslevel=9)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3:])
