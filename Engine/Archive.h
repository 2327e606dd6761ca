// GAME::Archive: one packed archive file and its in-memory index.
//
// An archive holds many files under normalised names (ASCII lower case, '/' as separator, no
// leading "." or "/"). Each file is one stored run of bytes or a run of LZ4 blocks of 262144
// expanded bytes. Opening loads the index into `fileArray`, one record per entry of the file's
// entry table (free records included), and chains the in-use records into a hash table by name.
// A record's position in `fileArray` is its file index; -1 means no record.
//
// The constructor, destructor, OpenRead, Close, FindMatchingFiles, GetNumFiles and
// GetFileEntry form the exported interface of the shared library, and are all that a program
// outside brannock sees. The engine's own code (built with BRANNOCK_BUILDING) also sees the
// reading internals and the archive editor's members, which the library does not export.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Engine/Export.h"
#include "Engine/MemVector.h"
#include "platform/FileHandle.h"

namespace platform {
class OutputFolder;
}

namespace GAME {

class ArchiveJournal;
class BlockCompressor;
struct PackedBlock;
struct ArchiveHeader;
struct ByteRange;
struct ArchiveStatistics;
struct DiskFileEntry;

/// One block of a compressed file, the same in memory and on disk.
struct FileBlock {
    unsigned int offset;          // absolute offset of the block's bytes in the archive
    unsigned int compressedSize;  // bytes as stored; equal to expandedSize for a raw block
    unsigned int expandedSize;    // bytes after expansion: 262144, less for a file's last block
};

class Archive {
public:
    // ---- The exported interface (libbrannock) ---------------------------------------------

    enum FileMode {
        fileModeNone = 0,
        fileModeRead = 1,
        fileModeEdit = 2,
    };

    enum FileFlags {
        fileFlagInUse = 1,
        fileFlagCompressed = 2,
    };

    /// One record of the index. A record loaded from the file has its `name` and `blocks` in the
    /// index tables the archive loaded and owns. In edit mode a record made during the edit owns
    /// copies of its own instead, which removing or replacing it releases. Free records have
    /// neither.
    struct FileEntry {
        unsigned int flags;         // fileFlagInUse, fileFlagCompressed; 0 for a free record
        unsigned int offset;        // absolute offset of the file's run
        unsigned int size;          // bytes of the run
        unsigned int expandedSize;  // bytes of the file's contents
        unsigned int numBlocks;     // block records of a compressed file; 0 for a stored one
        unsigned int checksum;      // Adler-32 of the contents
        std::uint64_t fileTime;     // last-write time of the added file, as a FILETIME
        FileBlock* blocks;          // numBlocks block records, or null
        unsigned int nameLength;    // bytes of name, without its terminating zero
        char* name;                 // the normalised name, or null
        FileEntry* next;            // next record of the same hash bucket
    };

    /// An archive with nothing open.
    BRANNOCK_API Archive();

    /// Closes the archive as Close(false) does.
    BRANNOCK_API ~Archive();

    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    /// Opens an existing archive for reading and loads its index. Readers share the archive with
    /// each other but never with an edit: the archive stays as it was read until Close. An edit
    /// that was interrupted is rolled back first, where the user may write the archive. Gives
    /// false when the file cannot be opened, an edit holds it, a journal beside it cannot be
    /// dealt with (a line on standard error says why) or it is not a sound archive (a report
    /// names the failed check); Close then releases what the attempt left. A zero-length file
    /// opens as an empty archive. Call it on an archive that is not open.
    BRANNOCK_API bool OpenRead(const char* fileName);

    /// Closes the file. An archive open for edit has its index written first. With `reopen` on
    /// an archive open for reading, the index stays loaded so that lookups keep working, but
    /// file data can no longer be read; otherwise everything is released.
    BRANNOCK_API void Close(bool reopen);

    /// Appends to `files` the indices, ascending, of the records whose names end with
    /// `pattern` (ASCII case ignored, no wildcards), and gives their number.
    BRANNOCK_API unsigned int FindMatchingFiles(mem::vector<int>& files, const std::string& pattern);

    /// The number of records, free ones included.
    BRANNOCK_API unsigned int GetNumFiles() const;

    /// The record at `index`, 0 <= index < GetNumFiles(). It stays valid until the archive is
    /// closed.
    BRANNOCK_API const FileEntry& GetFileEntry(int index) const;

#if defined(BRANNOCK_BUILDING)
    // ---- Reading internals (Engine/) ----------------------------------------------------
    // Not exported: only code built into brannock sees these declarations, so a program
    // outside it can call every member it sees.

    /// The index of the record stored under `fileName` after normalisation, or -1.
    int FindFile(const char* fileName);

    /// Copies `size` expanded bytes of file `fileIndex`, from `offset` within its contents, to
    /// `dest`. A range past the end of the contents is cut there. Gives false when the record,
    /// the request or the data is not sound; the checksum is not examined.
    bool ReadFileData(int fileIndex, void* dest, unsigned int offset, unsigned int size);

    /// Writes into `out` the stored form of `fileName`: '\' becomes '/', ASCII upper case
    /// becomes lower case, then one leading '.' and after it one leading '/' are removed. An
    /// empty name leaves `out` as it is.
    static void NormalizeFileName(const char* fileName, std::string& out);

    /// The hash bucket of a stored name under the current table size.
    unsigned int HashFileName(const char* name, unsigned int length) const;

    /// The number of hash buckets; 0 before the first build.
    unsigned int GetTableSize() const { return tableSize; }

    /// The mode of the last open; Close leaves it.
    int GetFileMode() const { return archiveFileMode; }

    /// The last-write time of the archive file when it was opened.
    std::uint64_t GetArchiveFileTime() const { return archiveFileTime; }

    // ---- The editor (tool/editor/) --------------------------------------------------------
    // Not exported either; each member names the file that defines it.

    /// How an edit holds the archive's lock.
    enum class EditLock {
        exclusive,  // alone, from the open on: for commands that change the archive
        shared,     // beside other readers, taken alone only when Close must write the index
                    // back (and the index left as it is when another reader is there)
    };

    /// Why the last OpenRead or OpenEdit gave false.
    enum class OpenFailure {
        none,
        cannotOpen,  // the file cannot be opened (or made) as asked; the error value tells why
        busy,        // another process holds the lock: an edit, or readers beside an edit
        journal,     // a journal beside it could not be dealt with (a line on standard error said why)
        damaged,     // it is not a sound archive (an assertion report named the failed check)
    };

    /// Opens an archive for reading and writing, creating an empty file when the path does not
    /// exist, and loads the index in its editable form. An edit that was interrupted is rolled
    /// back first. Gives false when the file cannot be opened, another process holds its lock,
    /// a journal beside it must not be used, or it is not a sound archive; the file is then left
    /// exactly as it was, and the archive as if never opened. (ArchiveWriter.cpp)
    bool OpenEdit(const char* fileName, EditLock lock = EditLock::exclusive);

    /// Why the last open failed.
    OpenFailure GetOpenFailure() const { return static_cast<OpenFailure>(openFailure); }

    /// Makes everything the edit has done so far durable: data, index and header, as Close
    /// would. Gives false when that failed; the archive then holds its last commit, and the
    /// edit writes nothing more. (Engine/ArchiveIndexWriter.cpp)
    bool CommitChanges();

    /// Makes the record of a new file of `size` stored and `expandedSize` expanded bytes under
    /// the normalised `fileName`: in the best-fitting free record, or appended at the end of the
    /// data. Gives its index, or -1 when the name exists or the data would pass the 4 GiB limit.
    /// Appending may move `fileArray`; earlier record references are then stale.
    /// (ArchiveWriter.cpp)
    int AllocateFileEntry(const char* fileName, unsigned int size, unsigned int expandedSize, bool compressed);

    /// The free record that fits `size` bytes best: the first exact fit, else the smallest that
    /// is large enough. -1 when none is. (ArchiveWriter.cpp)
    int FindFreeEntry(unsigned int size);

    /// Surveys the index and the hash table. Works in either mode and changes nothing.
    /// (ArchiveWriter.cpp)
    void GetStatistics(ArchiveStatistics& stats) const;

    /// Adds the loose file `fileName` under its normalised name, stored when
    /// `compressionLevel` is 0 and as LZ4 blocks otherwise. Gives the new record's index, or -1
    /// when the name exists or the file cannot be added (a line on standard error says why,
    /// except for an existing name). (ArchiveAddFile.cpp)
    int AddFile(const char* fileName, int compressionLevel);

    /// Lets compressed additions take their blocks from `compressor`, whose workers pack the
    /// files it is told of ahead of their addition; null packs them on the calling thread. The
    /// archive's bytes are the same either way. The compressor must outlive its use here.
    /// (ArchiveAddFile.cpp)
    void UseBlockCompressor(BlockCompressor* compressor) { blockCompressor = compressor; }

    /// Turns an in-use record into a free record that keeps its byte range. Nothing on disk
    /// changes until Close. (ArchiveCompact.cpp)
    void RemoveFile(int fileIndex);

    /// Moves every file's data down over the holes and drops the free records. Record indices
    /// change. (ArchiveCompact.cpp)
    void Compact();

    /// Writes file `fileIndex` to the output directory + "/" + its name, creating the
    /// directories on the way; the directory is a location as typed: '\' becomes '/', letters
    /// lower case, nothing stripped (so an absolute one stays absolute), and folders that exist
    /// are found whatever their case. Below the output
    /// directory no symbolic link is followed: a link where the file goes is replaced by the
    /// file, and a folder on the way that is a link refuses it. A compressed file is checked
    /// against its checksum and written even when that fails (after a report). Gives false when
    /// the index is out of range, the record is free, the name would leave the output directory
    /// or a folder on its way is a link, the output file cannot be created, or the file was not
    /// written whole: its data damaged, its checksum wrong, or a write failed (a line on standard
    /// error for each). (ArchiveExtract.cpp)
    bool ExtractFile(int fileIndex, const char* outputDirectory);

    /// Extracts every record in order to the output directory + "/" + `folder` + "/" + its name,
    /// printing "(i / n) name" before each. `folder` (-extract puts the archive's base name
    /// there) lies below the output directory, so a link there is refused as one on the way of
    /// a name is. Gives true when every in-use record was extracted whole (a free record has
    /// nothing to extract); each one that was not has a line on standard error. Stops early
    /// after a stop signal. (ArchiveExtract.cpp)
    bool ExtractAllFiles(const char* outputDirectory, const std::string& folder = std::string());

    /// True once a write into the archive has failed in this open: an addition that had to be
    /// undone, a move of compaction, or the index at Close. The archive on disk may then lack
    /// what was asked of it.
    bool HasWriteFailed() const { return writeFailed; }

private:
    struct BlockBuffer;
    struct StagedFile;

    // Reading internals (Engine/Archive.cpp, ArchiveLookup.cpp, ArchiveRead.cpp).
    bool ReadHeader();
    bool ReadIndex(const ArchiveHeader& header);
    bool LoadIndexTables(const ArchiveHeader& header, DiskFileEntry* piece);
    std::uint64_t PieceAt(const ArchiveHeader& header, std::uint64_t first, DiskFileEntry* piece);
    void AttachNameAndBlocks(FileEntry& entry, const DiskFileEntry& disk, bool editing);
    bool BuildHashTable();
    bool NewHashTable(std::size_t records);
    void ChainRecord(FileEntry& entry);
    bool SetFilePosition(unsigned int position);
    bool ReadBlocks(int fileIndex, void* dest, unsigned int offset, unsigned int size);
    bool ReadBlock(int fileIndex, int blockIndex, BlockBuffer& buffer);
    void ReleaseTables();
    void ReleaseRecordCopies();
    void ReleaseRecord(FileEntry& entry);
    unsigned int AppendPoint() const;

    // Writing the index back and committing an edit (Engine/ArchiveIndexWriter.cpp).
    platform::FileHandle OpenLocked(const char* fileName, bool forEdit, bool exclusive);
    static bool OpensAsArchive(platform::FileHandle file);
    bool WriteHeader();
    bool WriteIndex(ArchiveHeader& header);
    bool WriteCommittedHeader(ArchiveHeader& header);
    bool CommitEdit(bool final);
    bool CommitIfJournalFull();
    void RollBackEdit();
    bool StartJournal(std::uint64_t fileLength);
    std::vector<ByteRange> CommittedRanges(std::uint64_t fileLength) const;
    bool ProtectRange(std::uint64_t offset, std::uint64_t length);
    bool WriteArchiveRange(std::uint64_t offset, const void* bytes, std::uint64_t length);
    bool WriteHeldBackData();

    // The editor (tool/editor/).
    void AbandonOpen();
    static void CloseOnExit(void* archive);
    int AddStoredFile(const char* fileName);
    int AddCompressedFile(const char* fileName);
    bool BeginReadAhead(const char* fileName, std::uint64_t* length);
    const char* TakeReadAhead(std::uint64_t length, std::vector<std::vector<char>>* blocks, unsigned long* checksum);
    bool StageFromCompressor(const char* fileName, StagedFile& staged, std::uint64_t* length);
    const char* StageLooseFile(const char* fileName, StagedFile& staged, std::uint64_t* length);
    const char* StageBlock(StagedFile& staged, PackedBlock& block);
    const char* PlaceStagedFile(StagedFile& staged, unsigned int offset);
    const char* ReserveIndexRoom();
    void UndoAddition(int fileIndex);
    int RefuseAddition(int fileIndex, const char* fileName, const char* reason);
    bool MoveRecord(const FileEntry& record, unsigned int destination);
    bool CommitCompactionBatch(const mem::vector<FileEntry>& originals, std::size_t next, std::size_t placed);
    void KeepArchiveUntouched(platform::OutputFolder& output) const;
    bool ExtractFileWith(int fileIndex, platform::OutputFolder& output, const std::string& folder);
    const char* ExtractStoredFile(const FileEntry& fileEntry, platform::FileHandle outputFile);
    const char* ExtractCompressedFile(int fileIndex, const FileEntry& fileEntry, platform::FileHandle outputFile);
#endif  // BRANNOCK_BUILDING

private:
    // The data members are the same for every reader of this header.
    bool allowReopen;
    std::uint64_t archiveFileTime;
    platform::FileHandle archiveFileHandle;
    int archiveFileMode;
    std::string archiveFileName;
    mem::vector<FileEntry> fileArray;
    mem::vector<int> freeEntries;
    unsigned int blockSize;
    // The index tables as loaded: blockTableCount blocks and nameTableBytes bytes of names.
    FileBlock* blockArray;
    char* nameTable;
    std::size_t blockTableCount;
    std::size_t nameTableBytes;
    unsigned int tableSize;
    FileEntry** hashTable;
    bool writeFailed;
    // Room secured on disk while editing: the file reaches at least to reservedEnd, which
    // leaves room for an index of up to indexBound bytes behind the data. An index never grows
    // by more than an addition claims, so Close always finds its room.
    std::uint64_t reservedEnd;
    std::uint64_t indexBound;
    // True in an edit while the index in memory is, byte for byte, the one the file holds, header
    // and length included: nothing changed it since the open, and the file was laid out as Close
    // lays it out. Close then has nothing to write.
    bool indexOnDisk;
    // True in an edit that holds the lock beside other readers (EditLock::shared).
    bool sharedLock;
    int openFailure;
    // The rollback journal of the edit in progress. Null in an edit means the edit was rolled
    // back to its last commit and writes nothing more.
    ArchiveJournal* journal;
    // Packs compressed additions ahead on worker threads; not owned. Null packs them inline.
    BlockCompressor* blockCompressor;
};

}  // namespace GAME
