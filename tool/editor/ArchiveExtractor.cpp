// Writing files from an archive back to disk.
#include "tool/editor/ArchiveExtractor.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <zlib.h>

#include "Engine/ArchiveFormat.h"
#include "Engine/MemGrowth.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/OutputFolder.h"
#include "platform/Paths.h"
#include "platform/Signals.h"
#include "tool/NormalizePath.h"
#include "tool/ProgressLine.h"
#include "tool/editor/InOrderWorkers.h"
#include "tool/editor/IndependentOutputs.h"

namespace GAME {
namespace {

// The copy buffer of a stored file: large, so that a big file costs few system calls.
constexpr unsigned int fileBufferSize = 1u << 20;

// Why a file was not extracted whole, as its line on standard error says it after its name. The
// bytes of a file whose data is damaged are still written, as far as they could be recovered.
const char reasonNameLeaves[] = "not extracted, its name leaves the output folder";
const char reasonIsTheArchive[] = "not extracted, it would overwrite the archive it comes from";
const char reasonLinkOnTheWay[] = "not extracted, a folder on its way is a symbolic link";
const char reasonNotCreated[] = "not extracted, it cannot be created";
const char reasonNoMemory[] = "not extracted, there is not enough memory";
const char reasonWriteFailed[] = "not extracted whole, writing it failed";
const char reasonUnreadable[] = "extracted with errors, its data could not be read whole";
const char reasonChecksum[] = "extracted with errors, its checksum does not match";

// The stored name up to its last '/', or empty.
std::string_view ParentFolder(const char* name) {
    const std::string_view path = name != nullptr ? name : "";
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
}

// The line before each record of a run: "(i / n) name".
void PrintPosition(int i, int count, const Archive::FileEntry& entry) {
    std::printf("(%i / %i) %s\n", i + 1, count, entry.name != nullptr ? entry.name : "<free entry>");
}

std::string Location(const char* outputDirectory) {
    std::string location = outputDirectory != nullptr ? outputDirectory : "";
    tool::NormalizePath(location);  // a location, not a stored name: "/" keeps it absolute
    return location;
}

}  // namespace

ArchiveExtractor::ArchiveExtractor(Archive& archive, const char* outputDirectory)
    : archive(archive), outputDirectoryName(Location(outputDirectory)), output(outputDirectoryName.c_str()) {
    // A stored name that leads to the archive itself, by any path or link, must not cut it.
    archiveIdentified = platform::GetFileIdentity(archive.GetFileHandle(), &archiveVolume, &archiveFileId);
    KeepArchiveUntouched(output);
}

void ArchiveExtractor::KeepArchiveUntouched(platform::OutputFolder& folder) const {
    if (archiveIdentified) folder.KeepUntouched(archiveVolume, archiveFileId);
}

bool ArchiveExtractor::Extract(int fileIndex, const std::string& folder) {
    if (fileIndex < 0 || fileIndex >= static_cast<int>(archive.GetNumFiles())) return false;
    const FileEntry& fileEntry = archive.GetFileEntry(fileIndex);
    if (!(fileEntry.flags & Archive::fileFlagInUse) || fileEntry.name == nullptr) return false;
    if (!archive.WriteHeldBackData()) return false;
    return Tell(fileIndex, Write(output, fileIndex, folder, true));
}

ArchiveExtractor::Outcome ArchiveExtractor::Write(platform::OutputFolder& output, int fileIndex,
                                                  const std::string& folder, bool showProgress) const {
    Outcome outcome;
    const FileEntry& fileEntry = archive.GetFileEntry(fileIndex);
    outcome.inUse = (fileEntry.flags & Archive::fileFlagInUse) && fileEntry.name != nullptr;
    if (!outcome.inUse) return outcome;
    // Archives from elsewhere can hold any bytes as a name: never write outside the output.
    if (!platform::IsContainedRelativePath(fileEntry.name)) {
        outcome.failure = reasonNameLeaves;
        return outcome;
    }

    // Created or cut to nothing, so that an older, longer file leaves no tail behind. A link
    // already in the output folder never takes the file elsewhere.
    const platform::FileHandle INVALID_HANDLE_VALUE = platform::invalidFileHandle;
    platform::OutputRefusal refusal = platform::OutputRefusal::none;
    const platform::FileHandle outputFile = output.Create(platform::JoinPath(folder, fileEntry.name), &refusal);
    if (refusal == platform::OutputRefusal::keptFile) {
        outcome.failure = reasonIsTheArchive;
        return outcome;
    }
    if (refusal == platform::OutputRefusal::linkOnTheWay) {
        outcome.failure = reasonLinkOnTheWay;
        return outcome;
    }
    if (!GAME_CHECK(outputFile != INVALID_HANDLE_VALUE)) {
        outcome.failure = reasonNotCreated;
        return outcome;
    }
    const platform::UniqueFile closesOutput(outputFile);
    // Where one thread writes, a large file shows how far it has come; workers stay quiet.
    std::unique_ptr<tool::ProgressLine> progress;
    if (showProgress && fileEntry.expandedSize >= tool::largeFileBytes)
        progress = std::make_unique<tool::ProgressLine>(fileEntry.name, fileEntry.expandedSize);
    outcome.failure = (fileEntry.flags & Archive::fileFlagCompressed)
                          ? ExtractCompressedFile(fileIndex, fileEntry, outputFile, progress.get())
                          : ExtractStoredFile(fileEntry, outputFile, progress.get());
    return outcome;
}

bool ArchiveExtractor::Tell(int fileIndex, const Outcome& outcome) const {
    diag::HeldAssertReports::Show(outcome.reports);
    if (outcome.failure == nullptr) return outcome.inUse;
    std::fprintf(stderr, "file: %s %s.\n", archive.GetFileEntry(fileIndex).name, outcome.failure);
    return false;
}

const char* ArchiveExtractor::ExtractStoredFile(const FileEntry& fileEntry, platform::FileHandle outputFile,
                                                tool::ProgressLine* progress) const {
    const unsigned int bufferSize = fileEntry.size < fileBufferSize ? fileEntry.size + 1 : fileBufferSize;
    const std::unique_ptr<char[]> buffer = mem::TryNewArray<char>(bufferSize);
    char* fileBuffer = buffer.get();
    if (!GAME_CHECK(fileBuffer)) return reasonNoMemory;
    const platform::FileHandle archiveFileHandle = archive.GetFileHandle();
    const char* failure = nullptr;
    std::uint64_t offset = fileEntry.offset;  // read at the offset: other threads read the archive too
    for (unsigned int remaining = fileEntry.size; remaining > 0;) {
        const std::uint32_t chunk = remaining < bufferSize ? remaining : bufferSize;
        std::uint32_t bytesRead = 0, bytesWritten = 0;
        platform::ReadFileAt(archiveFileHandle, fileBuffer, chunk, offset, &bytesRead);
        offset += bytesRead;
        const bool written = platform::WriteFile(outputFile, fileBuffer, bytesRead, &bytesWritten);
        GAME_ASSERT(bytesRead == bytesWritten);
        if (!written) {
            failure = reasonWriteFailed;
            break;
        }
        if (!GAME_CHECK(bytesRead == chunk)) {  // the archive ended early: write no filler
            failure = reasonUnreadable;
            break;
        }
        remaining -= chunk;
        if (progress != nullptr) progress->Update(fileEntry.size - remaining);
    }
    return failure;
}

const char* ArchiveExtractor::ExtractCompressedFile(int fileIndex, const FileEntry& fileEntry,
                                                    platform::FileHandle outputFile,
                                                    tool::ProgressLine* progress) const {
    // A block at a time, so that memory stays small whatever the size of the file.
    const unsigned int size = fileEntry.expandedSize;
    const unsigned int blockSize = archiveBlockSize;
    const std::unique_ptr<char[]> buffer =
        mem::TryNewArray<char>(size < blockSize ? (size != 0 ? size : 1) : blockSize);
    char* outputBuffer = buffer.get();
    if (!GAME_CHECK(outputBuffer)) return reasonNoMemory;

    // Blocks that cannot be read or expanded are reported; like a checksum mismatch, that does
    // not stop the bytes that were recovered from being written. Zeros stand for the first block
    // that failed and every one after it, so that a damaged file never writes leftover memory;
    // after a failed write the rest is still read and summed, for the same reports.
    bool dataRead = true;
    bool writing = true;
    unsigned int bytesWritten = 0;
    uLong checksum = adler32(0, nullptr, 0);
    for (unsigned int at = 0; at < size;) {
        const unsigned int chunk = size - at < blockSize ? size - at : blockSize;
        unsigned int delivered = 0;
        if (dataRead) dataRead = archive.ReadFileData(fileIndex, outputBuffer, at, chunk, &delivered);
        std::fill(outputBuffer + delivered, outputBuffer + chunk, '\0');
        checksum = adler32(checksum, reinterpret_cast<const Bytef*>(outputBuffer), chunk);
        if (writing) {
            std::uint32_t written = 0;
            writing = platform::WriteFile(outputFile, outputBuffer, chunk, &written);
            bytesWritten += written;
        }
        at += chunk;
        if (progress != nullptr) progress->Update(at);
    }
    GAME_ASSERT(dataRead);
    GAME_ASSERT(checksum == fileEntry.checksum);
    GAME_ASSERT(bytesWritten == fileEntry.expandedSize);
    if (bytesWritten != fileEntry.expandedSize) return reasonWriteFailed;
    if (!dataRead) return reasonUnreadable;
    return checksum == fileEntry.checksum ? nullptr : reasonChecksum;
}

bool ArchiveExtractor::ExtractAll(const std::string& folder, unsigned int threads) {
    std::string folderName = folder;
    // With no output directory the folder starts the path, which is normalised as a whole.
    if (outputDirectoryName.empty()) Archive::NormalizeFileName(folder.c_str(), folderName);
    std::vector<int> records(archive.GetNumFiles());
    for (std::size_t i = 0; i < records.size(); ++i) records[i] = static_cast<int>(i);
    return ExtractRecords(records, folderName, threads);
}

bool ArchiveExtractor::ExtractRecords(const std::vector<int>& records, const std::string& folder,
                                      unsigned int threads) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    // Nothing may be held back for the journal once workers read the archive side by side.
    if (threads > 1 && records.size() > 1 && archive.WriteHeldBackData() &&
        OutputsAreIndependent(archive, records, folder))
        return ExtractOnWorkers(records, folder, threads);

    bool ok = true;
    const int count = static_cast<int>(records.size());
    for (int i = 0; i < count && platform::StopSignal() == 0; ++i) {
        const FileEntry& entry = archive.GetFileEntry(records[i]);
        PrintPosition(i, count, entry);
        // A free record has nothing to extract; any other that is not extracted whole fails the run.
        if (!Extract(records[i], folder) && (entry.flags & Archive::fileFlagInUse)) ok = false;
    }
    return ok;
}

bool ArchiveExtractor::ExtractOnWorkers(const std::vector<int>& records, const std::string& folder,
                                        unsigned int threads) {
    // Each worker has an output folder of its own, which keeps the folders of its last file open.
    std::vector<std::unique_ptr<platform::OutputFolder>> outputs;
    for (unsigned int worker = 0; worker < threads; ++worker) {
        outputs.push_back(std::make_unique<platform::OutputFolder>(outputDirectoryName.c_str()));
        KeepArchiveUntouched(*outputs.back());
    }
    const auto write = [&](std::size_t item, unsigned worker) {
        // Reports of failed checks wait for the record's turn, to come before its line.
        diag::HeldAssertReports held;
        Outcome outcome = Write(*outputs[worker], records[item], folder, false);
        outcome.reports = held.Take();
        return outcome;
    };
    // Files made in one folder wait for each other in the system: a worker takes a folder's run.
    const auto folderRunEnd = [&](std::size_t first, std::size_t limit) {
        const std::string_view parent = ParentFolder(archive.GetFileEntry(records[first]).name);
        std::size_t end = first + 1;
        while (end < limit && ParentFolder(archive.GetFileEntry(records[end]).name) == parent) ++end;
        return end;
    };
    InOrderWorkers<Outcome> workers(threads, records.size(), write, folderRunEnd);
    bool ok = true;
    const int count = static_cast<int>(records.size());
    for (int i = 0; i < count && platform::StopSignal() == 0; ++i) {
        const FileEntry& entry = archive.GetFileEntry(records[i]);
        PrintPosition(i, count, entry);
        const Outcome outcome = workers.Take(static_cast<std::size_t>(i));
        if (!Tell(records[i], outcome) && outcome.inUse) ok = false;
    }
    workers.Stop();
    return ok;
}

}  // namespace GAME
