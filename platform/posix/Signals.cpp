// Stop-signal handlers over sigaction. Only generic POSIX code here.
#include "platform/Signals.h"

#include <csignal>
#include <initializer_list>

namespace platform {
namespace {

volatile std::sig_atomic_t stopSignal = 0;

void RecordStopSignal(int signal) {
    if (stopSignal == 0) stopSignal = signal;
}

}  // namespace

void InstallStopSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = RecordStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(signal, &action, nullptr);
    // By default a write past the file-size limit ends the process; ignored, the write fails
    // with EFBIG and the archive refuses the addition as on a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
}

int StopSignal() { return stopSignal; }

}  // namespace platform
