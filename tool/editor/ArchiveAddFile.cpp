// Adding a loose file to an archive open for edit, stored or as LZ4 blocks.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <lz4.h>
#include <zlib.h>

#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/FileSystem.h"

namespace GAME {
namespace {

// The copy buffer of a stored addition.
constexpr unsigned int fileBufferSize = 4096;

// Opens a loose file and takes its length; refuses files that a 32-bit size cannot describe.
platform::FileHandle OpenLooseFile(const char* fileName, unsigned int* length) {
    const platform::FileHandle INVALID_HANDLE_VALUE = platform::invalidFileHandle;
    platform::FileHandle inputFile = platform::OpenFileForRead(fileName);
    if (!GAME_CHECK(inputFile != INVALID_HANDLE_VALUE)) return platform::invalidFileHandle;
    std::uint64_t size = 0;
    if (!platform::GetFileSize(inputFile, &size) || size > 0xFFFFFFFFull) {
        std::fprintf(stderr, "%s: not added, files of 4 GiB or more cannot be archived.\n", fileName);
        platform::CloseFile(inputFile);
        return platform::invalidFileHandle;
    }
    *length = static_cast<unsigned int>(size);
    return inputFile;
}

void ReportNotAdded(const char* fileName, const char* reason) {
    std::fprintf(stderr, "%s: not added, %s.\n", fileName, reason);
}

}  // namespace

int Archive::AddFile(const char* fileName, int compressionLevel) {
    if (!GAME_CHECK(fileName)) return -1;
    if (!GAME_CHECK(*fileName)) return -1;

    const int index = compressionLevel != 0 ? AddCompressedFile(fileName) : AddStoredFile(fileName);
    if (index < 0) return index;
    platform::FileAttributes attributes;
    if (platform::GetFileAttributes(fileName, &attributes)) fileArray[index].fileTime = attributes.lastWriteTime;
    return index;
}

int Archive::AddStoredFile(const char* fileName) {
    if (FindFile(fileName) >= 0) return -1;
    unsigned int length = 0;
    const platform::FileHandle inputFile = OpenLooseFile(fileName, &length);
    if (inputFile == platform::invalidFileHandle) return -1;

    const int index = AllocateFileEntry(fileName, length, length, false);
    if (index < 0) {
        platform::CloseFile(inputFile);
        return index;
    }
    char* fileBuffer = static_cast<char*>(std::malloc(fileBufferSize));
    if (!GAME_CHECK(fileBuffer)) {
        platform::CloseFile(inputFile);
        UndoAddition(index);
        return -1;
    }
    if (!ReserveIndexRoom()) {
        std::free(fileBuffer);
        platform::CloseFile(inputFile);
        UndoAddition(index);
        ReportNotAdded(fileName, "the disk is full");
        return -1;
    }
    uLong checksum = adler32(0, nullptr, 0);
    bool written = SetFilePosition(fileArray[index].offset);
    bool readWhole = true;
    for (unsigned int remaining = length; remaining > 0 && written && readWhole;) {
        const std::uint32_t bytesToRead = remaining < fileBufferSize ? remaining : fileBufferSize;
        std::uint32_t bytesRead = 0;
        platform::ReadFile(inputFile, fileBuffer, bytesToRead, &bytesRead);
        // A file that shrank or failed while it was read would be stored with bytes that are
        // not its own: take it out again rather than keep a damaged copy.
        readWhole = GAME_CHECK(bytesRead == bytesToRead);
        checksum = adler32(checksum, reinterpret_cast<const Bytef*>(fileBuffer), bytesRead);
        std::uint32_t bytesWritten = 0;
        written = platform::WriteFile(archiveFileHandle, fileBuffer, bytesRead, &bytesWritten);
        GAME_ASSERT(bytesRead == bytesWritten);
        remaining -= bytesToRead;
    }
    std::free(fileBuffer);
    platform::CloseFile(inputFile);
    if (!written || !readWhole) {
        UndoAddition(index);
        if (!written) writeFailed = true;
        ReportNotAdded(fileName, written ? "reading it failed" : "writing to the archive failed");
        return -1;
    }
    fileArray[index].checksum = static_cast<unsigned int>(checksum);
    return index;
}

int Archive::AddCompressedFile(const char* fileName) {
    if (FindFile(fileName) >= 0) return -1;
    unsigned int length = 0;
    const platform::FileHandle inputFile = OpenLooseFile(fileName, &length);
    if (inputFile == platform::invalidFileHandle) return -1;

    uLong checksum = adler32(0, nullptr, 0);
    const unsigned int numBlocks = static_cast<unsigned int>((std::uint64_t(length) + blockSize - 1) / blockSize);
    const int bound = LZ4_compressBound(static_cast<int>(blockSize));
    char* fileDataBuffer = static_cast<char*>(std::malloc(blockSize));
    if (!GAME_CHECK(fileDataBuffer)) {
        platform::CloseFile(inputFile);
        return -1;
    }
    char* compressionBuffer = static_cast<char*>(std::malloc(static_cast<std::size_t>(bound)));
    if (!GAME_CHECK(compressionBuffer)) {
        std::free(fileDataBuffer);
        platform::CloseFile(inputFile);
        return -1;
    }
    // The whole file is compressed before space is claimed, so that the exact stored size
    // decides where it goes, and a file that fails part-way leaves the archive untouched. Each
    // block keeps a run of exactly its stored length: memory stays at the compressed size.
    std::vector<std::vector<char>> compressedBlockData(numBlocks);
    std::vector<FileBlock> blockSet(numBlocks);
    unsigned int blockIndex = 0;
    unsigned int total = 0;
    std::uint64_t expandedTotal = 0;
    while (blockIndex < numBlocks) {
        std::uint32_t n = 0;
        if (!platform::ReadFile(inputFile, fileDataBuffer, blockSize, &n) || n == 0) break;
        expandedTotal += n;
        checksum = adler32(checksum, reinterpret_cast<const Bytef*>(fileDataBuffer), n);
        const int packed = LZ4_compress_fast(fileDataBuffer, compressionBuffer, static_cast<int>(n), bound, 1);
        // A block that LZ4 cannot shrink (or that fails) is kept raw, with equal sizes.
        const bool raw = packed <= 0 || static_cast<unsigned int>(packed) >= n;
        const char* chosen = raw ? fileDataBuffer : compressionBuffer;
        const unsigned int stored = raw ? n : static_cast<unsigned int>(packed);
        compressedBlockData[blockIndex].assign(chosen, chosen + stored);
        blockSet[blockIndex] = FileBlock{total, stored, n};
        total += stored;
        ++blockIndex;
    }
    std::free(compressionBuffer);
    std::free(fileDataBuffer);
    platform::CloseFile(inputFile);
    if (!GAME_CHECK(blockIndex == numBlocks)) return -1;
    // A file that changed length while it was read would give blocks that do not add up to it.
    if (!GAME_CHECK(expandedTotal == length)) return -1;

    const int index = AllocateFileEntry(fileName, total, length, true);
    if (index < 0) return index;
    FileEntry& entry = fileArray[index];
    entry.checksum = static_cast<unsigned int>(checksum);
    if (numBlocks != 0) {
        entry.blocks = static_cast<FileBlock*>(std::malloc(std::size_t(numBlocks) * sizeof(FileBlock)));
        if (!GAME_CHECK(entry.blocks)) {
            UndoAddition(index);
            return -1;
        }
        entry.numBlocks = numBlocks;
        for (unsigned int i = 0; i < numBlocks; ++i) {
            entry.blocks[i] = blockSet[i];
            entry.blocks[i].offset += entry.offset;
        }
    }
    if (!ReserveIndexRoom()) {
        UndoAddition(index);
        ReportNotAdded(fileName, "the disk is full");
        return -1;
    }
    bool written = SetFilePosition(entry.offset);
    for (unsigned int b = 0; b < numBlocks && written; ++b)
        written = platform::WriteAll(archiveFileHandle, compressedBlockData[b].data(), compressedBlockData[b].size());
    if (!written) {
        UndoAddition(index);
        writeFailed = true;
        ReportNotAdded(fileName, "writing to the archive failed");
        return -1;
    }
    return index;
}

bool Archive::ReserveIndexRoom() {
    // Room for the data up to the append point and for the largest index Close may write.
    const std::uint64_t need = std::uint64_t(AppendPoint()) + indexBound;
    if (need <= reservedEnd) return true;
    // Reserved in steps that grow with the archive, so that the reservations stay few.
    std::uint64_t slack = need / 16;
    if (slack < (1u << 20)) slack = 1u << 20;
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
