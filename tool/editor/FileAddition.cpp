// Adding a loose file to an archive open for edit, stored or as LZ4 blocks.
#include "tool/editor/FileAddition.h"

#include <functional>
#include <memory>
#include <vector>

#include <lz4.h>
#include <zlib.h>

#include "Engine/ArchiveFormat.h"
#include "Engine/MemGrowth.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "tool/ProgressLine.h"
#include "tool/editor/ArchiveEditor.h"
#include "tool/editor/BlockCompressor.h"

namespace GAME {
namespace {

// The copy buffer of a stored addition: large, so that a big file costs few system calls.
constexpr unsigned int fileBufferSize = 1u << 20;
// Stored files up to this size are read whole and written in one piece.
constexpr unsigned int wholeReadLimit = 1u << 20;

// A loose file open for reading, and its length.
struct LooseFile {
    platform::UniqueFile file;
    unsigned int length = 0;
};

// Opens a loose file and takes its length; refuses files that a 32-bit size cannot describe.
AddStatus OpenLooseFile(const char* fileName, LooseFile& loose) {
    const platform::FileHandle INVALID_HANDLE_VALUE = platform::invalidFileHandle;
    std::uint64_t size = 0;
    const platform::FileHandle inputFile = platform::OpenFileForRead(fileName, &size);
    loose.file.Reset(inputFile);
    if (!GAME_CHECK(inputFile != INVALID_HANDLE_VALUE)) return AddStatus::cannotOpen;
    if (size > 0xFFFFFFFFull) return AddStatus::tooLarge;
    loose.length = static_cast<unsigned int>(size);
    return AddStatus::added;
}

std::unique_ptr<char[]> AllocateBuffer(std::size_t size) { return mem::TryNewArray<char>(size); }

// Copies the loose file to the archive's current position and sums its checksum. Gives added,
// or why the copy failed.
AddStatus CopyLooseFile(LooseFile& loose, platform::FileHandle archiveFile, uLong* checksum,
                        const std::function<void(std::uint64_t)>& copied) {
    const std::unique_ptr<char[]> fileBuffer = AllocateBuffer(fileBufferSize);
    if (!GAME_CHECK(fileBuffer)) return AddStatus::outOfMemory;
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
        if (!written) return AddStatus::writeFailed;
        if (!readWhole) return AddStatus::readFailed;
        remaining -= bytesToRead;
        copied(loose.length - remaining);
    }
    return AddStatus::added;
}

// Reads the whole loose file into `bytes` and sums its checksum. Gives added, or why it failed.
AddStatus ReadLooseFile(LooseFile& loose, std::vector<char>& bytes, uLong* checksum) {
    if (!GAME_CHECK(mem::TryResize(bytes, loose.length))) return AddStatus::outOfMemory;
    const std::uint32_t bytesToRead = loose.length;
    std::uint32_t bytesRead = 0;
    if (bytesToRead != 0) platform::ReadFile(loose.file.Get(), bytes.data(), bytesToRead, &bytesRead);
    // A file that shrank or failed while it was read would be stored with bytes that are not its
    // own.
    if (!GAME_CHECK(bytesRead == bytesToRead)) return AddStatus::readFailed;
    *checksum = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()), bytesRead);
    return AddStatus::added;
}

// Ends the taking of a file's blocks from a block compressor, however the addition ends.
struct ReadAheadEnd {
    BlockCompressor* compressor;
    ~ReadAheadEnd() {
        if (compressor != nullptr) compressor->End();
    }
};

// A loose file compressed block by block, before it has a place in the archive: the first
// blocks in memory, each a run of exactly its stored length; those past the staging limit
// written beyond the end of the data, at `spillAt`, where they stay when the file is appended.
struct StagedFile {
    std::vector<std::vector<char>> held;
    std::uint64_t heldBytes = 0;
    std::uint64_t spillAt = 0;      // 0: nothing written yet
    std::vector<FileBlock> blocks;  // offsets from the start of the file's run
    std::uint64_t storedSize = 0;
    std::uint64_t expandedSize = 0;
    std::uint64_t length = 0;  // of the loose file, once known
    uLong checksum = adler32(0, nullptr, 0);
};

// The addition of one loose file through the archive's editor.
class FileAddition {
public:
    FileAddition(ArchiveEditor& editor, const char* fileName, const StoredName& name)
        : editor(editor),
          archive(editor.GetArchive()),
          file(archive.GetFileHandle()),
          compressor(editor.GetBlockCompressor()),
          fileName(fileName),
          name(name) {}

    Addition AddStored();
    Addition AddCompressed();

private:
    AddStatus StageBlock(StagedFile& staged, PackedBlock& block);
    bool BeginReadAhead(std::uint64_t* length);
    AddStatus TakeReadAhead(std::uint64_t length, std::vector<std::vector<char>>* blocks, uLong* checksum);
    bool StageFromCompressor(StagedFile& staged, std::uint64_t* length);
    AddStatus StageLooseFile(StagedFile& staged, std::uint64_t* length);
    AddStatus PlaceStagedFile(StagedFile& staged, unsigned int offset);
    Addition Refuse(int fileIndex, AddStatus why);
    // Tells the progress line that `done` of the file's `total` bytes are read.
    void Progress(std::uint64_t done, std::uint64_t total);

    ArchiveEditor& editor;
    Archive& archive;
    const platform::FileHandle file;
    BlockCompressor* const compressor;
    const char* const fileName;
    const StoredName& name;
    const unsigned int blockSize = archiveBlockSize;
    std::unique_ptr<tool::ProgressLine> progress;  // for a large file, at a terminal
};

void FileAddition::Progress(std::uint64_t done, std::uint64_t total) {
    if (total < tool::largeFileBytes) return;
    if (!progress) progress = std::make_unique<tool::ProgressLine>(fileName, total);
    progress->Update(done);
}

AddStatus FileAddition::StageBlock(StagedFile& staged, PackedBlock& block) {
    const std::uint64_t size = block.bytes.size();
    if (staged.spillAt == 0 && staged.heldBytes + size <= editor.StagingLimit()) {
        if (!GAME_CHECK(mem::TryAppend(staged.held, std::move(block.bytes)))) return AddStatus::outOfMemory;
        staged.heldBytes += size;
    } else {
        if (staged.spillAt == 0) staged.spillAt = std::uint64_t(archive.AppendPoint()) + staged.heldBytes;
        const std::uint64_t at = staged.spillAt + (staged.storedSize - staged.heldBytes);
        // Past the data lies only the index the archive had when the edit began; the journal
        // keeps that, as it keeps every byte the committed archive needs.
        if (!editor.Protect(at, size) || !platform::SetFilePosition(file, at) ||
            !platform::WriteAll(file, block.bytes.data(), size))
            return AddStatus::writeFailed;
    }
    if (!GAME_CHECK(mem::TryAppend(staged.blocks, FileBlock{static_cast<unsigned int>(staged.storedSize),
                                                            static_cast<unsigned int>(size), block.expandedSize})))
        return AddStatus::outOfMemory;
    staged.storedSize += size;
    staged.expandedSize += block.expandedSize;
    staged.checksum = adler32_combine(staged.checksum, block.checksum, block.expandedSize);
    Progress(staged.expandedSize, staged.length);
    return AddStatus::added;
}

bool FileAddition::BeginReadAhead(std::uint64_t* length) {
    if (compressor == nullptr) return false;
    return compressor->Begin(fileName, length, true);
}

AddStatus FileAddition::TakeReadAhead(std::uint64_t length, std::vector<std::vector<char>>* blocks, uLong* checksum) {
    for (std::uint64_t done = 0; done < length;) {
        PackedBlock block;
        if (!compressor->Next(block)) return AddStatus::readFailed;
        *checksum = adler32_combine(*checksum, block.checksum, block.expandedSize);
        done += block.expandedSize;
        Progress(done, length);
        if (blocks != nullptr) {
            if (!GAME_CHECK(mem::TryAppend(*blocks, std::move(block.bytes)))) return AddStatus::outOfMemory;
        } else if (!platform::WriteAll(file, block.bytes.data(), block.bytes.size())) {
            return AddStatus::writeFailed;
        }
    }
    return AddStatus::added;
}

bool FileAddition::StageFromCompressor(StagedFile& staged, std::uint64_t* length) {
    if (!BeginReadAhead(length)) return false;
    staged.length = *length;
    const std::uint64_t numBlocks = (*length + blockSize - 1) / blockSize;
    bool whole = true;
    for (std::uint64_t i = 0; i < numBlocks && whole; ++i) {
        PackedBlock block;
        whole = compressor->Next(block) && StageBlock(staged, block) == AddStatus::added;
    }
    compressor->End();
    return whole && staged.expandedSize == *length;
}

AddStatus FileAddition::StageLooseFile(StagedFile& staged, std::uint64_t* length) {
    LooseFile loose;
    if (const AddStatus opened = OpenLooseFile(fileName, loose); opened != AddStatus::added) return opened;
    *length = staged.length = loose.length;
    const unsigned int numBlocks = static_cast<unsigned int>((std::uint64_t(loose.length) + blockSize - 1) / blockSize);
    const int bound = LZ4_compressBound(static_cast<int>(blockSize));
    const std::unique_ptr<char[]> fileDataBuffer = AllocateBuffer(blockSize);
    if (!GAME_CHECK(fileDataBuffer)) return AddStatus::outOfMemory;
    const std::unique_ptr<char[]> compressionBuffer = AllocateBuffer(static_cast<std::size_t>(bound));
    if (!GAME_CHECK(compressionBuffer)) return AddStatus::outOfMemory;

    unsigned int blockIndex = 0;
    while (blockIndex < numBlocks) {
        std::uint32_t n = 0;
        if (!platform::ReadFile(loose.file.Get(), fileDataBuffer.get(), blockSize, &n) || n == 0) break;
        PackedBlock block;
        if (!GAME_CHECK(PackBlock(fileDataBuffer.get(), n, compressionBuffer.get(), bound, block)))
            return AddStatus::outOfMemory;
        if (const AddStatus staging = StageBlock(staged, block); staging != AddStatus::added) return staging;
        ++blockIndex;
    }
    if (!GAME_CHECK(blockIndex == numBlocks)) return AddStatus::readFailed;
    // A file that changed length while it was read would give blocks that do not add up to it.
    if (!GAME_CHECK(staged.expandedSize == loose.length)) return AddStatus::readFailed;
    return AddStatus::added;
}

AddStatus FileAddition::PlaceStagedFile(StagedFile& staged, unsigned int offset) {
    const std::uint64_t spilled = staged.storedSize - staged.heldBytes;
    if (spilled != 0 && offset + staged.heldBytes != staged.spillAt) {
        // Best fit chose a hole: the bytes written past the data move into it, a piece at a time.
        const std::unique_ptr<char[]> buffer = AllocateBuffer(fileBufferSize);
        if (!GAME_CHECK(buffer)) return AddStatus::outOfMemory;
        for (std::uint64_t done = 0; done < spilled;) {
            const std::uint64_t piece = spilled - done < fileBufferSize ? spilled - done : fileBufferSize;
            const std::uint64_t to = offset + staged.heldBytes + done;
            if (!platform::SetFilePosition(file, staged.spillAt + done) ||
                !platform::ReadExactly(file, buffer.get(), piece) || !editor.Protect(to, piece) ||
                !platform::SetFilePosition(file, to) || !platform::WriteAll(file, buffer.get(), piece))
                return AddStatus::writeFailed;
            done += piece;
        }
    }
    // The bytes held in memory go in front of the others.
    return editor.WriteWhenSaved(offset, std::move(staged.held)) ? AddStatus::added : AddStatus::writeFailed;
}

Addition FileAddition::AddStored() {
    if (archive.FindStored(name) >= 0) return {AddStatus::alreadyStored};
    // Blocks the workers read ahead are used as they come. A small file that they could not
    // read whole is read again here, which tells why; a large one fails as a read here fails.
    std::uint64_t length = 0;
    bool readAhead = BeginReadAhead(&length);
    const ReadAheadEnd endsReadAhead{readAhead ? compressor : nullptr};
    std::vector<std::vector<char>> blocks;
    uLong checksum = adler32(0, nullptr, 0);
    if (readAhead && length <= wholeReadLimit) {
        readAhead = TakeReadAhead(length, &blocks, &checksum) == AddStatus::added;
        compressor->End();
    }
    LooseFile loose;
    if (!readAhead) {
        if (const AddStatus opened = OpenLooseFile(fileName, loose); opened != AddStatus::added) return {opened};
        length = loose.length;
    }
    const Addition placed =
        editor.Allocate(name, static_cast<unsigned int>(length), static_cast<unsigned int>(length), false);
    if (placed.status != AddStatus::added) return placed;
    const int index = placed.index;
    const unsigned int offset = archive.Records()[index].offset;

    AddStatus status = editor.ReserveIndexRoom();
    if (status != AddStatus::added) {
        // Told as it is below.
    } else if (length <= wholeReadLimit) {
        // A small file is read whole, so that its write can wait for a flush of the journal
        // that it shares with others.
        if (!readAhead) {
            if (!GAME_CHECK(mem::TryResize(blocks, 1))) return Refuse(index, AddStatus::outOfMemory);
            status = ReadLooseFile(loose, blocks[0], &checksum);
        }
        if (status == AddStatus::added && !editor.WriteWhenSaved(offset, std::move(blocks)))
            status = AddStatus::writeFailed;
    } else if (!editor.Protect(offset, length) || !platform::SetFilePosition(file, offset)) {
        status = AddStatus::writeFailed;
    } else if (readAhead) {
        status = TakeReadAhead(length, nullptr, &checksum);
    } else {
        status = CopyLooseFile(loose, file, &checksum, [&](std::uint64_t done) { Progress(done, loose.length); });
    }
    if (status != AddStatus::added) return Refuse(index, status);
    archive.Records()[index].checksum = static_cast<unsigned int>(checksum);
    return placed;
}

Addition FileAddition::AddCompressed() {
    if (archive.FindStored(name) >= 0) return {AddStatus::alreadyStored};
    // The whole file is compressed before space is claimed, so that the exact stored size
    // decides where it goes, and a file that fails part-way leaves the archive as it was.
    StagedFile staged;
    std::uint64_t length = 0;
    if (!StageFromCompressor(staged, &length)) {
        // Read here, the file tells why it cannot be added, as it would with no compressor.
        staged = StagedFile{};
        if (const AddStatus staging = StageLooseFile(staged, &length); staging != AddStatus::added) return {staging};
    }

    const unsigned int numBlocks = static_cast<unsigned int>(staged.blocks.size());
    const Addition placed =
        editor.Allocate(name, static_cast<unsigned int>(staged.storedSize), static_cast<unsigned int>(length), true);
    if (placed.status != AddStatus::added) return placed;
    const int index = placed.index;
    Archive::FileEntry& entry = archive.Records()[index];
    entry.checksum = static_cast<unsigned int>(staged.checksum);
    if (numBlocks != 0) {
        std::unique_ptr<FileBlock[]> blocks = mem::TryNewArray<FileBlock>(numBlocks);
        if (!GAME_CHECK(blocks)) return Refuse(index, AddStatus::outOfMemory);
        for (unsigned int i = 0; i < numBlocks; ++i) {
            blocks[i] = staged.blocks[i];
            blocks[i].offset += entry.offset;
        }
        entry.blocks = blocks.release();  // the record owns its copies (Allocate said so)
        entry.numBlocks = numBlocks;
    }
    AddStatus status = editor.ReserveIndexRoom();
    if (status == AddStatus::added) status = PlaceStagedFile(staged, entry.offset);
    if (status != AddStatus::added) return Refuse(index, status);
    return placed;
}

Addition FileAddition::Refuse(int fileIndex, AddStatus why) {
    editor.UndoAddition(fileIndex);
    // The archive itself could not take bytes: the run must not pass for a success.
    if (why == AddStatus::writeFailed) editor.NoteWriteFailure();
    return {why};
}

}  // namespace

Addition AddLooseFile(ArchiveEditor& editor, const char* fileName, const StoredName& name, int compressionLevel,
                      const std::uint64_t* lastWriteTime) {
    FileAddition addition(editor, fileName, name);
    const Addition added = compressionLevel != 0 ? addition.AddCompressed() : addition.AddStored();
    if (added.status != AddStatus::added) return added;
    platform::FileAttributes attributes;
    if (lastWriteTime != nullptr)
        editor.GetArchive().Records()[added.index].fileTime = *lastWriteTime;
    else if (platform::GetFileAttributes(fileName, &attributes))
        editor.GetArchive().Records()[added.index].fileTime = attributes.lastWriteTime;
    // A long import commits what it has added whenever the journal has grown large, so that the
    // journal stays bounded; the file just added is part of that commit.
    editor.CommitIfJournalFull();
    return added;
}

}  // namespace GAME
