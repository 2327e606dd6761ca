// The command that tests an archive's integrity: -verify.
#pragma once

namespace GAME {
class Archive;
}

namespace tool {

/// Checks the archive open as `archive` (Archive::OpenInspect) at `archivePath`: its index and
/// every file's bytes against its checksum, on every core, with a progress line at a terminal.
/// Each damaged file has a line on standard error that names it and what is wrong; one summary
/// line on standard output ends the run. Gives true when nothing is damaged.
bool VerifyArchive(GAME::Archive& archive, const char* archivePath);

}  // namespace tool
