// The lines that tell how opening an archive went: what became of a journal found beside it, and
// why it did not open.
#pragma once

#include <string>

#include "Engine/OpenStatus.h"

namespace GAME {
class Archive;
}

namespace tool {

/// The line on standard error that tells what `result` means for the archive at `archivePath`,
/// when there is one to tell.
void ReportRecovery(const std::string& archivePath, const GAME::RecoveryResult& result);

/// Tells what the last open of `archive` at `archivePath` did with a journal, and, when it did not
/// open, why: "Archive file <path> is being edited by another process." when another process holds
/// it, "Failed to open archive file <path>." otherwise. Gives true when it opened.
bool ReportOpen(const char* archivePath, const GAME::Archive& archive);

}  // namespace tool
