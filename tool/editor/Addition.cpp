#include "tool/editor/Addition.h"

#include <cstdio>

namespace GAME {

const char* AddStatusText(AddStatus status) {
    switch (status) {
        case AddStatus::notRegular: return "it is not a regular file";
        case AddStatus::cannotOpen: return "it cannot be opened";
        case AddStatus::tooLarge: return "files of 4 GiB or more cannot be archived";
        case AddStatus::archiveFull: return "the archive would pass 4 GiB";
        case AddStatus::diskFull: return "the disk is full";
        case AddStatus::readFailed: return "reading it failed";
        case AddStatus::writeFailed: return "writing to the archive failed";
        case AddStatus::outOfMemory: return "there is not enough memory";
        case AddStatus::added:
        case AddStatus::alreadyStored:
        case AddStatus::unnamed:
        case AddStatus::failedCheck: break;
    }
    return "";
}

void ReportNotAdded(const char* fileName, AddStatus status) {
    const char* reason = AddStatusText(status);
    if (*reason != '\0') std::fprintf(stderr, "%s: not added, %s.\n", fileName, reason);
}

}  // namespace GAME
