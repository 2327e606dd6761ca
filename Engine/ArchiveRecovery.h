// What an open does with a journal it finds beside an archive: nothing is applied unless it is
// the journal of this very archive's interrupted edit, whole and sound.
//
// An edit marks the archive's header with its id before it changes anything else, and its
// journal records that id, the archive's committed length and the sum of its committed header.
// A journal whose id the archive carries is the archive's own: it is checked record by record
// before the first byte is put back, and deleted only once the archive opens again. A journal
// beside an archive without its id either belongs to an edit that changed nothing yet (the
// archive's length and header are still those it recorded), and goes, or to another archive
// (a backup copied over this one, a journal brought from elsewhere), and is refused: both files
// are then left as they are.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Engine/OpenStatus.h"
#include "platform/FileHandle.h"

namespace GAME {

/// The journal of the archive at `archivePath`.
std::string JournalPath(const std::string& archivePath);

/// Looks at the journal beside the archive open as `archive` (read access is enough) and tells
/// what it is. Changes nothing. `*error` gets the last-error value behind `unreadable`.
JournalFinding InspectJournal(const std::string& archivePath, platform::FileHandle archive, int* error);

/// Deals with the journal beside the archive: rolls an interrupted edit back and then deletes
/// the journal, deletes a harmless one, refuses the others. `archive` is open for reading and
/// writing and holds the exclusive lock. `opens` tells whether the rolled-back file opens as an
/// archive; the journal goes only then. Memory stays small and time linear whatever the
/// journal's size. Doing it again after it was itself interrupted gives the same result.
RecoveryResult RecoverArchive(const std::string& archivePath, platform::FileHandle archive,
                              const std::function<bool(platform::FileHandle)>& opens);

/// Deletes the journal at `journalPath` and makes its folder durable. True when none is left.
bool DeleteJournal(const std::string& journalPath);

}  // namespace GAME
