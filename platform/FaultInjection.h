// A seam for tests: make the n-th read, write, seek or truncate of the file layer fail, or a
// write come up short, to prove that every failure path keeps the archive whole. Nothing
// outside tests arms it; while it is disarmed the file calls cost one flag test more.
#pragma once

#include <cstdint>

namespace platform {

enum class FileOperation {
    read,      // ReadFile
    write,     // WriteFile
    seek,      // SetFilePosition
    truncate,  // SetEndOfFile
    reserve,   // ReserveFileSpace
    flush,     // FlushFile
    remove,    // DeleteFile
};

/// From now on, counts the calls of `operation` and fails the `n`-th one (1 for the next)
/// with an I/O error. With `shortWrite`, that write first writes half of its bytes.
void ArmFault(FileOperation operation, std::uint64_t n, bool shortWrite = false);

/// Counts calls of every operation from now on without failing any; Calls() then gives them.
void CountFileCalls();

/// Stops failing and counting.
void DisarmFaults();

/// Calls of `operation` counted since ArmFault or CountFileCalls.
std::uint64_t Calls(FileOperation operation);

/// True once the armed fault has been delivered.
bool FaultDelivered();

namespace detail {
extern bool faultsArmed;
/// Counts one call of `operation`; true when it is the one to fail.
bool CountAndCheck(FileOperation operation);
bool ShortWriteArmed();
}  // namespace detail

/// For the file layer: true when this call of `operation` must fail.
inline bool InjectFault(FileOperation operation) { return detail::faultsArmed && detail::CountAndCheck(operation); }

}  // namespace platform
