// System calls made again when a signal broke them off (EINTR). The stop signals are caught by
// a handler that only records them (platform/Signals.h): a call they break off has not failed.
#pragma once

#include <cerrno>

#include "platform/Signals.h"

namespace platform::posix {

/// Makes `call`, a system call that gives -1 and sets errno when it fails, again for as long as a
/// signal breaks it off. Gives its last result.
template <typename Call>
auto RetryOnInterrupt(Call call) {
    auto result = call();
    while (result == -1 && errno == EINTR) result = call();
    return result;
}

/// The same, but a call broken off by a signal that asks the run to stop is not made again: it
/// fails with EINTR, so that a call that could wait long (an open) does not hold the run.
template <typename Call>
auto RetryOnInterruptUnlessStopping(Call call) {
    auto result = call();
    while (result == -1 && errno == EINTR && StopSignal() == 0) result = call();
    return result;
}

/// For a call that gives its error number instead of setting errno, and 0 when it succeeds
/// (posix_fallocate): made again for as long as it gives EINTR.
template <typename Call>
auto RetryOnReturnedInterrupt(Call call) {
    auto result = call();
    while (result == EINTR) result = call();
    return result;
}

}  // namespace platform::posix
