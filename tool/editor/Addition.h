// What came of adding one loose file to an archive, and the words a "not added" line uses.
#pragma once

namespace GAME {

enum class AddStatus {
    added,
    alreadyStored,  // the name is in the archive already, and is left alone by rule
    unnamed,        // the name is "." or "/" and names nothing
    notRegular,     // a FIFO, a socket, a device, a folder: never opened
    cannotOpen,     // the loose file cannot be opened
    tooLarge,       // the loose file has 4 GiB or more
    archiveFull,    // the archive's data would pass 4 GiB
    diskFull,       // the archive's room could not be reserved
    readFailed,     // the loose file could not be read whole, or changed while it was read
    writeFailed,    // the archive could not be written
    outOfMemory,
    failedCheck,  // a check failed, and its own report said so
};

struct Addition {
    AddStatus status = AddStatus::added;
    int index = -1;  // the new record, when added
};

/// The reason a "not added" line gives for `status`; empty where no line is due (added, already
/// stored, unnamed, or told by a check's report).
const char* AddStatusText(AddStatus status);

/// Writes "<file>: not added, <reason>." to standard error, when `status` has a reason.
void ReportNotAdded(const char* fileName, AddStatus status);

}  // namespace GAME
