// Writing files from an archive back to disk.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <zlib.h>

#include "Engine/Archive.h"
#include "diagnostics/Assert.h"
#include "platform/File.h"
#include "platform/OutputFolder.h"
#include "platform/Paths.h"
#include "platform/Signals.h"
#include "tool/NormalizePath.h"

namespace GAME {
namespace {

// The copy buffer of a stored file: large, so that a big file costs few system calls.
constexpr unsigned int fileBufferSize = 1u << 20;

// Why a file was not extracted whole, as its line on standard error says it. The bytes of a
// file whose data is damaged are still written, as far as they could be recovered.
const char reasonNoMemory[] = "not extracted, there is not enough memory";
const char reasonWriteFailed[] = "not extracted whole, writing it failed";
const char reasonUnreadable[] = "extracted with errors, its data could not be read whole";
const char reasonChecksum[] = "extracted with errors, its checksum does not match";

}  // namespace

void Archive::KeepArchiveUntouched(platform::OutputFolder& output) const {
    // A stored name that leads to the archive itself, by any path or link, must not cut it.
    std::uint64_t volume = 0, fileId = 0;
    if (platform::GetFileIdentity(archiveFileHandle, &volume, &fileId)) output.KeepUntouched(volume, fileId);
}

bool Archive::ExtractFile(int fileIndex, const char* outputDirectory) {
    std::string outputDirectoryName = outputDirectory != nullptr ? outputDirectory : "";
    tool::NormalizePath(outputDirectoryName);  // a location, not a stored name: "/" keeps it absolute
    platform::OutputFolder output(outputDirectoryName.c_str());
    KeepArchiveUntouched(output);
    return ExtractFileWith(fileIndex, output, std::string());
}

bool Archive::ExtractFileWith(int fileIndex, platform::OutputFolder& output, const std::string& folder) {
    if (fileIndex < 0 || fileIndex >= static_cast<int>(fileArray.size())) return false;
    const FileEntry& fileEntry = fileArray[fileIndex];
    if (!(fileEntry.flags & fileFlagInUse) || fileEntry.name == nullptr) return false;
    if (!WriteHeldBackData()) return false;
    // Archives from elsewhere can hold any bytes as a name: never write outside the output.
    if (!platform::IsContainedRelativePath(fileEntry.name)) {
        std::fprintf(stderr, "file: %s not extracted, its name leaves the output folder.\n", fileEntry.name);
        return false;
    }

    // Created or cut to nothing, so that an older, longer file leaves no tail behind. A link
    // already in the output folder never takes the file elsewhere.
    const platform::FileHandle INVALID_HANDLE_VALUE = platform::invalidFileHandle;
    platform::OutputRefusal refusal = platform::OutputRefusal::none;
    const platform::FileHandle outputFile = output.Create(platform::JoinPath(folder, fileEntry.name), &refusal);
    if (refusal == platform::OutputRefusal::keptFile) {
        std::fprintf(stderr, "file: %s not extracted, it would overwrite the archive it comes from.\n", fileEntry.name);
        return false;
    }
    if (refusal == platform::OutputRefusal::linkOnTheWay) {
        std::fprintf(stderr, "file: %s not extracted, a folder on its way is a symbolic link.\n", fileEntry.name);
        return false;
    }
    if (!GAME_CHECK(outputFile != INVALID_HANDLE_VALUE)) {
        std::fprintf(stderr, "file: %s not extracted, it cannot be created.\n", fileEntry.name);
        return false;
    }
    const platform::UniqueFile closesOutput(outputFile);
    const char* failure = (fileEntry.flags & fileFlagCompressed)
                              ? ExtractCompressedFile(fileIndex, fileEntry, outputFile)
                              : ExtractStoredFile(fileEntry, outputFile);
    if (failure == nullptr) return true;
    std::fprintf(stderr, "file: %s %s.\n", fileEntry.name, failure);
    return false;
}

const char* Archive::ExtractStoredFile(const FileEntry& fileEntry, platform::FileHandle outputFile) {
    const unsigned int bufferSize = fileEntry.size < fileBufferSize ? fileEntry.size + 1 : fileBufferSize;
    char* fileBuffer = static_cast<char*>(std::malloc(bufferSize));
    if (!GAME_CHECK(fileBuffer)) return reasonNoMemory;
    const char* failure = SetFilePosition(fileEntry.offset) ? nullptr : reasonUnreadable;
    for (unsigned int remaining = failure == nullptr ? fileEntry.size : 0; remaining > 0;) {
        const std::uint32_t chunk = remaining < bufferSize ? remaining : bufferSize;
        std::uint32_t bytesRead = 0, bytesWritten = 0;
        platform::ReadFile(archiveFileHandle, fileBuffer, chunk, &bytesRead);
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
    }
    std::free(fileBuffer);
    return failure;
}

const char* Archive::ExtractCompressedFile(int fileIndex, const FileEntry& fileEntry, platform::FileHandle outputFile) {
    // Zero-filled, so that a file that cannot be read whole never writes leftover memory.
    char* outputBuffer = static_cast<char*>(std::calloc(fileEntry.expandedSize != 0 ? fileEntry.expandedSize : 1, 1));
    if (!GAME_CHECK(outputBuffer)) return reasonNoMemory;
    // Blocks that cannot be read or expanded are reported; like a checksum mismatch, that
    // does not stop the bytes that were recovered from being written.
    const bool dataRead = ReadFileData(fileIndex, outputBuffer, 0, fileEntry.expandedSize);
    GAME_ASSERT(dataRead);
    uLong checksum = adler32(0, nullptr, 0);
    checksum = adler32(checksum, reinterpret_cast<const Bytef*>(outputBuffer), fileEntry.expandedSize);
    GAME_ASSERT(checksum == fileEntry.checksum);
    std::uint32_t bytesWritten = 0;
    platform::WriteFile(outputFile, outputBuffer, fileEntry.expandedSize, &bytesWritten);
    GAME_ASSERT(bytesWritten == fileEntry.expandedSize);
    std::free(outputBuffer);
    if (bytesWritten != fileEntry.expandedSize) return reasonWriteFailed;
    if (!dataRead) return reasonUnreadable;
    return checksum == fileEntry.checksum ? nullptr : reasonChecksum;
}

bool Archive::ExtractAllFiles(const char* outputDirectory, const std::string& folder) {
    bool ok = true;
    std::string outputDirectoryName = outputDirectory != nullptr ? outputDirectory : "", folderName = folder;
    tool::NormalizePath(outputDirectoryName);
    // With no output directory the folder starts the path, which is normalised as a whole.
    if (outputDirectoryName.empty()) NormalizeFileName(folder.c_str(), folderName);
    platform::OutputFolder output(outputDirectoryName.c_str());
    KeepArchiveUntouched(output);
    const int count = static_cast<int>(fileArray.size());
    for (int i = 0; i < count && platform::StopSignal() == 0; ++i) {
        const char* name = fileArray[i].name != nullptr ? fileArray[i].name : "<free entry>";
        std::printf("(%i / %i) %s\n", i + 1, count, name);
        // A free record has nothing to extract; any other that is not extracted whole fails the run.
        if (!ExtractFileWith(i, output, folderName) && (fileArray[i].flags & fileFlagInUse)) ok = false;
    }
    return ok;
}

}  // namespace GAME
