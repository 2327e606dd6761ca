// Stopping a run cleanly on SIGINT, SIGTERM and SIGHUP (Ctrl+C, kill, a closed terminal) and on
// SIGPIPE (standard output piped into a reader that has gone, as in `brannock ... | head -1`).
#pragma once

namespace platform {

/// Installs handlers for the stop signals. A handler only records the signal; the work loops
/// look at StopSignal() between files and end their work there. A write to a closed pipe then
/// fails with EPIPE instead of ending the process. SIGXFSZ is ignored, so that a write past a
/// file-size limit fails with EFBIG and is handled like a full disk.
void InstallStopSignalHandlers();

/// The number of the first stop signal received since the handlers were installed, or 0. On
/// Windows, Ctrl+C counts as 2, Ctrl+Break as 21, a closed console as 1, and standard output
/// piped into a reader that has gone, seen as a failed write there, as 13.
int StopSignal();

}  // namespace platform
