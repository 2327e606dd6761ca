// How an open of an archive went, and what it did with a journal it found beside the archive.
// The open calls return these as values; the program that made the call decides what to tell.
#pragma once

namespace GAME {

/// The outcome of an open.
enum class OpenStatus {
    opened,      // open, as the file was
    recovered,   // open, after an interrupted edit was rolled back (GetRecovery tells of it)
    notFound,    // the path names nothing
    readOnly,    // asked for writing, the file or its volume may only be read
    busy,        // another process holds the lock: an edit, or readers beside an edit
    cannotOpen,  // the file cannot be opened for another reason; the last-error value tells why
    journal,     // a journal beside it could not be dealt with (GetRecovery tells why)
    damaged,     // not a sound archive (an assertion report named the failed check)
};

/// What a journal beside an archive is.
enum class JournalFinding {
    none,         // no journal
    harmless,     // a journal whose edit changed nothing, or one cut short before it saved
                  // anything: it may be deleted, and the archive read as it is
    interrupted,  // the archive's own: it must be rolled back before it is read
    foreign,      // a journal that is not the one of the archive beside it
    damaged,      // the archive's own, but not whole or not sound: it cannot be rolled back
    notRegular,   // a link, a folder or another kind of file in the journal's place
    unreadable,   // a journal that cannot be read; the error value tells why
};

/// What dealing with the journal came to.
enum class Recovery {
    nothing,      // no journal, or a harmless one, deleted
    rolledBack,   // the archive holds its state before the interrupted edit again; journal deleted
    refused,      // a journal that must not be used (the finding tells which): both left untouched
    failed,       // putting the bytes back or deleting the journal failed; the error value tells
                  // why. Doing it again finishes the work
    doesNotOpen,  // rolled back, but the result does not open as an archive; the journal is kept
    leftAlone,    // an open that changes nothing found a journal that is not harmless (the finding
                  // tells which) and left it and the archive as they are
};

struct RecoveryResult {
    Recovery outcome = Recovery::nothing;
    JournalFinding finding = JournalFinding::none;
    int error = 0;

    /// True when the archive may be used after it.
    bool Usable() const {
        return outcome == Recovery::nothing || outcome == Recovery::rolledBack || outcome == Recovery::leftAlone;
    }
};

}  // namespace GAME
