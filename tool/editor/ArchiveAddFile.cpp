// Adding a loose file to an archive open for edit, stored or as LZ4 blocks.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include <lz4.h>
#include <zlib.h>

#include "tool/editor/ArchiveAddFile.h"

#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"
#include "Engine/ArchiveJournal.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "tool/editor/BlockCompressor.h"
#include "tool/editor/NotAdded.h"

namespace GAME {
namespace {

// The copy buffer of a stored addition: large, so that a big file costs few system calls.
constexpr unsigned int fileBufferSize = 1u << 20;
// Stored files up to this size are read whole and written in one piece.
constexpr unsigned int wholeReadLimit = 1u << 20;

// Why an addition failed, as the "not added" line says it.
const char reasonDiskFull[] = "the disk is full";
const char reasonReadFailed[] = "reading it failed";
const char reasonWriteFailed[] = "writing to the archive failed";
const char reasonOutOfMemory[] = "there is not enough memory";
// The failure has been told already, by the check that found it.
const char alreadyReported[] = "";

constexpr std::uint64_t defaultStagingLimit = 32u << 20;
std::uint64_t stagingLimit = defaultStagingLimit;

// A loose file open for reading, and its length.
struct LooseFile {
    platform::UniqueFile file;
    unsigned int length = 0;
};

// Opens a loose file and takes its length; refuses files that a 32-bit size cannot describe.
bool OpenLooseFile(const char* fileName, LooseFile& loose) {
    const platform::FileHandle INVALID_HANDLE_VALUE = platform::invalidFileHandle;
    const platform::FileHandle inputFile = platform::OpenFileForRead(fileName);
    loose.file.Reset(inputFile);
    if (!GAME_CHECK(inputFile != INVALID_HANDLE_VALUE)) {
        ReportNotAdded(fileName, "it cannot be opened");
        return false;
    }
    std::uint64_t size = 0;
    if (!platform::GetFileSize(loose.file.Get(), &size) || size > 0xFFFFFFFFull) {
        ReportNotAdded(fileName, "files of 4 GiB or more cannot be archived");
        return false;
    }
    loose.length = static_cast<unsigned int>(size);
    return true;
}

std::unique_ptr<char[]> AllocateBuffer(std::size_t size) {
    return std::unique_ptr<char[]>(new (std::nothrow) char[size]);
}

// Copies the loose file to the archive's current position and sums its checksum. Gives null,
// or why the copy failed.
const char* CopyLooseFile(LooseFile& loose, platform::FileHandle archiveFile, uLong* checksum) {
    const std::unique_ptr<char[]> fileBuffer = AllocateBuffer(fileBufferSize);
    if (!GAME_CHECK(fileBuffer)) return reasonOutOfMemory;
    *checksum = adler32(0, nullptr, 0);
    for (unsigned int remaining = loose.length; remaining > 0;) {
        const std::uint32_t bytesToRead = remaining < fileBufferSize ? remaining : fileBufferSize;
        std::uint32_t bytesRead = 0;
        platform::ReadFile(loose.file.Get(), fileBuffer.get(), bytesToRead, &bytesRead);
        // A file that shrank or failed while it was read would be stored with bytes that are
        // not its own: take it out again rather than keep a damaged copy.
        const bool readWhole = GAME_CHECK(bytesRead == bytesToRead);
        *checksum = adler32(*checksum, reinterpret_cast<const Bytef*>(fileBuffer.get()), bytesRead);
        std::uint32_t bytesWritten = 0;
        const bool written = platform::WriteFile(archiveFile, fileBuffer.get(), bytesRead, &bytesWritten);
        GAME_ASSERT(bytesRead == bytesWritten);
        if (!written) return reasonWriteFailed;
        if (!readWhole) return reasonReadFailed;
        remaining -= bytesToRead;
    }
    return nullptr;
}

// Reads the whole loose file into `bytes` and sums its checksum. Gives null, or why it failed.
const char* ReadLooseFile(LooseFile& loose, std::vector<char>& bytes, uLong* checksum) {
    bytes.resize(loose.length);
    const std::uint32_t bytesToRead = loose.length;
    std::uint32_t bytesRead = 0;
    if (bytesToRead != 0) platform::ReadFile(loose.file.Get(), bytes.data(), bytesToRead, &bytesRead);
    // A file that shrank or failed while it was read would be stored with bytes that are not its
    // own.
    if (!GAME_CHECK(bytesRead == bytesToRead)) return reasonReadFailed;
    *checksum = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytesRead);
    return nullptr;
}

// Ends the taking of a file's blocks from a block compressor, however the addition ends.
struct ReadAheadEnd {
    BlockCompressor* compressor;
    ~ReadAheadEnd() {
        if (compressor != nullptr) compressor->End();
    }
};

}  // namespace

std::uint64_t StagingLimit() { return stagingLimit; }

void SetStagingLimit(std::uint64_t bytes) { stagingLimit = bytes != 0 ? bytes : defaultStagingLimit; }

// A loose file compressed block by block, before it has a place in the archive: the first
// blocks in memory, each a run of exactly its stored length; those past StagingLimit written
// beyond the end of the data, at `spillAt`, where they stay when the file is appended.
struct Archive::StagedFile {
    std::vector<std::vector<char>> held;
    std::uint64_t heldBytes = 0;
    std::uint64_t spillAt = 0;      // 0: nothing written yet
    std::vector<FileBlock> blocks;  // offsets from the start of the file's run
    std::uint64_t storedSize = 0;
    std::uint64_t expandedSize = 0;
    uLong checksum = adler32(0, nullptr, 0);
};

const char* Archive::StageBlock(StagedFile& staged, PackedBlock& block) {
    const std::uint64_t size = block.bytes.size();
    if (staged.spillAt == 0 && staged.heldBytes + size <= stagingLimit) {
        staged.held.push_back(std::move(block.bytes));
        staged.heldBytes += size;
    } else {
        if (staged.spillAt == 0) staged.spillAt = std::uint64_t(AppendPoint()) + staged.heldBytes;
        const std::uint64_t at = staged.spillAt + (staged.storedSize - staged.heldBytes);
        // Past the data lies only the index the archive had when the edit began; the journal
        // keeps that, as it keeps every byte the committed archive needs.
        if (!ProtectRange(at, size) || !platform::SetFilePosition(archiveFileHandle, at) ||
            !platform::WriteAll(archiveFileHandle, block.bytes.data(), size))
            return reasonWriteFailed;
    }
    staged.blocks.push_back(
        FileBlock{static_cast<unsigned int>(staged.storedSize), static_cast<unsigned int>(size), block.expandedSize});
    staged.storedSize += size;
    staged.expandedSize += block.expandedSize;
    staged.checksum = adler32_combine(staged.checksum, block.checksum, block.expandedSize);
    return nullptr;
}

bool Archive::BeginReadAhead(const char* fileName, std::uint64_t* length) {
    if (blockCompressor == nullptr) return false;
    if (!blockCompressor->Expected(fileName)) blockCompressor->Expect(fileName);
    return blockCompressor->Begin(fileName, length);
}

const char* Archive::TakeReadAhead(std::uint64_t length, std::vector<std::vector<char>>* blocks, uLong* checksum) {
    for (std::uint64_t done = 0; done < length;) {
        PackedBlock block;
        if (!blockCompressor->Next(block)) return reasonReadFailed;
        *checksum = adler32_combine(*checksum, block.checksum, block.expandedSize);
        done += block.expandedSize;
        if (blocks != nullptr) {
            blocks->push_back(std::move(block.bytes));
        } else if (!platform::WriteAll(archiveFileHandle, block.bytes.data(), block.bytes.size())) {
            return reasonWriteFailed;
        }
    }
    return nullptr;
}

bool Archive::StageFromCompressor(const char* fileName, StagedFile& staged, std::uint64_t* length) {
    if (!BeginReadAhead(fileName, length)) return false;
    const std::uint64_t numBlocks = (*length + blockSize - 1) / blockSize;
    bool whole = true;
    for (std::uint64_t i = 0; i < numBlocks && whole; ++i) {
        PackedBlock block;
        whole = blockCompressor->Next(block) && StageBlock(staged, block) == nullptr;
    }
    blockCompressor->End();
    return whole && staged.expandedSize == *length;
}

const char* Archive::StageLooseFile(const char* fileName, StagedFile& staged, std::uint64_t* length) {
    LooseFile loose;
    if (!OpenLooseFile(fileName, loose)) return alreadyReported;
    *length = loose.length;
    const unsigned int numBlocks = static_cast<unsigned int>((std::uint64_t(loose.length) + blockSize - 1) / blockSize);
    const int bound = LZ4_compressBound(static_cast<int>(blockSize));
    const std::unique_ptr<char[]> fileDataBuffer = AllocateBuffer(blockSize);
    if (!GAME_CHECK(fileDataBuffer)) return reasonOutOfMemory;
    const std::unique_ptr<char[]> compressionBuffer = AllocateBuffer(static_cast<std::size_t>(bound));
    if (!GAME_CHECK(compressionBuffer)) return reasonOutOfMemory;

    unsigned int blockIndex = 0;
    while (blockIndex < numBlocks) {
        std::uint32_t n = 0;
        if (!platform::ReadFile(loose.file.Get(), fileDataBuffer.get(), blockSize, &n) || n == 0) break;
        PackedBlock block;
        if (!GAME_CHECK(PackBlock(fileDataBuffer.get(), n, compressionBuffer.get(), bound, block)))
            return reasonOutOfMemory;
        if (const char* failure = StageBlock(staged, block)) return failure;
        ++blockIndex;
    }
    if (!GAME_CHECK(blockIndex == numBlocks)) return reasonReadFailed;
    // A file that changed length while it was read would give blocks that do not add up to it.
    if (!GAME_CHECK(staged.expandedSize == loose.length)) return reasonReadFailed;
    return nullptr;
}

const char* Archive::PlaceStagedFile(StagedFile& staged, unsigned int offset) {
    const std::uint64_t spilled = staged.storedSize - staged.heldBytes;
    if (spilled != 0 && offset + staged.heldBytes != staged.spillAt) {
        // Best fit chose a hole: the bytes written past the data move into it, a piece at a time.
        const std::unique_ptr<char[]> buffer = AllocateBuffer(fileBufferSize);
        if (!GAME_CHECK(buffer)) return reasonOutOfMemory;
        for (std::uint64_t done = 0; done < spilled;) {
            const std::uint64_t piece = spilled - done < fileBufferSize ? spilled - done : fileBufferSize;
            const std::uint64_t to = offset + staged.heldBytes + done;
            if (!platform::SetFilePosition(archiveFileHandle, staged.spillAt + done) ||
                !platform::ReadExactly(archiveFileHandle, buffer.get(), piece) || !ProtectRange(to, piece) ||
                !platform::SetFilePosition(archiveFileHandle, to) ||
                !platform::WriteAll(archiveFileHandle, buffer.get(), piece))
                return reasonWriteFailed;
            done += piece;
        }
    }
    // The bytes held in memory go in front of the others.
    if (journal == nullptr || !journal->WriteWhenSaved(offset, std::move(staged.held))) {
        // Writes held back before this one may be lost with it: the edit goes back to its last
        // commit.
        RollBackEdit();
        return reasonWriteFailed;
    }
    return nullptr;
}

int Archive::AddFile(const char* fileName, int compressionLevel) {
    if (!GAME_CHECK(fileName)) return -1;
    if (!GAME_CHECK(*fileName)) return -1;

    const int index = compressionLevel != 0 ? AddCompressedFile(fileName) : AddStoredFile(fileName);
    if (index < 0) return index;
    platform::FileAttributes attributes;
    if (platform::GetFileAttributes(fileName, &attributes)) fileArray[index].fileTime = attributes.lastWriteTime;
    // A long import commits what it has added whenever the journal has grown large, so that the
    // journal stays bounded; the file just added is part of that commit.
    CommitIfJournalFull();
    return index;
}

int Archive::AddStoredFile(const char* fileName) {
    if (FindFile(fileName) >= 0) return -1;
    // Blocks the workers read ahead are used as they come. A small file that they could not
    // read whole is read again here, which tells why; a large one fails as a read here fails.
    std::uint64_t length = 0;
    bool readAhead = BeginReadAhead(fileName, &length);
    const ReadAheadEnd endsReadAhead{readAhead ? blockCompressor : nullptr};
    std::vector<std::vector<char>> blocks;
    uLong checksum = adler32(0, nullptr, 0);
    if (readAhead && length <= wholeReadLimit) {
        readAhead = TakeReadAhead(length, &blocks, &checksum) == nullptr;
        blockCompressor->End();
    }
    LooseFile loose;
    if (!readAhead) {
        if (!OpenLooseFile(fileName, loose)) return -1;
        length = loose.length;
    }
    const int index =
        AllocateFileEntry(fileName, static_cast<unsigned int>(length), static_cast<unsigned int>(length), false);
    if (index < 0) return index;

    const char* failure = ReserveIndexRoom();
    if (failure != nullptr) {
        // Told as it is below.
    } else if (length <= wholeReadLimit) {
        // A small file is read whole, so that its write can wait for a flush of the journal
        // that it shares with others.
        if (!readAhead) {
            blocks.resize(1);
            failure = ReadLooseFile(loose, blocks[0], &checksum);
        }
        if (failure == nullptr &&
            (journal == nullptr || !journal->WriteWhenSaved(fileArray[index].offset, std::move(blocks)))) {
            // Writes held back before this one may be lost with it: back to the last commit.
            RollBackEdit();
            failure = reasonWriteFailed;
        }
    } else if (!ProtectRange(fileArray[index].offset, length) || !SetFilePosition(fileArray[index].offset)) {
        failure = reasonWriteFailed;
    } else if (readAhead) {
        failure = TakeReadAhead(length, nullptr, &checksum);
    } else {
        failure = CopyLooseFile(loose, archiveFileHandle, &checksum);
    }
    if (failure != nullptr) return RefuseAddition(index, fileName, failure);
    fileArray[index].checksum = static_cast<unsigned int>(checksum);
    return index;
}

int Archive::AddCompressedFile(const char* fileName) {
    if (FindFile(fileName) >= 0) return -1;
    // The whole file is compressed before space is claimed, so that the exact stored size
    // decides where it goes, and a file that fails part-way leaves the archive as it was.
    StagedFile staged;
    std::uint64_t length = 0;
    if (!StageFromCompressor(fileName, staged, &length)) {
        // Read here, the file tells why it cannot be added, as it would with no compressor.
        staged = StagedFile{};
        const char* failure = StageLooseFile(fileName, staged, &length);
        if (failure != nullptr) {
            if (failure != alreadyReported) ReportNotAdded(fileName, failure);
            return -1;
        }
    }

    const unsigned int numBlocks = static_cast<unsigned int>(staged.blocks.size());
    const int index = AllocateFileEntry(fileName, static_cast<unsigned int>(staged.storedSize),
                                        static_cast<unsigned int>(length), true);
    if (index < 0) return index;
    FileEntry& entry = fileArray[index];
    entry.checksum = static_cast<unsigned int>(staged.checksum);
    if (numBlocks != 0) {
        entry.blocks = static_cast<FileBlock*>(std::malloc(std::size_t(numBlocks) * sizeof(FileBlock)));
        if (!GAME_CHECK(entry.blocks)) return RefuseAddition(index, fileName, reasonOutOfMemory);
        entry.numBlocks = numBlocks;
        for (unsigned int i = 0; i < numBlocks; ++i) {
            entry.blocks[i] = staged.blocks[i];
            entry.blocks[i].offset += entry.offset;
        }
    }
    const char* failure = ReserveIndexRoom();
    if (failure == nullptr) failure = PlaceStagedFile(staged, entry.offset);
    if (failure != nullptr) return RefuseAddition(index, fileName, failure);
    return index;
}

int Archive::RefuseAddition(int fileIndex, const char* fileName, const char* reason) {
    UndoAddition(fileIndex);
    // The archive itself could not take bytes: the run must not pass for a success.
    if (reason == reasonWriteFailed) writeFailed = true;
    ReportNotAdded(fileName, reason);
    return -1;
}

const char* Archive::ReserveIndexRoom() {
    // Room for the data up to the append point and for the largest index Close may write.
    const std::uint64_t need = std::uint64_t(AppendPoint()) + indexBound;
    if (need <= reservedEnd) return nullptr;
    // Reserved in steps that grow with the archive, so that the reservations stay few.
    std::uint64_t slack = need / 16;
    if (slack < (1u << 20)) slack = 1u << 20;
    // Growing the file changes nothing the committed state reads, but a new archive must be able
    // to go back to the empty file it was: the journal starts first.
    if (!ProtectRange(reservedEnd, 0)) return reasonWriteFailed;
    if (platform::ReserveFileSpace(archiveFileHandle, need + slack)) {
        reservedEnd = need + slack;
        return nullptr;
    }
    if (platform::ReserveFileSpace(archiveFileHandle, need)) {
        reservedEnd = need;
        return nullptr;
    }
    writeFailed = true;
    return reasonDiskFull;
}

void Archive::UndoAddition(int fileIndex) {
    // The record claimed its space but its bytes are not all there: take it out again, so that
    // the index never points at data that was not written. An appended record goes entirely,
    // so that the end of the data, where the index will go, moves back.
    const bool appended = fileIndex == static_cast<int>(fileArray.size()) - 1;
    RemoveFile(fileIndex);
    if (appended && fileArray[fileIndex].flags == 0) {
        freeEntries.erase(std::remove(freeEntries.begin(), freeEntries.end(), fileIndex), freeEntries.end());
        fileArray.pop_back();
    }
}

}  // namespace GAME
