#!/usr/bin/env python3
"""Checks the function table (.pdata) of 64-bit Windows programs and DLLs.

On x64 Windows every exception is dispatched by looking up the faulting
address in the image's exception directory, an array of RUNTIME_FUNCTION
records (begin, end, unwind data; 12 bytes each) that the system searches by
bisection. A table whose entries are out of order or overlap makes lookups
miss: every C++ throw then ends in terminate(), while the code itself is
intact. A linker has been seen writing such a table once in several links of
the same objects, so every binary of the Windows build is checked after it
is linked.

Usage: check_unwind_table.py [--reject-bad] FILE-OR-FOLDER...
  A folder stands for every .exe and .dll in it and below it (at least one
  must be there). Exit 0 when every file has a table whose entries are
  strictly ascending and do not overlap (begin < end <= next begin).
  Otherwise exit 1 and, for each bad file, say why; with --reject-bad the
  file is also renamed to FILE.unwind-rejected, so that the build relinks it
  next time instead of taking the bad file for up to date.
"""

import os
import struct
import sys

EXCEPTION_DIRECTORY = 3
RUNTIME_FUNCTION_BYTES = 12


class BadImage(Exception):
    pass


def read_unwind_table(data):
    """The (begin, end) pairs of the image's exception directory."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise BadImage("not a PE image (no MZ header)")
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    if pe_offset + 24 > len(data) or data[pe_offset : pe_offset + 4] != b"PE\0\0":
        raise BadImage("not a PE image (no PE signature)")
    coff = pe_offset + 4
    sections, optional_size = struct.unpack_from("<H12xH", data, coff + 2)
    optional = coff + 20
    if optional + optional_size > len(data) or optional_size < 112:
        raise BadImage("optional header cut short")
    (magic,) = struct.unpack_from("<H", data, optional)
    if magic != 0x20B:
        raise BadImage("not a 64-bit (PE32+) image")
    (directories,) = struct.unpack_from("<I", data, optional + 108)
    if directories <= EXCEPTION_DIRECTORY or 112 + 8 * (EXCEPTION_DIRECTORY + 1) > optional_size:
        raise BadImage("no exception directory")
    rva, size = struct.unpack_from("<II", data, optional + 112 + 8 * EXCEPTION_DIRECTORY)
    if rva == 0 or size == 0:
        raise BadImage("no exception directory (no unwind table)")
    if size % RUNTIME_FUNCTION_BYTES != 0:
        raise BadImage("exception directory size %d is not a multiple of 12" % size)

    table = optional + optional_size
    for index in range(sections):
        header = table + 40 * index
        if header + 40 > len(data):
            raise BadImage("section table cut short")
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from(
            "<IIII", data, header + 8
        )
        if virtual_address <= rva and rva + size <= virtual_address + max(virtual_size, raw_size):
            if rva + size > virtual_address + raw_size:
                raise BadImage("exception directory lies past its section's file data")
            start = raw_offset + (rva - virtual_address)
            if start + size > len(data):
                raise BadImage("exception directory lies past the end of the file")
            return [
                struct.unpack_from("<II", data, start + offset)
                for offset in range(0, size, RUNTIME_FUNCTION_BYTES)
            ]
    raise BadImage("exception directory is in no section")


def table_faults(entries):
    """Texts describing each entry that breaks the order; empty when sound."""
    faults = []
    previous_end = None
    for index, (begin, end) in enumerate(entries):
        if begin >= end:
            faults.append("entry %d: begin 0x%x not below end 0x%x" % (index, begin, end))
        if previous_end is not None and begin < previous_end:
            faults.append(
                "entry %d: begin 0x%x below the end 0x%x of the entry before"
                % (index, begin, previous_end)
            )
        previous_end = end if previous_end is None else max(previous_end, end)
    return faults


def check(path):
    """None when the file's table is sound, else what is wrong with it."""
    with open(path, "rb") as image:
        data = image.read()
    try:
        entries = read_unwind_table(data)
    except BadImage as fault:
        return str(fault)
    faults = table_faults(entries)
    if not faults:
        return None
    shown = "\n  ".join(faults[:5])
    more = "" if len(faults) <= 5 else "\n  ... %d more" % (len(faults) - 5)
    return "%d of %d unwind table entries out of order or overlapping:\n  %s%s" % (
        len(faults),
        len(entries),
        shown,
        more,
    )


def main(arguments):
    reject = False
    if arguments and arguments[0] == "--reject-bad":
        reject = True
        arguments = arguments[1:]
    if not arguments:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    paths = []
    for argument in arguments:
        if not os.path.isdir(argument):
            paths.append(argument)
            continue
        found = sorted(
            os.path.join(folder, name)
            for folder, _, names in os.walk(argument)
            for name in names
            if name.lower().endswith((".exe", ".dll"))
        )
        if not found:
            print("%s: no .exe or .dll to check" % argument, file=sys.stderr)
            return 1
        paths.extend(found)
    status = 0
    for path in paths:
        fault = check(path)
        if fault is None:
            continue
        status = 1
        print("%s: %s" % (path, fault), file=sys.stderr)
        if reject:
            os.replace(path, path + ".unwind-rejected")
            print(
                "%s: moved to %s.unwind-rejected; link it again (a relink of the same "
                "objects gives a sound table)" % (path, path),
                file=sys.stderr,
            )
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
