// Writing files of an open archive, in either mode, below an output folder.
#pragma once

#include <string>

#include "Engine/Archive.h"
#include "platform/OutputFolder.h"

namespace GAME {

/// The extraction of files of one archive into one output directory (a location as typed: '\'
/// becomes '/', letters lower case, nothing stripped). The output folder's rules hold for every
/// file: no link below the directory is followed, and the archive itself is never written.
class ArchiveExtractor {
public:
    ArchiveExtractor(Archive& archive, const char* outputDirectory);

    /// Writes file `fileIndex` to the output directory + "/" + `folder` + "/" + its name, as
    /// Archive::ExtractFile tells.
    bool Extract(int fileIndex, const std::string& folder = std::string());

    /// Extracts every record in order, as Archive::ExtractAllFiles tells.
    bool ExtractAll(const std::string& folder);

private:
    using FileEntry = Archive::FileEntry;

    const char* ExtractStoredFile(const FileEntry& fileEntry, platform::FileHandle outputFile);
    const char* ExtractCompressedFile(int fileIndex, const FileEntry& fileEntry, platform::FileHandle outputFile);

    Archive& archive;
    const std::string outputDirectoryName;
    platform::OutputFolder output;
};

}  // namespace GAME
