// The integrity test of an archive: its index, and every file's bytes against its checksum.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Engine/ArchiveFormat.h"
#include "platform/FileHandle.h"

namespace GAME {

/// What is wrong with one record. The index checks come first, in this order; a record that
/// fails one is not read.
enum class Damage {
    nameOutsideTable,    // its name does not lie inside the name table, ended by a zero byte
    outsideData,         // its bytes do not lie between the header and the index
    overlaps,            // its bytes begin before those of the record before it end
    blocksDoNotAddUp,    // its sizes, or its blocks, do not add up as the format lays them out
    unreadable,          // its bytes could not be read
    blockDoesNotExpand,  // a block does not expand to the size its record gives
    checksum,            // its contents do not have the checksum its record gives
};

/// The words that tell `damage`, as they follow a file's name: "its checksum does not match".
const char* DamageText(Damage damage);

struct DamagedRecord {
    unsigned int record;  // its place in the entry table
    std::string name;     // empty when its name cannot be read
    Damage damage;
};

/// What is wrong with the index as a whole, when it cannot be gone through record by record.
enum class IndexDamage {
    none,
    notAnArchive,  // the header is not an archive's
    outsideFile,   // the tables do not lie behind the header and inside the file: cut short
    unreadable,    // the tables could not be read
    unusedBytes,   // every record holds, but the tables hold bytes no record uses
};

const char* IndexDamageText(IndexDamage damage);

/// What a check found.
struct Verification {
    IndexDamage index = IndexDamage::none;
    std::uint64_t files = 0;             // in-use records
    std::uint64_t bytes = 0;             // their expanded bytes
    std::vector<DamagedRecord> damaged;  // in entry-table order, one line each
};

/// Checks the archive open as `file`, reading it at offsets (the file's position is left alone) and writing nothing.
/// Within the index, each in-use record's name lies in the name table; every record's run lies in the data region, at
/// or after the end of the run before it; a stored file's run is as long as its contents, and a
/// compressed file's blocks lie in the block table and in its run, each but the last 262144
/// bytes expanded, adding up to both sizes. Then every in-use record that holds is read: each
/// block expanded to exactly its size, and the Adler-32 of the whole contents, stored files'
/// too, compared with the record's.
class ArchiveVerifier {
public:
    explicit ArchiveVerifier(platform::FileHandle file);
    ~ArchiveVerifier();
    ArchiveVerifier(const ArchiveVerifier&) = delete;
    ArchiveVerifier& operator=(const ArchiveVerifier&) = delete;

    /// Reads the header and the index and checks each record (an empty file has none). False when the index cannot be
    /// gone through at all (Result().index tells why).
    bool CheckIndex();

    /// The expanded bytes that CheckContents reads: for a progress line.
    std::uint64_t BytesToRead() const;

    /// Reads every record that passed CheckIndex, on `threads` threads (0: one a core), adding
    /// the expanded bytes of each piece to `*done` as it is checked, when `done` is given.
    void CheckContents(unsigned int threads, std::atomic<std::uint64_t>* done = nullptr);

    const Verification& Result() const { return result; }

private:
    struct Piece;
    struct Worker;

    void Damaged(unsigned int record, Damage damage);
    void CheckPiece(Piece& piece, Worker& worker) const;

    platform::FileHandle file;
    ArchiveHeader header{};
    std::vector<DiskFileEntry> entries;
    std::vector<FileBlock> blocks;
    std::vector<char> names;
    std::vector<char> sound;  // per record: in use and passed the index checks
    Verification result;
};

}  // namespace GAME
