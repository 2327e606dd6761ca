// Adding a loose file to an archive open for edit, stored or as LZ4 blocks.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include <lz4.h>
#include <zlib.h>

#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"
#include "Engine/ArchiveJournal.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "tool/editor/NotAdded.h"

namespace GAME {
namespace {

// The copy buffer of a stored addition.
constexpr unsigned int fileBufferSize = 4096;
// Stored files up to this size are read whole and written in one piece.
constexpr unsigned int wholeReadLimit = 1u << 20;

// Why an addition failed, as the "not added" line says it.
const char reasonDiskFull[] = "the disk is full";
const char reasonReadFailed[] = "reading it failed";
const char reasonWriteFailed[] = "writing to the archive failed";
const char reasonOutOfMemory[] = "there is not enough memory";

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

// A loose file compressed in memory, before it has a place in the archive. Each block keeps a
// run of exactly its stored length, so that memory stays at the compressed size.
struct CompressedFile {
    std::vector<std::vector<char>> blockData;
    std::vector<FileBlock> blocks;  // offsets from the start of the file's run
    unsigned int storedSize = 0;
    uLong checksum = 0;
};

// Compresses the whole loose file block by block. A block that LZ4 cannot shrink (or that
// fails) is kept raw, with equal sizes. Gives null, or why the file could not be compressed:
// it could not be read whole, or it changed length meanwhile.
const char* CompressLooseFile(LooseFile& loose, unsigned int blockSize, CompressedFile& compressed) {
    const unsigned int numBlocks = static_cast<unsigned int>((std::uint64_t(loose.length) + blockSize - 1) / blockSize);
    const int bound = LZ4_compressBound(static_cast<int>(blockSize));
    const std::unique_ptr<char[]> fileDataBuffer = AllocateBuffer(blockSize);
    if (!GAME_CHECK(fileDataBuffer)) return reasonOutOfMemory;
    const std::unique_ptr<char[]> compressionBuffer = AllocateBuffer(static_cast<std::size_t>(bound));
    if (!GAME_CHECK(compressionBuffer)) return reasonOutOfMemory;

    compressed.blockData.resize(numBlocks);
    compressed.blocks.resize(numBlocks);
    compressed.checksum = adler32(0, nullptr, 0);
    unsigned int blockIndex = 0;
    std::uint64_t expandedTotal = 0;
    while (blockIndex < numBlocks) {
        std::uint32_t n = 0;
        if (!platform::ReadFile(loose.file.Get(), fileDataBuffer.get(), blockSize, &n) || n == 0) break;
        expandedTotal += n;
        compressed.checksum = adler32(compressed.checksum, reinterpret_cast<const Bytef*>(fileDataBuffer.get()), n);
        const int packed =
            LZ4_compress_fast(fileDataBuffer.get(), compressionBuffer.get(), static_cast<int>(n), bound, 1);
        const bool raw = packed <= 0 || static_cast<unsigned int>(packed) >= n;
        const char* chosen = raw ? fileDataBuffer.get() : compressionBuffer.get();
        const unsigned int stored = raw ? n : static_cast<unsigned int>(packed);
        compressed.blockData[blockIndex].assign(chosen, chosen + stored);
        compressed.blocks[blockIndex] = FileBlock{compressed.storedSize, stored, n};
        compressed.storedSize += stored;
        ++blockIndex;
    }
    if (!GAME_CHECK(blockIndex == numBlocks)) return reasonReadFailed;
    // A file that changed length while it was read would give blocks that do not add up to it.
    if (!GAME_CHECK(expandedTotal == loose.length)) return reasonReadFailed;
    return nullptr;
}

}  // namespace

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
    LooseFile loose;
    if (!OpenLooseFile(fileName, loose)) return -1;
    const int index = AllocateFileEntry(fileName, loose.length, loose.length, false);
    if (index < 0) return index;

    uLong checksum = 0;
    const char* failure = nullptr;
    if (!ReserveIndexRoom()) {
        failure = reasonDiskFull;
    } else if (loose.length <= wholeReadLimit) {
        // A small file is read whole, so that its write can wait for a flush of the journal
        // that it shares with others.
        std::vector<std::vector<char>> blocks(1);
        failure = ReadLooseFile(loose, blocks[0], &checksum);
        if (failure == nullptr &&
            (journal == nullptr || !journal->WriteWhenSaved(fileArray[index].offset, std::move(blocks)))) {
            // Writes held back before this one may be lost with it: back to the last commit.
            RollBackEdit();
            failure = reasonWriteFailed;
        }
    } else if (!ProtectRange(fileArray[index].offset, loose.length) || !SetFilePosition(fileArray[index].offset)) {
        failure = reasonWriteFailed;
    } else {
        failure = CopyLooseFile(loose, archiveFileHandle, &checksum);
    }
    if (failure != nullptr) return RefuseAddition(index, fileName, failure);
    fileArray[index].checksum = static_cast<unsigned int>(checksum);
    return index;
}

int Archive::AddCompressedFile(const char* fileName) {
    if (FindFile(fileName) >= 0) return -1;
    LooseFile loose;
    if (!OpenLooseFile(fileName, loose)) return -1;
    // The whole file is compressed before space is claimed, so that the exact stored size
    // decides where it goes, and a file that fails part-way leaves the archive untouched.
    CompressedFile compressed;
    const char* failure = CompressLooseFile(loose, blockSize, compressed);
    loose.file.Reset();
    if (failure != nullptr) {
        ReportNotAdded(fileName, failure);
        return -1;
    }

    const unsigned int numBlocks = static_cast<unsigned int>(compressed.blocks.size());
    const int index = AllocateFileEntry(fileName, compressed.storedSize, loose.length, true);
    if (index < 0) return index;
    FileEntry& entry = fileArray[index];
    entry.checksum = static_cast<unsigned int>(compressed.checksum);
    if (numBlocks != 0) {
        entry.blocks = static_cast<FileBlock*>(std::malloc(std::size_t(numBlocks) * sizeof(FileBlock)));
        if (!GAME_CHECK(entry.blocks)) return RefuseAddition(index, fileName, reasonOutOfMemory);
        entry.numBlocks = numBlocks;
        for (unsigned int i = 0; i < numBlocks; ++i) {
            entry.blocks[i] = compressed.blocks[i];
            entry.blocks[i].offset += entry.offset;
        }
    }
    if (!ReserveIndexRoom()) {
        failure = reasonDiskFull;
    } else if (journal == nullptr || !journal->WriteWhenSaved(entry.offset, std::move(compressed.blockData))) {
        // Writes held back before this one may be lost with it: the edit goes back to its last
        // commit.
        RollBackEdit();
        failure = reasonWriteFailed;
    }
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

bool Archive::ReserveIndexRoom() {
    // Room for the data up to the append point and for the largest index Close may write.
    const std::uint64_t need = std::uint64_t(AppendPoint()) + indexBound;
    if (need <= reservedEnd) return true;
    // Reserved in steps that grow with the archive, so that the reservations stay few.
    std::uint64_t slack = need / 16;
    if (slack < (1u << 20)) slack = 1u << 20;
    // Growing the file changes nothing the committed state reads, but a new archive must be able
    // to go back to the empty file it was: the journal starts first.
    if (!ProtectRange(reservedEnd, 0)) return false;
    if (platform::ReserveFileSpace(archiveFileHandle, need + slack)) {
        reservedEnd = need + slack;
        return true;
    }
    if (platform::ReserveFileSpace(archiveFileHandle, need)) {
        reservedEnd = need;
        return true;
    }
    writeFailed = true;
    return false;
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
