// Writing files of an open archive, in either mode, below an output folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Engine/Archive.h"
#include "diagnostics/Assert.h"
#include "platform/OutputFolder.h"

namespace tool {
class ProgressLine;
}

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

    /// Extracts every record in order, as Archive::ExtractAllFiles tells, on `threads` threads
    /// (0: one a core). Workers write the files ahead while this thread prints the lines in the
    /// records' order; the files, the lines and the result are those of one thread. Where the
    /// order of the writes could matter (two records on one file, a file where another's folder
    /// goes), one thread writes them all.
    bool ExtractAll(const std::string& folder, unsigned int threads = 0);

    /// The same for the records `records`, in their order: "(k / m) name" before each.
    bool ExtractRecords(const std::vector<int>& records, const std::string& folder, unsigned int threads = 0);

private:
    using FileEntry = Archive::FileEntry;

    // What became of one record: nothing for a free one, or the failure its line tells (null
    // for none), with the reports of the checks that failed meanwhile when they were held.
    struct Outcome {
        bool inUse = false;
        const char* failure = nullptr;
        std::vector<diag::HeldAssertReport> reports;
    };

    // Writes the file through `output`, printing nothing but the reports of failed checks and,
    // with `showProgress`, the progress line of a large file.
    Outcome Write(platform::OutputFolder& output, int fileIndex, const std::string& folder, bool showProgress) const;
    // Shows the held reports and the failure's line; true when the file was extracted whole.
    bool Tell(int fileIndex, const Outcome& outcome) const;
    bool ExtractOnWorkers(const std::vector<int>& records, const std::string& folder, unsigned int threads);
    void KeepArchiveUntouched(platform::OutputFolder& folder) const;
    const char* ExtractStoredFile(const FileEntry& fileEntry, platform::FileHandle outputFile,
                                  tool::ProgressLine* progress) const;
    const char* ExtractCompressedFile(int fileIndex, const FileEntry& fileEntry, platform::FileHandle outputFile,
                                      tool::ProgressLine* progress) const;

    Archive& archive;
    const std::string outputDirectoryName;
    bool archiveIdentified = false;
    std::uint64_t archiveVolume = 0;
    std::uint64_t archiveFileId = 0;
    platform::OutputFolder output;
};

}  // namespace GAME
