// Opening and closing an archive and loading its index.
#include "Engine/Archive.h"

#include <cstring>
#include <memory>
#include <vector>

#include "Engine/ArchiveEntryCodec.h"
#include "Engine/ArchiveFormat.h"
#include "Engine/ArchiveIndexLayout.h"
#include "Engine/ArchiveRecovery.h"
#include "Engine/ArchiveValidation.h"
#include "Engine/EditSession.h"
#include "Engine/MemGrowth.h"
#include "Engine/TableStream.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"

namespace GAME {
namespace {

// Entry-table records read and checked at a time while an index loads: 360 KB, reused for
// every piece.
constexpr std::uint64_t entriesPerPiece = 1u << 13;
// Bytes of each table read at a time by a view of one record.
constexpr std::size_t indexPiece = 256u << 10;

}  // namespace
Archive::Archive()
    : allowReopen(false),
      archiveFileTime(0),
      archiveFileMode(fileModeNone),
      blockSize(archiveBlockSize),
      tableSize(0),
      openStatus(OpenStatus::opened),
      indexAsLaidOut(false),
      writeFailed(false) {}

Archive::~Archive() { Close(false); }

bool Archive::OpenRead(const char* fileName) {
    const OpenStatus status = OpenFile(fileName, Access::read);
    return status == OpenStatus::opened || status == OpenStatus::recovered;
}

bool Archive::OpenReadOne(const char* fileName, const char* name) {
    const StoredName wanted = MakeStoredName(name);
    const OpenStatus status = OpenFile(fileName, Access::read, &wanted);
    return status == OpenStatus::opened || status == OpenStatus::recovered;
}

bool Archive::OpenInspect(const char* fileName) { return OpenFile(fileName, Access::inspect) == OpenStatus::opened; }

OpenStatus Archive::OpenFile(const char* fileName, Access access, const StoredName* only) {
    openStatus = OpenStatus::opened;
    recovery = RecoveryResult{};
    indexAsLaidOut = false;
    if (!GAME_CHECK(fileName)) return openStatus = OpenStatus::cannotOpen;
    if (*fileName == '\0') return openStatus = OpenStatus::notFound;

    const bool forEdit = access == Access::editShared || access == Access::editAlone;
    platform::FileAttributes attributes;
    // An edit keeps the time the file had before it; a reader takes the time of what it reads.
    const bool existed = forEdit && platform::GetFileAttributes(fileName, &attributes);
    // Readers share the lock, so that none of them ever sees an edit half made; an edit holds it
    // alone, or takes it alone before it writes.
    archiveFile.Reset(OpenLocked(fileName, access));
    if (!archiveFile) {
        // A new archive refused for the journal in its place leaves nothing behind.
        if (forEdit && !existed && openStatus == OpenStatus::journal &&
            platform::GetFileAttributes(fileName, &attributes) && attributes.size == 0)
            platform::DeleteFile(fileName);
        return openStatus;
    }
    if (!forEdit)
        archiveFileTime = platform::GetFileAttributes(fileName, &attributes) ? attributes.lastWriteTime : 0;
    else
        archiveFileTime = existed ? attributes.lastWriteTime : 0;

    archiveFileMode = forEdit ? fileModeEdit : fileModeRead;
    archiveFileName = fileName;

    std::uint64_t fileSize = 0;
    // Loading an index chains its records; an empty archive has only the buckets to make.
    // A view of one record is taken only of an index as brannock writes it, never of an empty file.
    if (platform::GetFileSize(archiveFile.Get(), &fileSize) &&
        (only != nullptr ? fileSize != 0 && LoadOne(*only)
                         : (fileSize != 0 ? ReadHeader(access != Access::inspect) : BuildHashTable())))
        return openStatus;
    // The file and its lock go at once, so that a failed open holds no edit off. Nothing may be
    // written into a file that did not open as a sound archive; a reader's Close releases the
    // rest.
    if (forEdit) Abandon();
    archiveFile.Reset();
    return openStatus = OpenStatus::damaged;
}

platform::FileHandle Archive::OpenLocked(const char* fileName, Access access) {
    const bool forEdit = access == Access::editShared || access == Access::editAlone;
    const bool exclusive = access == Access::editAlone;
    const platform::LockMode mode = exclusive ? platform::LockMode::exclusive : platform::LockMode::shared;
    auto fail = [this](OpenStatus why) {
        openStatus = why;
        return platform::invalidFileHandle;
    };
    // What RecoverArchive came to decides whether the open goes on.
    auto recover = [this, fileName](platform::FileHandle file) {
        recovery = RecoverArchive(fileName, file, &Archive::OpensAsArchive);
        if (recovery.outcome == Recovery::rolledBack) openStatus = OpenStatus::recovered;
        return recovery.Usable();
    };
    // A reader that must roll an interrupted edit back does so through a handle of its own and
    // then opens again, once.
    for (int attempt = 0; attempt < 2; ++attempt) {
        platform::UniqueFile file(forEdit ? platform::OpenFileForEdit(fileName) : platform::OpenFileForRead(fileName));
        if (!file) {
            const int error = platform::GetLastErrorValue();
            if (platform::ErrorIsMissingFile(error)) return fail(OpenStatus::notFound);
            return fail(forEdit && platform::ErrorIsAccessDenied(error) ? OpenStatus::readOnly
                                                                        : OpenStatus::cannotOpen);
        }
        if (!platform::LockFile(file.Get(), mode)) return fail(OpenStatus::busy);
        int error = 0;
        const JournalFinding finding = InspectJournal(fileName, file.Get(), &error);
        if (finding == JournalFinding::none) return file.Release();
        if (access == Access::inspect) {
            if (finding != JournalFinding::harmless) recovery = RecoveryResult{Recovery::leftAlone, finding, error};
            return file.Release();
        }
        // With the lock alone, the journal is dealt with here and now.
        if (exclusive || (forEdit && platform::LockFile(file.Get(), platform::LockMode::exclusive))) {
            if (!recover(file.Get())) return fail(OpenStatus::journal);
            if (!exclusive && !platform::LockFile(file.Get(), platform::LockMode::shared))
                return fail(OpenStatus::busy);
            return file.Release();
        }
        // Other readers may share the lock, but no edit can start while it is held: a journal
        // that changes nothing goes (or stays, where this user may not delete it).
        if (finding == JournalFinding::harmless) {
            DeleteJournal(JournalPath(fileName));
            return file.Release();
        }
        if (finding != JournalFinding::interrupted) {
            recovery = RecoveryResult{Recovery::refused, finding, error};
            return fail(OpenStatus::journal);
        }
        // Another reader holds the lock too, or this handle may only read: the lock is let go and
        // taken alone through a handle that may write, which one of two such readers gets.
        file.Reset();
        platform::UniqueFile editor(platform::OpenFileForEdit(fileName));
        if (!editor) {
            recovery = RecoveryResult{Recovery::failed, finding, platform::GetLastErrorValue()};
            return fail(OpenStatus::journal);
        }
        if (!platform::LockFile(editor.Get(), platform::LockMode::exclusive)) return fail(OpenStatus::busy);
        if (!recover(editor.Get())) return fail(OpenStatus::journal);
    }
    return fail(OpenStatus::busy);
}

bool Archive::OpensAsArchive(platform::FileHandle file) {
    std::uint64_t size = 0;
    if (!platform::GetFileSize(file, &size) || !platform::SetFilePosition(file, 0)) return false;
    if (size == 0) return true;
    Archive probe;
    probe.archiveFile.Reset(file);
    probe.archiveFileMode = fileModeRead;
    const bool opens = probe.ReadHeader();
    probe.archiveFile.Release();  // the caller's to close
    probe.Close(false);
    return opens && platform::SetFilePosition(file, 0);
}

bool Archive::ReadHeader(bool loadIndex) {
    if (!GAME_CHECK(archiveFile)) return false;

    ArchiveHeader archiveHeader;
    std::uint32_t bytesRead = 0;
    platform::ReadFile(archiveFile.Get(), &archiveHeader, sizeof(archiveHeader), &bytesRead);
    if (!GAME_CHECK(bytesRead == sizeof(archiveHeader))) return false;
    if (std::memcmp(archiveHeader.magic, "ARC", 4) != 0) {
        GAME_ASSERT_MSG(0, "Invalid archive file.");
        return false;
    }
    if (!GAME_CHECK(archiveHeader.version == ARCHIVE_VERSION)) return false;
    return !loadIndex || ReadIndex(archiveHeader);
}

bool Archive::ReadIndex(const ArchiveHeader& header) {
    // The entry table is read twice, a piece at a time through one small buffer: first to see
    // that the records point inside the tables and use every byte of them, before either table
    // is read at the size the header claims; then, with the tables loaded, to check each record
    // again against what they hold and to take it in. The second pass repeats the placement
    // checks, so that it trusts nothing of what the first one read.
    const std::unique_ptr<DiskFileEntry[]> piece = mem::TryNewArray<DiskFileEntry>(entriesPerPiece);
    if (!GAME_CHECK(piece) || !LoadIndexTables(header, piece.get())) return false;

    // Every record passed its placement check, so the count is the file's own, not a claim.
    const bool editing = archiveFileMode == fileModeEdit;
    // The records are chained by name as they come in: the room reserved for them all keeps
    // each one where the chains point.
    fileArray.clear();
    if (!GAME_CHECK(mem::TryReserve(fileArray, header.numFiles)) || !NewHashTable(header.numFiles)) return false;
    EntryChecker checker(header);
    // Whether each record lies in the tables where Close would put it.
    ArchiveHeader laidOut = NewIndexHeader(header.numFiles, 0);
    bool sameLayout = editing;
    for (std::uint64_t done = 0; done < header.numFiles;) {
        const std::uint64_t count = PieceAt(header, done, piece.get());
        if (count == 0) return false;
        for (std::uint64_t i = 0; i < count; ++i) {
            const DiskFileEntry& disk = piece[i];
            // Keep no record that points through a damaged entry.
            if (!checker.CheckPlacement(disk) || !checker.CheckContents(disk, nameTable.get(), blockArray.get()))
                return false;
            FileEntry entry{};
            DecodeEntry(disk, entry);
            if (entry.flags & fileFlagInUse) AttachNameAndBlocks(entry, disk, editing);
            fileArray.push_back(entry);
            ChainRecord(fileArray.back());
            if (sameLayout) {
                DiskFileEntry placed;
                PlaceEntry(entry, placed, laidOut);
                sameLayout = std::memcmp(&placed, &disk, sizeof placed) == 0;
            }
        }
        done += count;
    }
    if (!checker.CheckTablesUsed()) return false;
    // An edit that changes nothing need not write anything back when the file holds the index
    // exactly as Close would write it: the records where it puts them (so the tables match too,
    // each record's blocks and name being where it puts them), the header and the length.
    laidOut.indexOffset = AppendPoint();
    std::uint64_t fileSize = 0;
    indexAsLaidOut = sameLayout && std::memcmp(&laidOut, &header, sizeof header) == 0 &&
                     platform::GetFileSize(archiveFile.Get(), &fileSize) && fileSize == IndexEnd(header);
    return true;
}

bool Archive::LoadOne(const StoredName& name) {
    // Everything here only answers: whatever a full load would refuse or report, it leaves to it.
    ArchiveHeader header;
    std::uint64_t fileSize = 0;
    if (!platform::SetFilePosition(archiveFile.Get(), 0) ||
        !platform::ReadExactly(archiveFile.Get(), &header, sizeof header) || std::memcmp(header.magic, "ARC", 4) != 0 ||
        header.version != ARCHIVE_VERSION || !platform::GetFileSize(archiveFile.Get(), &fileSize) ||
        !CheckIndexFitsFile(header, fileSize, false) || fileSize != IndexEnd(header))
        return false;
    // Laid out as brannock writes it, an index gives each record's blocks and name right behind
    // those of the record before: the three tables are read front to back side by side, a piece
    // at a time, and only the record of `name` is kept.
    const std::uint64_t blockBytes = std::uint64_t(header.numBlocks) * sizeof(FileBlock);
    TableStream blockStream(archiveFile.Get(), header.indexOffset, blockBytes, indexPiece);
    TableStream nameStream(archiveFile.Get(), header.indexOffset + blockBytes, header.nameTableSize, indexPiece);
    TableStream entryStream(archiveFile.Get(), header.indexOffset + blockBytes + header.nameTableSize,
                            std::uint64_t(header.numFiles) * sizeof(DiskFileEntry), indexPiece);
    EntryChecker checker(header, false);
    ArchiveHeader laidOut = NewIndexHeader(header.numFiles, 0);
    FileEntry found{};
    std::unique_ptr<char[]> foundName;
    std::unique_ptr<FileBlock[]> foundBlocks;
    unsigned int dataEnd = sizeof(ArchiveHeader);
    for (std::uint64_t i = 0; i < header.numFiles; ++i) {
        const char* record = entryStream.Next(sizeof(DiskFileEntry));
        if (record == nullptr) return false;
        DiskFileEntry disk;
        std::memcpy(&disk, record, sizeof disk);
        if (!checker.CheckPlacement(disk)) return false;
        // Where a rewrite would put this record; only then are its name and blocks the next ones.
        FileEntry entry{};
        DecodeEntry(disk, entry);
        const bool inUse = (entry.flags & fileFlagInUse) != 0;
        const char* ownName = nullptr;
        const FileBlock* ownBlocks = nullptr;
        // PlaceEntry asks only whether the record has a name and blocks.
        FileBlock placeholder{};
        char noName = '\0';
        if (inUse) {
            entry.name = &noName;
            entry.blocks = disk.numBlocks != 0 ? &placeholder : nullptr;
        }
        DiskFileEntry placed;
        PlaceEntry(entry, placed, laidOut);
        if (std::memcmp(&placed, &disk, sizeof placed) != 0) return false;
        if (inUse) {
            ownName = nameStream.Next(std::uint64_t(disk.nameLength) + 1);
            const char* blocks = blockStream.Next(std::uint64_t(disk.numBlocks) * sizeof(FileBlock));
            if (ownName == nullptr || (disk.numBlocks != 0 && blocks == nullptr)) return false;
            ownBlocks = reinterpret_cast<const FileBlock*>(blocks);
            if (!checker.CheckOwnContents(disk, ownName, ownBlocks)) return false;
        }
        dataEnd = entry.offset + entry.size;
        // The last record of the name is the one a lookup in the full index finds.
        if (inUse && disk.nameLength == name.text.size() &&
            std::memcmp(ownName, name.text.data(), name.text.size()) == 0) {
            found = entry;
            foundName = mem::TryNewArray<char>(std::uint64_t(disk.nameLength) + 1);
            foundBlocks = mem::TryNewArray<FileBlock>(disk.numBlocks);
            if (foundName == nullptr || (disk.numBlocks != 0 && foundBlocks == nullptr)) return false;
            std::memcpy(foundName.get(), ownName, std::size_t(disk.nameLength) + 1);
            if (disk.numBlocks != 0)
                std::memcpy(foundBlocks.get(), ownBlocks, std::size_t(disk.numBlocks) * sizeof(FileBlock));
        }
    }
    laidOut.indexOffset = header.numFiles != 0 ? dataEnd : static_cast<unsigned int>(sizeof(ArchiveHeader));
    if (!checker.CheckTablesUsed() || std::memcmp(&laidOut, &header, sizeof header) != 0) return false;

    // The view: the one record, which owns its copies of its name and blocks.
    fileArray.clear();
    if (!mem::TryReserve(fileArray, 1) || !NewHashTable(1)) return false;
    if (foundName != nullptr) {
        found.name = foundName.release();
        // A stored file's record in a read index points into the block table all the same; here
        // there is none to point into.
        found.blocks = foundBlocks.release();
        found.ownsCopies = true;
        fileArray.push_back(found);
        ChainRecord(fileArray.back(), name.hash);
    }
    return true;
}

std::uint64_t Archive::PieceAt(const ArchiveHeader& header, std::uint64_t first, DiskFileEntry* piece) {
    const std::uint64_t left = header.numFiles - first;
    const std::uint64_t count = left < entriesPerPiece ? left : entriesPerPiece;
    const std::uint64_t at = std::uint64_t(header.indexOffset) + std::uint64_t(header.numBlocks) * sizeof(FileBlock) +
                             header.nameTableSize + first * sizeof(DiskFileEntry);
    const std::uint64_t bytes = count * sizeof(DiskFileEntry);
    if (!platform::SetFilePosition(archiveFile.Get(), at)) return 0;
    return GAME_CHECK(platform::ReadUpTo(archiveFile.Get(), piece, bytes) == bytes) ? count : 0;
}

bool Archive::LoadIndexTables(const ArchiveHeader& header, DiskFileEntry* piece) {
    std::uint64_t fileSize = 0;
    if (!platform::GetFileSize(archiveFile.Get(), &fileSize)) return false;
    if (!CheckIndexFitsFile(header, fileSize)) return false;

    // The entry table first, a piece at a time, and each piece checked before the next is read:
    // a count that fits only because the file is long (a sparse one, say) costs one piece to
    // refuse, not a table of its size. Neither of the other tables is read before the records
    // have shown that they use every byte of it.
    EntryChecker checker(header);
    for (std::uint64_t done = 0; done < header.numFiles;) {
        const std::uint64_t count = PieceAt(header, done, piece);
        if (count == 0) return false;
        for (std::uint64_t i = 0; i < count; ++i)
            if (!checker.CheckPlacement(piece[i])) return false;
        done += count;
    }
    if (!checker.CheckTablesUsed()) return false;

    const std::uint64_t blockTableBytes = std::uint64_t(header.numBlocks) * sizeof(FileBlock);
    if (!platform::SetFilePosition(archiveFile.Get(), header.indexOffset)) return false;
    std::uint64_t bytesRead = 0;
    if (header.numBlocks != 0) {
        blockArray = mem::TryNewArray<FileBlock>(header.numBlocks);
        if (!GAME_CHECK(blockArray)) return false;
        bytesRead = platform::ReadUpTo(archiveFile.Get(), blockArray.get(), blockTableBytes);
        if (!GAME_CHECK(bytesRead == blockTableBytes)) return false;
    }
    if (header.nameTableSize != 0) {
        nameTable = mem::TryNewArray<char>(header.nameTableSize);
        if (!GAME_CHECK(nameTable)) return false;
        bytesRead = platform::ReadUpTo(archiveFile.Get(), nameTable.get(), header.nameTableSize);
        if (!GAME_CHECK(bytesRead == header.nameTableSize)) return false;
    }
    return true;
}

void Archive::AttachNameAndBlocks(FileEntry& entry, const DiskFileEntry& disk, bool editing) {
    // The record points into the tables the archive keeps, in either mode: an edit that removes
    // or replaces it drops the references, and a record it adds brings copies of its own.
    entry.name = nameTable.get() + disk.nameOffset;
    if (!editing)
        entry.blocks = blockArray != nullptr ? blockArray.get() + disk.firstBlock : nullptr;
    else
        entry.blocks = disk.numBlocks != 0 ? blockArray.get() + disk.firstBlock : nullptr;
}

unsigned int Archive::AppendPoint() const {
    return fileArray.empty() ? static_cast<unsigned int>(sizeof(ArchiveHeader))
                             : fileArray.back().offset + fileArray.back().size;
}

void Archive::Close(bool reopen) {
    if (editSession != nullptr) {
        if (!GAME_CHECK(reopen == false)) reopen = false;
        writeFailed = !editSession->Finish();
        editSession.reset();
        diag::RemoveAssertExitHandler(&Archive::CloseOnExit, this);
    }
    archiveFile.Reset();
    if (reopen && archiveFileMode == fileModeRead) {
        allowReopen = true;
        return;
    }
    ReleaseIndex();
}

void Archive::Abandon() {
    editSession.reset();
    ReleaseIndex();
    archiveFileMode = fileModeNone;
    archiveFile.Reset();
}

void Archive::AttachEditSession(std::unique_ptr<EditSession> session) {
    editSession = std::move(session);
    writeFailed = false;
    diag::AddAssertExitHandler(&Archive::CloseOnExit, this);
}

bool Archive::HasWriteFailed() const { return editSession != nullptr ? editSession->WriteFailed() : writeFailed; }

bool Archive::WriteHeldBackData() { return editSession == nullptr || editSession->WriteHeldBack(); }

void Archive::CloseOnExit(void* archive) { static_cast<Archive*>(archive)->Close(false); }

void Archive::ReleaseIndex() {
    // The records' names point into the tables or at copies of their own; drop them rather than
    // leave them dangling, so that a later open starts from an empty index.
    for (FileEntry& entry : fileArray) ReleaseRecord(entry);
    fileArray.clear();
    blockArray.reset();
    nameTable.reset();
    hashTable.reset();
    tableSize = 0;
    archiveFileName.clear();
    indexAsLaidOut = false;
}

void Archive::ReleaseRecord(FileEntry& entry) {
    // A record made during an edit owns its copies; a loaded one points into the tables.
    if (entry.ownsCopies) {
        std::unique_ptr<char[]> name(entry.name);
        std::unique_ptr<FileBlock[]> blocks(entry.blocks);
        entry.ownsCopies = false;
    }
    entry.name = nullptr;
    entry.blocks = nullptr;
}

unsigned int Archive::GetNumFiles() const { return static_cast<unsigned int>(fileArray.size()); }

const Archive::FileEntry& Archive::GetFileEntry(int index) const { return fileArray[index]; }

}  // namespace GAME
