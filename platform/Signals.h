// Stopping a run cleanly on SIGINT, SIGTERM and SIGHUP (Ctrl+C, kill, a closed terminal).
#pragma once

namespace platform {

/// Installs handlers for the stop signals. A handler only records the signal; the work loops
/// look at StopSignal() between files and end their work there.
void InstallStopSignalHandlers();

/// The number of the first stop signal received since the handlers were installed, or 0.
int StopSignal();

}  // namespace platform
