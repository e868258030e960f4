#!/usr/bin/env python3
"""Gives a PDB written by GNU ld a signature that does not depend on the time of the link.

GNU ld stamps the PDB info stream with time(); debuggers match a PDB to its program by GUID and
age, which the link derives from the program's bytes, so the GUID's first four bytes serve as
the signature and two links of the same objects give the same PDB.

    pdb_signature.py FILE.pdb
"""
import struct
import sys

MAGIC = b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"


def info_stream_offset(data):
    if data[:len(MAGIC)] != MAGIC:
        raise ValueError("not an MSF 7.00 file")
    block_size, _, block_count, directory_bytes, _, map_block = struct.unpack_from("<6I", data, len(MAGIC))
    if block_size not in (512, 1024, 2048, 4096) or len(data) < block_size * block_count:
        raise ValueError("damaged MSF header")
    directory_blocks = (directory_bytes + block_size - 1) // block_size
    block_list = struct.unpack_from("<%dI" % directory_blocks, data, map_block * block_size)
    directory = b"".join(data[b * block_size:(b + 1) * block_size] for b in block_list)[:directory_bytes]
    stream_count, = struct.unpack_from("<I", directory, 0)
    sizes = struct.unpack_from("<%dI" % stream_count, directory, 4)
    if stream_count < 2 or sizes[1] < 28 or sizes[1] == 0xFFFFFFFF:
        raise ValueError("no PDB info stream")
    # The first block of stream 1 follows the blocks of stream 0.
    first = 4 + 4 * stream_count
    stream0_blocks = 0 if sizes[0] == 0xFFFFFFFF else (sizes[0] + block_size - 1) // block_size
    block, = struct.unpack_from("<I", directory, first + 4 * stream0_blocks)
    return block * block_size


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: pdb_signature.py FILE.pdb")
    with open(sys.argv[1], "r+b") as f:
        data = f.read()
        try:
            at = info_stream_offset(data)
        except (ValueError, struct.error) as e:
            sys.exit("%s: %s" % (sys.argv[1], e))
        # Info stream: version, signature, age, GUID.
        guid = data[at + 12:at + 28]
        f.seek(at + 4)
        f.write(guid[:4])


if __name__ == "__main__":
    main()
