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
// reading internals and the editing operations, which the library does not export. An archive
// open for edit holds the edit session that the editor attached to it; everything the edit
// keeps lies there, not in this class.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Engine/Export.h"
#include "Engine/MemVector.h"
#include "Engine/OpenStatus.h"
#include "Engine/Version.h"
#include "platform/UniqueFile.h"

namespace GAME {

class EditSession;
struct ArchiveHeader;
struct ArchiveStatistics;
struct DiskFileEntry;

/// One block of a compressed file, the same in memory and on disk.
struct FileBlock {
    unsigned int offset;          // absolute offset of the block's bytes in the archive
    unsigned int compressedSize;  // bytes as stored; equal to expandedSize for a raw block
    unsigned int expandedSize;    // bytes after expansion: 262144, less for a file's last block
};

/// A name as the archive stores it (see Archive::NormalizeFileName), with its hash before it is
/// reduced to a bucket: made once, it serves every lookup and the addition of one file.
struct StoredName {
    std::string text;
    unsigned int hash = 0;
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
    /// index tables the archive loaded and owns. A record made during an edit owns copies of its
    /// own instead (`ownsCopies`), which removing or replacing it releases. Free records have
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
        bool ownsCopies;            // name and blocks were allocated for this record alone
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
    /// dealt with or it is not a sound archive (a report names the failed check); Close then
    /// releases what the attempt left. A zero-length file opens as an empty archive. Call it on
    /// an archive that is not open.
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

    /// Opens the archive for reading as a view of the one record stored under `name`: the index
    /// is read in one piece and checked whole, as a full load checks it, but only that record is
    /// built, at index 0 (GetNumFiles gives 1, or 0 when no record has the name). Gives false,
    /// with nothing reported, when a full open must answer instead: the open failed
    /// (GetOpenStatus tells why), the file is empty, or its index is damaged or laid out
    /// otherwise than brannock lays it out. Close it before another open.
    bool OpenReadOne(const char* fileName, const char* name);

    /// Opens the archive for reading, as it is, without loading its index: for a check that reads
    /// the index itself (ArchiveVerifier). The header must be an archive's. A journal beside it
    /// is left alone; GetRecovery tells what it is (Recovery::leftAlone) unless it is harmless.
    bool OpenInspect(const char* fileName);

    /// The index of the record stored under `fileName` after normalisation, or -1.
    int FindFile(const char* fileName) const;

    /// The index of the record stored under `name`, or -1.
    int FindStored(const StoredName& name) const;

    /// Copies `size` expanded bytes of file `fileIndex`, from `offset` within its contents, to
    /// `dest`. A range past the end of the contents is cut there. Gives false when the record,
    /// the request or the data is not sound; the checksum is not examined. `*delivered`, when
    /// given, gets how many bytes from the first reached `dest`, whole blocks of a compressed file
    /// up to the first that failed. Threads may read side by side while nothing changes the archive.
    bool ReadFileData(int fileIndex, void* dest, unsigned int offset, unsigned int size,
                      unsigned int* delivered = nullptr);

    /// Writes into `out` the stored form of `fileName`: '\' becomes '/', ASCII upper case
    /// becomes lower case, then one leading '.' and after it one leading '/' are removed. An
    /// empty name leaves `out` as it is.
    static void NormalizeFileName(const char* fileName, std::string& out);

    /// The stored form of `fileName` and its hash; an empty text when it names nothing.
    static StoredName MakeStoredName(const char* fileName);

    /// The hash of a stored name, before it is reduced to a bucket.
    static unsigned int NameHash(const char* name, unsigned int length);

    /// The hash bucket of a stored name under the current table size.
    unsigned int HashFileName(const char* name, unsigned int length) const;

    /// The number of hash buckets; 0 before the first build.
    unsigned int GetTableSize() const { return tableSize; }

    /// The mode of the last open; Close leaves it.
    int GetFileMode() const { return archiveFileMode; }

    /// The last-write time of the archive file when it was opened.
    std::uint64_t GetArchiveFileTime() const { return archiveFileTime; }

    /// How the last OpenRead or OpenEdit went.
    OpenStatus GetOpenStatus() const { return openStatus; }

    /// What the last open did with a journal beside the archive.
    const RecoveryResult& GetRecovery() const { return recovery; }

    /// Surveys the index and the hash table. Works in either mode and changes nothing.
    /// (ArchiveStatistics.cpp)
    void GetStatistics(ArchiveStatistics& stats) const;

    /// True once a write into the archive has failed in this open (or, after Close, in the last
    /// one): an addition that had to be undone, a move of compaction, or the index at Close. The
    /// archive on disk may then lack what was asked of it.
    bool HasWriteFailed() const;

    // ---- The editing operations (tool/editor/ArchiveEditing.cpp) ------------------------
    // Each one hands its work to the editor, the edit session of an archive open for edit.

    /// How an edit holds the archive's lock.
    enum class EditLock {
        exclusive,  // alone, from the open on: for commands that change the archive
        shared,     // beside other readers, taken alone only when Close must write the index
                    // back (and the index left as it is when another reader is there)
    };

    /// Opens an archive for reading and writing, creating an empty file when the path does not
    /// exist, and loads the index in its editable form. An edit that was interrupted is rolled
    /// back first. Gives false when the file cannot be opened, another process holds its lock,
    /// a journal beside it must not be used, or it is not a sound archive (GetOpenStatus tells
    /// which); the file is then left exactly as it was, and the archive as if never opened.
    bool OpenEdit(const char* fileName, EditLock lock = EditLock::exclusive);

    /// Makes everything the edit has done so far durable: data, index and header, as Close
    /// would. Gives false when that failed; the archive then holds its last commit, and the
    /// edit writes nothing more.
    bool CommitChanges();

    /// Makes the record of a new file of `size` stored and `expandedSize` expanded bytes under
    /// the normalised `fileName`: in the best-fitting free record, or appended at the end of the
    /// data. Gives its index, or -1 when the name exists or the data would pass the 4 GiB limit.
    /// Appending may move `fileArray`; earlier record references are then stale.
    int AllocateFileEntry(const char* fileName, unsigned int size, unsigned int expandedSize, bool compressed);

    /// The free record that fits `size` bytes best: the first exact fit, else the smallest that
    /// is large enough. -1 when none is.
    int FindFreeEntry(unsigned int size) const;

    /// Adds the loose file `fileName` under its normalised name, stored when
    /// `compressionLevel` is 0 and as LZ4 blocks otherwise. Gives the new record's index, or -1
    /// when the name exists or the file cannot be added (a line on standard error says why,
    /// except for an existing name).
    int AddFile(const char* fileName, int compressionLevel);

    /// Turns an in-use record into a free record that keeps its byte range. Nothing on disk
    /// changes until Close.
    void RemoveFile(int fileIndex);

    /// Moves every file's data down over the holes and drops the free records. Record indices
    /// change.
    void Compact();

    /// Writes file `fileIndex` to the output directory + "/" + its name, creating the
    /// directories on the way; the directory is a location as typed: '\' becomes '/', letters
    /// lower case, nothing stripped (so an absolute one stays absolute), and folders that exist
    /// are found whatever their case. Below the output directory no symbolic link is followed: a
    /// link where the file goes is replaced by the file, and a folder on the way that is a link
    /// refuses it. A compressed file is checked against its checksum and written even when that
    /// fails (after a report). Gives false when the index is out of range, the record is free,
    /// the name would leave the output directory or a folder on its way is a link, the output
    /// file cannot be created, or the file was not written whole: its data damaged, its
    /// checksum wrong, or a write failed (a line on standard error for each). Works in either
    /// mode.
    bool ExtractFile(int fileIndex, const char* outputDirectory);

    /// Extracts every record in order to the output directory + "/" + `folder` + "/" + its name,
    /// printing "(i / n) name" before each. `folder` (-extract puts the archive's base name
    /// there) lies below the output directory, so a link there is refused as one on the way of
    /// a name is. Gives true when every in-use record was extracted whole (a free record has
    /// nothing to extract); each one that was not has a line on standard error. Stops early
    /// after a stop signal. Works in either mode. The files are written on `threads` threads (0:
    /// one a core) while the lines are printed in order; files, lines and result are the same
    /// for any count.
    bool ExtractAllFiles(const char* outputDirectory, const std::string& folder = std::string(),
                         unsigned int threads = 0);

    // ---- The container, for the editor --------------------------------------------------

    /// How OpenFile opens and locks the file.
    enum class Access {
        read,        // for reading, the lock shared with other readers
        editShared,  // for reading and writing (made when missing), the lock shared
        editAlone,   // for reading and writing (made when missing), the lock held alone
        inspect,     // for reading, the lock shared, a journal left alone and the index not loaded
    };

    /// Opens the file as `access` says, deals with a journal beside it and loads the index: in
    /// its editable form for an edit. The archive is left as if never opened when it fails.
    OpenStatus OpenFile(const char* fileName, Access access, const StoredName* only = nullptr);

    /// Hands the archive, open for edit, to `session`, which it keeps until Close.
    void AttachEditSession(std::unique_ptr<EditSession> session);

    /// The edit session, or null when the archive is not open for edit.
    EditSession* GetEditSession() const { return editSession.get(); }

    /// Releases everything the open holds and writes nothing: for an edit whose session could
    /// not start.
    void Abandon();

    /// The records, for the editor to change; the hash chains must be kept with them.
    mem::vector<FileEntry>& Records() { return fileArray; }

    /// The open archive file and its path.
    platform::FileHandle GetFileHandle() const { return archiveFile.Get(); }
    const std::string& GetFileName() const { return archiveFileName; }

    /// True when the file opened for edit holds the index exactly as a rewrite lays it out:
    /// the records, the tables, the header and the length.
    bool IndexAsLaidOut() const { return indexAsLaidOut; }

    /// Where the data ends: behind the last record, or behind the header when there is none.
    unsigned int AppendPoint() const;

    /// Makes the hash table anew for the records as they are. False when memory runs out; no
    /// name can then be found.
    bool BuildHashTable();

    /// Puts the in-use record `entry` at the head of its name's chain (`hash` is its name's
    /// NameHash, when known), or takes it out of it.
    void ChainRecord(FileEntry& entry);
    void ChainRecord(FileEntry& entry, unsigned int hash);
    void UnchainRecord(FileEntry& entry);

    /// Releases the copies a record made during an edit owns, and leaves it without name or
    /// blocks.
    static void ReleaseRecord(FileEntry& entry);

    /// Writes what the edit holds back before its file data is read. False when that failed.
    bool WriteHeldBackData();

    /// True when the file at `file` (open, positioned anywhere) opens as a sound archive; the
    /// position is put back to 0.
    static bool OpensAsArchive(platform::FileHandle file);

private:
    struct BlockBuffer;

    // Reading internals (Engine/Archive.cpp, ArchiveLookup.cpp, ArchiveRead.cpp).
    platform::FileHandle OpenLocked(const char* fileName, Access access);
    bool ReadHeader(bool loadIndex = true);
    bool ReadIndex(const ArchiveHeader& header);
    bool LoadOne(const StoredName& name);
    bool LoadIndexTables(const ArchiveHeader& header, DiskFileEntry* piece);
    std::uint64_t PieceAt(const ArchiveHeader& header, std::uint64_t first, DiskFileEntry* piece);
    void AttachNameAndBlocks(FileEntry& entry, const DiskFileEntry& disk, bool editing);
    bool NewHashTable(std::size_t records);
    bool ReadBlocks(int fileIndex, void* dest, unsigned int offset, unsigned int size, unsigned int* delivered);
    bool ReadBlock(int fileIndex, int blockIndex, BlockBuffer& buffer);
    void ReleaseIndex();
    static void CloseOnExit(void* archive);

#endif  // BRANNOCK_BUILDING

private:
    // The data members are the same for every reader of this header.
    bool allowReopen;
    std::uint64_t archiveFileTime;
    platform::UniqueFile archiveFile;
    int archiveFileMode;
    std::string archiveFileName;
    mem::vector<FileEntry> fileArray;
    unsigned int blockSize;
    // The index tables as loaded.
    std::unique_ptr<FileBlock[]> blockArray;
    std::unique_ptr<char[]> nameTable;
    unsigned int tableSize;
    std::unique_ptr<FileEntry*[]> hashTable;
    OpenStatus openStatus;
    RecoveryResult recovery;
    bool indexAsLaidOut;
    // Whether a write of the last edit failed, kept once its session is gone.
    bool writeFailed;
    // The edit in progress; null unless the archive is open for edit.
    std::unique_ptr<EditSession> editSession;
};

}  // namespace GAME
