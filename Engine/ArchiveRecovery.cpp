#include "Engine/ArchiveRecovery.h"

#include <cstring>
#include <vector>

#include "Engine/JournalFormat.h"
#include "Engine/MemGrowth.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/UniqueFile.h"

namespace GAME {
namespace {

constexpr std::uint64_t readFailed = UINT64_MAX;

bool ReadAt(platform::FileHandle file, std::uint64_t offset, void* buffer, std::uint64_t count) {
    return platform::SetFilePosition(file, offset) && platform::ReadExactly(file, buffer, count);
}

// The archive's length and its first bytes, as many as its header takes.
struct ArchiveStart {
    std::uint64_t length = 0;
    unsigned char header[archiveHeaderBytes] = {};

    std::uint64_t HeaderBytes() const { return length < archiveHeaderBytes ? length : archiveHeaderBytes; }
    std::uint32_t HeaderSum() const { return ArchiveHeaderSum(header, HeaderBytes()); }
};

bool ReadArchiveStart(platform::FileHandle archive, ArchiveStart* start) {
    return platform::GetFileSize(archive, &start->length) && ReadAt(archive, 0, start->header, start->HeaderBytes()) &&
           platform::SetFilePosition(archive, 0);
}

// A journal open for reading, with what its header and progress slots say.
struct JournalFile {
    platform::UniqueFile file;
    std::uint64_t size = 0;
    bool headerSound = false;
    JournalHeader header;
    bool progressSound = false;
    JournalProgress progress;
};

// Opens the journal without following a link. Gives `none` when there is none, `notRegular`
// or `unreadable` when it cannot be used, and `interrupted` when it is open.
JournalFinding OpenJournal(const std::string& path, JournalFile* journal, int* error) {
    journal->file.Reset(platform::OpenRegularFileForRead(path.c_str()));
    if (!journal->file) {
        *error = platform::GetLastErrorValue();
        if (platform::ErrorIsMissingFile(*error)) return JournalFinding::none;
        platform::FileAttributes attributes;
        if (platform::IsSymbolicLink(path.c_str()) ||
            (platform::GetFileAttributes(path.c_str(), &attributes) && !attributes.isRegularFile))
            return JournalFinding::notRegular;
        return JournalFinding::unreadable;
    }
    if (!platform::GetFileSize(journal->file.Get(), &journal->size)) {
        *error = platform::GetLastErrorValue();
        return JournalFinding::unreadable;
    }
    unsigned char start[journalRecordsStart] = {};
    const std::uint64_t have = journal->size < sizeof start ? journal->size : sizeof start;
    if (!ReadAt(journal->file.Get(), 0, start, have)) {
        *error = platform::GetLastErrorValue();
        return JournalFinding::unreadable;
    }
    journal->headerSound = have >= journalHeaderSize && DecodeJournalHeader(start, &journal->header);
    if (journal->headerSound && have == sizeof start) {
        // The slot written last wins; one that a power cut tore leaves the other.
        JournalProgress first, second;
        const bool firstSound = DecodeProgress(start + journalHeaderSize, journal->header.salt, &first);
        const bool secondSound =
            DecodeProgress(start + journalHeaderSize + progressSlotSize, journal->header.salt, &second);
        journal->progressSound = firstSound || secondSound;
        journal->progress = !secondSound || (firstSound && first.sequence > second.sequence) ? first : second;
    }
    return JournalFinding::interrupted;
}

// Walks the records from the first, handing each whole and sound one to `each` (when given),
// and stops at the first that is not. Gives the journal offset where the sound records end, or
// readFailed.
template <typename Each>
std::uint64_t WalkRecords(JournalFile& journal, Each each) {
    std::vector<unsigned char> buffer;
    if (!mem::TryResize(buffer, recordHeaderSize + largestRecord)) return readFailed;
    const JournalHeader& header = journal.header;
    std::uint64_t at = journalRecordsStart;
    while (journal.size - at >= recordHeaderSize) {
        if (!ReadAt(journal.file.Get(), at, buffer.data(), recordHeaderSize)) return readFailed;
        const std::uint64_t offset = GetU64(buffer.data());
        const std::uint32_t length = GetU32(buffer.data() + 8);
        // Saved bytes are those of the committed file, at most one record's worth at a time.
        if (length == 0 || length > largestRecord || length > journal.size - at - recordHeaderSize ||
            offset > header.committedLength || length > header.committedLength - offset)
            break;
        unsigned char* saved = buffer.data() + recordHeaderSize;
        if (!ReadAt(journal.file.Get(), at + recordHeaderSize, saved, length)) return readFailed;
        if (GetU32(buffer.data() + 12) != RecordSum(header.salt, buffer.data(), saved, length)) break;
        if (!each(offset, saved, length)) return readFailed;
        at += recordHeaderSize + length;
    }
    return at;
}

JournalFinding Classify(JournalFile& journal, const ArchiveStart& archive, int* error) {
    // Nothing in the archive changes before the journal's header is durable and the archive
    // marked: a journal without a sound header beside an archive without a mark saved nothing.
    if (!journal.headerSound)
        return HasSoundMark(archive.header, archive.HeaderBytes()) ? JournalFinding::damaged : JournalFinding::harmless;
    const std::uint64_t marked = MarkedEditId(archive.header, archive.HeaderBytes());
    if (marked != 0 && marked == journal.header.editId) {
        if (!journal.progressSound) return JournalFinding::damaged;
        // Every record that was durable before the archive could be overwritten must be there.
        const std::uint64_t end =
            WalkRecords(journal, [](std::uint64_t, const unsigned char*, std::uint32_t) { return true; });
        if (end == readFailed) {
            *error = platform::GetLastErrorValue();
            return JournalFinding::unreadable;
        }
        return end >= journal.progress.durableEnd ? JournalFinding::interrupted : JournalFinding::damaged;
    }
    if (archive.length == journal.header.committedLength && archive.HeaderSum() == journal.header.archiveHeaderSum)
        return JournalFinding::harmless;
    return JournalFinding::foreign;
}

// Writes the bytes of `header` that `covered` marks and that lie inside [begin, end).
bool WriteHeaderRuns(platform::FileHandle archive, const unsigned char* header, const std::vector<bool>& covered,
                     std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t at = begin; at < end;) {
        if (!covered[at]) {
            ++at;
            continue;
        }
        std::uint64_t runEnd = at;
        while (runEnd < end && covered[runEnd]) ++runEnd;
        if (!platform::SetFilePosition(archive, at) || !platform::WriteAll(archive, header + at, runEnd - at))
            return false;
        at = runEnd;
    }
    return true;
}

// Puts the saved bytes back and cuts the archive to its committed length. The header comes
// last, once the rest is durable, and its mark place last of all: until then the archive still
// carries the edit's mark, so that an interruption here leads to the same roll-back again.
bool Apply(JournalFile& journal, platform::FileHandle archive) {
    unsigned char header[archiveHeaderBytes] = {};
    std::vector<bool> covered(archiveHeaderBytes, false);
    const std::uint64_t end =
        WalkRecords(journal, [&](std::uint64_t offset, const unsigned char* saved, std::uint32_t length) {
            std::uint64_t skip = 0;
            for (; offset + skip < archiveHeaderBytes && skip < length; ++skip) {
                header[offset + skip] = saved[skip];
                covered[offset + skip] = true;
            }
            return skip == length || (platform::SetFilePosition(archive, offset + skip) &&
                                      platform::WriteAll(archive, saved + skip, length - skip));
        });
    const std::uint64_t committed = journal.header.committedLength;
    const std::uint64_t markEnd = editMarkOffset + editMarkSize;
    return end != readFailed && platform::SetFilePosition(archive, committed) && platform::SetEndOfFile(archive) &&
           platform::FlushFile(archive) && WriteHeaderRuns(archive, header, covered, 0, editMarkOffset) &&
           WriteHeaderRuns(archive, header, covered, markEnd, archiveHeaderBytes) && platform::FlushFile(archive) &&
           WriteHeaderRuns(archive, header, covered, editMarkOffset, markEnd) && platform::FlushFile(archive) &&
           platform::SetFilePosition(archive, 0);
}

}  // namespace

std::string JournalPath(const std::string& archivePath) { return archivePath + "-journal"; }

bool DeleteJournal(const std::string& journalPath) {
    if (platform::DeleteFile(journalPath.c_str()))
        return platform::FlushDirectory(platform::ParentFolder(journalPath).c_str());
    return platform::ErrorIsMissingFile(platform::GetLastErrorValue());
}

JournalFinding InspectJournal(const std::string& archivePath, platform::FileHandle archive, int* error) {
    *error = 0;
    JournalFile journal;
    const JournalFinding opened = OpenJournal(JournalPath(archivePath), &journal, error);
    if (opened != JournalFinding::interrupted) return opened;
    ArchiveStart start;
    if (!ReadArchiveStart(archive, &start)) {
        *error = platform::GetLastErrorValue();
        return JournalFinding::unreadable;
    }
    return Classify(journal, start, error);
}

RecoveryResult RecoverArchive(const std::string& archivePath, platform::FileHandle archive,
                              const std::function<bool(platform::FileHandle)>& opens) {
    RecoveryResult result;
    const std::string journalPath = JournalPath(archivePath);
    JournalFile journal;
    result.finding = OpenJournal(journalPath, &journal, &result.error);
    if (result.finding == JournalFinding::interrupted) {
        ArchiveStart start;
        if (!ReadArchiveStart(archive, &start)) {
            result.error = platform::GetLastErrorValue();
            result.outcome = Recovery::failed;
            return result;
        }
        result.finding = Classify(journal, start, &result.error);
    }
    switch (result.finding) {
        case JournalFinding::none: return result;
        case JournalFinding::harmless:
            journal.file.Reset();
            if (!DeleteJournal(journalPath)) {
                result.error = platform::GetLastErrorValue();
                result.outcome = Recovery::failed;
            }
            return result;
        case JournalFinding::interrupted: break;
        default: result.outcome = Recovery::refused; return result;
    }

    if (!Apply(journal, archive)) {
        result.error = platform::GetLastErrorValue();
        result.outcome = Recovery::failed;
        return result;
    }
    // The journal goes only once the archive is back to the state it recorded, and opens.
    ArchiveStart restored;
    if (!ReadArchiveStart(archive, &restored) || restored.length != journal.header.committedLength ||
        restored.HeaderSum() != journal.header.archiveHeaderSum || !opens(archive) ||
        !platform::SetFilePosition(archive, 0)) {
        result.outcome = Recovery::doesNotOpen;
        return result;
    }
    journal.file.Reset();
    if (!DeleteJournal(journalPath)) {
        result.error = platform::GetLastErrorValue();
        result.outcome = Recovery::failed;
        return result;
    }
    result.outcome = Recovery::rolledBack;
    return result;
}

}  // namespace GAME
