#include "tool/OpenReport.h"

#include <cstdio>

#include "Engine/Archive.h"
#include "Engine/ArchiveRecovery.h"
#include "platform/Process.h"

namespace tool {

void ReportRecovery(const std::string& archivePath, const GAME::RecoveryResult& result) {
    using GAME::JournalFinding;
    using GAME::Recovery;
    const char* archive = archivePath.c_str();
    const std::string journalPath = GAME::JournalPath(archivePath);
    const char* journal = journalPath.c_str();
    switch (result.outcome) {
        case Recovery::nothing: return;
        case Recovery::rolledBack: std::fprintf(stderr, "%s: an interrupted edit was rolled back.\n", archive); return;
        case Recovery::failed:
            std::fprintf(stderr, "%s: an interrupted edit could not be rolled back: %s.\n", archive,
                         platform::ErrorText(result.error).c_str());
            return;
        case Recovery::doesNotOpen:
            std::fprintf(stderr,
                         "%s: an interrupted edit was rolled back, but the archive still does not open; %s is kept.\n",
                         archive, journal);
            return;
        case Recovery::refused:
        case Recovery::leftAlone: break;
    }
    switch (result.finding) {
        case JournalFinding::interrupted:  // left alone: nothing was to be written
            std::fprintf(stderr,
                         "%s: %s holds an interrupted edit, left as it is; the archive is read as it is on disk "
                         "(the next command that edits it rolls the edit back).\n",
                         archive, journal);
            break;
        case JournalFinding::foreign:
            std::fprintf(stderr,
                         "%s: %s is not the journal of this archive; both are left as they are (delete the journal "
                         "if the archive is the one you want).\n",
                         archive, journal);
            break;
        case JournalFinding::damaged:
            std::fprintf(stderr,
                         "%s: %s is damaged, so the interrupted edit cannot be rolled back; both are left as they "
                         "are.\n",
                         archive, journal);
            break;
        case JournalFinding::notRegular:
            std::fprintf(stderr,
                         "%s: %s is a link or not a regular file; both are left as they are (remove it to use the "
                         "archive).\n",
                         archive, journal);
            break;
        default:
            std::fprintf(stderr, "%s: an interrupted edit could not be rolled back: %s: %s.\n", archive, journal,
                         platform::ErrorText(result.error).c_str());
            break;
    }
}

bool ReportOpen(const char* archivePath, const GAME::Archive& archive) {
    ReportRecovery(archivePath, archive.GetRecovery());
    switch (archive.GetOpenStatus()) {
        case GAME::OpenStatus::opened:
        case GAME::OpenStatus::recovered: return true;
        case GAME::OpenStatus::busy:
            std::fprintf(stderr, "Archive file %s is being edited by another process.\n", archivePath);
            return false;
        default: std::fprintf(stderr, "Failed to open archive file %s.\n", archivePath); return false;
    }
}

}  // namespace tool
