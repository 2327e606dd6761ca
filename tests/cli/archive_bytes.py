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


def write_claiming_header(path, length, num_files=0, num_blocks=0, name_table_size=0, index_offset=HEADER_SIZE):
    """Writes a header with the counts given, and no data or tables behind it: the file is
    then extended to `length` bytes, sparse where the file system allows, reading as zeros."""
    header = struct.pack("<4s6I", b"ARC\0", 3, num_files, num_blocks, (12 * num_blocks) & 0xFFFFFFFF,
                         name_table_size, index_offset)
    with open(path, "wb") as f:
        f.write(header + b"\0" * (HEADER_SIZE - len(header)))
        f.truncate(length)


class DatabaseWriter:
    """Builds an uncompressed database file: texts in a string table, records of typed fields."""

    def __init__(self):
        self.strings = []
        self.records = []

    def string(self, text):
        if text not in self.strings:
            self.strings.append(text)
        return self.strings.index(text)

    def field(self, value_type, name, cells):
        body = struct.pack("<HHI", value_type, len(cells), self.string(name))
        for cell in cells:
            body += struct.pack("<f" if value_type == 1 else "<I" if value_type != 0 else "<i", cell)
        return body

    def texts(self, name, values):
        return self.field(2, name, [self.string(v) for v in values])

    def record(self, name, payload, claimed_size=None):
        """`claimed_size`, when given, is the stored size the index claims: a larger one than the
        payload's runs past the record data."""
        self.records.append((self.string(name), payload, len(payload) if claimed_size is None else claimed_size))

    def write(self, path, version=2):
        data = b""
        index = b""
        for name_id, payload, size in self.records:
            index += struct.pack("<II", name_id, 0) + struct.pack("<5I", len(data), size, size, 0, 0)
            data += payload
        table = struct.pack("<i", len(self.strings))
        for text in self.strings:
            encoded = text.encode("latin-1")
            table += struct.pack("<I", len(encoded)) + encoded
        index_offset = 24 + len(data)
        header = struct.pack("<HHIIIII", version, 0, index_offset, len(index), len(self.records),
                             index_offset + len(index), len(table))
        with open(path, "wb") as f:
            f.write(header + data + index + table)
