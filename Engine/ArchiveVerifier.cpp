// The integrity test: the index record by record, then every file's bytes on every core.
#include "Engine/ArchiveVerifier.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include <lz4.h>
#include <zlib.h>

#include "Engine/ArchiveValidation.h"
#include "Engine/MemGrowth.h"
#include "platform/File.h"

namespace GAME {
namespace {

// Expanded bytes a worker checks at a time: pieces of a large file go to every core.
constexpr std::uint32_t pieceSize = 16 * archiveBlockSize;

// Reads a table of `count` records of `T` at `offset`.
template <typename T>
bool ReadTable(platform::FileHandle file, std::uint64_t offset, std::uint64_t count, std::vector<T>& table) {
    if (!mem::TryResize(table, count)) return false;
    std::uint64_t bytes = count * sizeof(T);
    char* out = reinterpret_cast<char*>(table.data());
    while (bytes > 0) {
        const std::uint32_t chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, 1u << 30));
        std::uint32_t got = 0;
        if (!platform::ReadFileAt(file, out, chunk, offset, &got) || got != chunk) return false;
        out += chunk;
        offset += chunk;
        bytes -= chunk;
    }
    return true;
}

}  // namespace

const char* DamageText(Damage damage) {
    switch (damage) {
        case Damage::nameOutsideTable: return "its name does not lie in the name table";
        case Damage::outsideData: return "its data does not lie between the header and the index";
        case Damage::overlaps: return "its data overlaps the data before it";
        case Damage::blocksDoNotAddUp: return "its blocks do not add up to its sizes";
        case Damage::unreadable: return "its data could not be read";
        case Damage::blockDoesNotExpand: return "a block does not expand to its size";
        case Damage::checksum: return "its checksum does not match";
    }
    return "";
}

const char* IndexDamageText(IndexDamage damage) {
    switch (damage) {
        case IndexDamage::none: return "";
        case IndexDamage::notAnArchive: return "it is not an archive";
        case IndexDamage::outsideFile: return "its index does not lie inside the file (the file may be cut short)";
        case IndexDamage::unreadable: return "its index could not be read";
        case IndexDamage::unusedBytes: return "its index holds bytes that no file uses";
    }
    return "";
}

// A run of a sound record's contents that one worker checks: whole blocks of a compressed file,
// or bytes of a stored one.
struct ArchiveVerifier::Piece {
    unsigned int record;
    std::uint32_t start;   // within the expanded contents
    std::uint32_t length;  // expanded bytes
    uLong checksum = 0;    // Adler-32 of these bytes alone
    bool damaged = false;
    Damage damage = Damage::unreadable;
};

// A worker's buffers: one block as stored and as expanded.
struct ArchiveVerifier::Worker {
    std::unique_ptr<char[]> stored = mem::TryNewArray<char>(archiveBlockSize);
    std::unique_ptr<char[]> expanded = mem::TryNewArray<char>(archiveBlockSize);
};

ArchiveVerifier::ArchiveVerifier(platform::FileHandle file) : file(file) {}

ArchiveVerifier::~ArchiveVerifier() = default;

void ArchiveVerifier::Damaged(unsigned int record, Damage damage) {
    const DiskFileEntry& entry = entries[record];
    const bool named = damage != Damage::nameOutsideTable;
    result.damaged.push_back(
        {record, named ? std::string(names.data() + entry.nameOffset, entry.nameLength) : std::string(), damage});
}

bool ArchiveVerifier::CheckIndex() {
    std::uint64_t fileSize = 0;
    std::uint32_t got = 0;
    if (!platform::GetFileSize(file, &fileSize)) {
        result.index = IndexDamage::unreadable;
        return false;
    }
    if (fileSize == 0) return true;  // an empty archive
    if (!platform::ReadFileAt(file, &header, sizeof header, 0, &got) || got != sizeof header ||
        std::memcmp(header.magic, "ARC", 4) != 0 || header.version != ARCHIVE_VERSION) {
        result.index = IndexDamage::notAnArchive;
        return false;
    }
    if (!CheckIndexFitsFile(header, fileSize, false)) {
        result.index = IndexDamage::outsideFile;
        return false;
    }
    const std::uint64_t namesAt =
        std::uint64_t(header.indexOffset) + std::uint64_t(header.numBlocks) * sizeof(FileBlock);
    if (!ReadTable(file, header.indexOffset, header.numBlocks, blocks) ||
        !ReadTable(file, namesAt, header.nameTableSize, names) ||
        !ReadTable(file, namesAt + header.nameTableSize, header.numFiles, entries) ||
        !mem::TryResize(sound, header.numFiles)) {
        result.index = IndexDamage::unreadable;
        return false;
    }
    EntryChecker loader(header, false);  // what a load of the index would say of it
    bool loads = true;
    std::uint64_t dataEnd = sizeof(ArchiveHeader);
    for (unsigned int i = 0; i < header.numFiles; ++i) {
        const DiskFileEntry& entry = entries[i];
        loads = loads && loader.CheckPlacement(entry) &&
                loader.CheckContents(entry, names.data(), blocks.empty() ? nullptr : blocks.data());
        const bool inUse = entry.flags & Archive::fileFlagInUse;
        const std::uint64_t runEnd = std::uint64_t(entry.offset) + entry.size;
        Damage damage = Damage::checksum;  // none yet
        if (inUse && (std::uint64_t(entry.nameOffset) + entry.nameLength >= names.size() ||
                      names[std::uint64_t(entry.nameOffset) + entry.nameLength] != '\0'))
            damage = Damage::nameOutsideTable;
        else if (entry.offset < sizeof(ArchiveHeader) || runEnd > header.indexOffset)
            damage = Damage::outsideData;
        else if (entry.offset < dataEnd)
            damage = Damage::overlaps;
        dataEnd = std::max(dataEnd, runEnd);
        if (!inUse) continue;
        ++result.files;
        result.bytes += entry.expandedSize;
        if (damage == Damage::checksum && !(entry.flags & Archive::fileFlagCompressed) &&
            entry.size != entry.expandedSize)
            damage = Damage::blocksDoNotAddUp;
        if (damage == Damage::checksum && (entry.flags & Archive::fileFlagCompressed)) {
            // The blocks follow each other through the run, each full but the last.
            const std::uint64_t wanted = (std::uint64_t(entry.expandedSize) + archiveBlockSize - 1) / archiveBlockSize;
            bool adds = entry.numBlocks == wanted && std::uint64_t(entry.firstBlock) + entry.numBlocks <= blocks.size();
            std::uint64_t at = entry.offset, expanded = 0;
            for (unsigned int b = 0; adds && b < entry.numBlocks; ++b) {
                const FileBlock& block = blocks[entry.firstBlock + b];
                const std::uint32_t full = b + 1 < entry.numBlocks ? archiveBlockSize : entry.expandedSize - expanded;
                adds = block.offset == at && block.expandedSize == full && block.compressedSize <= block.expandedSize;
                at += block.compressedSize;
                expanded += block.expandedSize;
            }
            if (!adds || at != runEnd) damage = Damage::blocksDoNotAddUp;
        }
        if (damage != Damage::checksum)
            Damaged(i, damage);
        else
            sound[i] = true;
    }
    // A damaged record above has its line; an index that fails only as a whole needs one too.
    if ((!loads || !loader.CheckTablesUsed()) && result.damaged.empty()) result.index = IndexDamage::unusedBytes;
    return true;
}

std::uint64_t ArchiveVerifier::BytesToRead() const {
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < entries.size(); ++i)
        if (sound[i]) bytes += entries[i].expandedSize;
    return bytes;
}

void ArchiveVerifier::CheckPiece(Piece& piece, Worker& worker) const {
    const DiskFileEntry& entry = entries[piece.record];
    piece.checksum = adler32(0, nullptr, 0);
    if (!worker.stored || !worker.expanded) {
        piece.damaged = true;  // no memory to read it with: not checked, so not passed
        return;
    }
    for (std::uint32_t done = 0; done < piece.length;) {
        const std::uint32_t at = piece.start + done;
        std::uint32_t got = 0;
        if (!(entry.flags & Archive::fileFlagCompressed)) {
            const std::uint32_t chunk = std::min(piece.length - done, archiveBlockSize);
            if (!platform::ReadFileAt(file, worker.expanded.get(), chunk, std::uint64_t(entry.offset) + at, &got) ||
                got != chunk) {
                piece.damaged = true;
                return;
            }
            piece.checksum = adler32(piece.checksum, reinterpret_cast<const Bytef*>(worker.expanded.get()), chunk);
            done += chunk;
            continue;
        }
        const FileBlock& block = blocks[entry.firstBlock + at / archiveBlockSize];
        if (!platform::ReadFileAt(file, worker.stored.get(), block.compressedSize, block.offset, &got) ||
            got != block.compressedSize) {
            piece.damaged = true;
            return;
        }
        const char* bytes = worker.stored.get();
        if (block.compressedSize < block.expandedSize) {
            // Expanded into a buffer of exactly its size: a block that would grow past it fails.
            const int expanded =
                LZ4_decompress_safe(worker.stored.get(), worker.expanded.get(), static_cast<int>(block.compressedSize),
                                    static_cast<int>(block.expandedSize));
            if (expanded != static_cast<int>(block.expandedSize)) {
                piece.damaged = true;
                piece.damage = Damage::blockDoesNotExpand;
                return;
            }
            bytes = worker.expanded.get();
        }
        piece.checksum = adler32(piece.checksum, reinterpret_cast<const Bytef*>(bytes), block.expandedSize);
        done += block.expandedSize;
    }
}

void ArchiveVerifier::CheckContents(unsigned int threads, std::atomic<std::uint64_t>* done) {
    std::vector<Piece> pieces;
    for (unsigned int i = 0; i < entries.size(); ++i) {
        if (!sound[i]) continue;
        const std::uint32_t size = entries[i].expandedSize;
        std::uint32_t start = 0;
        do {
            const std::uint32_t length = std::min(size - start, pieceSize);
            pieces.push_back(Piece{i, start, length});
            start += length;
        } while (start < size);
    }
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = static_cast<unsigned int>(std::min<std::size_t>(threads, std::max<std::size_t>(pieces.size(), 1)));
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        Worker worker;
        for (std::size_t p = next++; p < pieces.size(); p = next++) {
            CheckPiece(pieces[p], worker);
            if (done != nullptr) *done += pieces[p].length;
        }
    };
    std::vector<std::thread> workers;
    for (unsigned int t = 1; t < threads; ++t) workers.emplace_back(work);
    work();
    for (std::thread& worker : workers) worker.join();

    // The pieces of a file are summed one after the other, as if read in one go.
    for (std::size_t p = 0; p < pieces.size();) {
        const unsigned int record = pieces[p].record;
        uLong checksum = adler32(0, nullptr, 0);
        const Piece* firstDamaged = nullptr;
        for (; p < pieces.size() && pieces[p].record == record; ++p) {
            if (pieces[p].damaged && firstDamaged == nullptr) firstDamaged = &pieces[p];
            checksum = adler32_combine(checksum, pieces[p].checksum, static_cast<z_off_t>(pieces[p].length));
        }
        if (firstDamaged != nullptr)
            Damaged(record, firstDamaged->damage);
        else if (checksum != entries[record].checksum)
            Damaged(record, Damage::checksum);
    }
    std::sort(result.damaged.begin(), result.damaged.end(),
              [](const DamagedRecord& a, const DamagedRecord& b) { return a.record < b.record; });
}

}  // namespace GAME
