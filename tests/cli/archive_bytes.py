"""Reads and writes archive files byte by byte, independently of brannock, for the
command-line tests."""

import struct
import zlib

HEADER_SIZE = 2048
ENTRY = struct.Struct("<11I")


def read_archive(path):
    """Returns (header dict, list of entry dicts with 'name' and 'blocks')."""
    with open(path, "rb") as f:
        data = f.read()
    magic, version, num_files, num_blocks, block_table_size, name_table_size, index_offset = struct.unpack_from(
        "<4s6I", data, 0)
    assert magic == b"ARC\0", magic
    header = dict(version=version, numFiles=num_files, numBlocks=num_blocks, blockTableSize=block_table_size,
                  nameTableSize=name_table_size, indexOffset=index_offset, length=len(data))
    names_at = index_offset + 12 * num_blocks
    entries_at = names_at + name_table_size
    entries = []
    for i in range(num_files):
        (flags, offset, size, expanded, checksum, time_low, time_high, blocks, first, name_length,
         name_offset) = ENTRY.unpack_from(data, entries_at + 44 * i)
        name = data[names_at + name_offset:names_at + name_offset + name_length].decode("latin-1") if flags & 1 else None
        block_list = [struct.unpack_from("<3I", data, index_offset + 12 * (first + b)) for b in range(blocks)]
        entries.append(dict(flags=flags, offset=offset, size=size, expandedSize=expanded, checksum=checksum,
                            fileTime=(time_high << 32) | time_low, name=name, blocks=block_list))
    return header, entries


def write_stored_archive(path, files):
    """Writes an archive of stored files: files is a list of (name bytes, contents bytes)."""
    data = b""
    names = b""
    entries = b""
    for name, contents in files:
        offset = HEADER_SIZE + len(data)
        entries += ENTRY.pack(1, offset, len(contents), len(contents), zlib.adler32(contents), 0, 0, 0, 0,
                              len(name), len(names))
        names += name + b"\0"
        data += contents
    header = struct.pack("<4s6I", b"ARC\0", 3, len(files), 0, 0, len(names), HEADER_SIZE + len(data))
    header += b"\0" * (HEADER_SIZE - len(header))
    with open(path, "wb") as f:
        f.write(header + data + names + entries)
