// The fault-injection state; portable code.
#include "platform/FaultInjection.h"

namespace platform {
namespace {

constexpr int operationCount = 7;

std::uint64_t calls[operationCount];
int armedOperation = -1;
std::uint64_t armedCall = 0;
bool shortWrite = false;
bool delivered = false;

void Reset() {
    for (std::uint64_t& c : calls) c = 0;
    armedOperation = -1;
    armedCall = 0;
    shortWrite = false;
    delivered = false;
}

}  // namespace

namespace detail {

bool faultsArmed = false;

bool CountAndCheck(FileOperation operation) {
    const int index = static_cast<int>(operation);
    ++calls[index];
    if (index != armedOperation || calls[index] != armedCall) return false;
    delivered = true;
    return true;
}

bool ShortWriteArmed() { return shortWrite; }

}  // namespace detail

void ArmFault(FileOperation operation, std::uint64_t n, bool shortenWrite) {
    Reset();
    armedOperation = static_cast<int>(operation);
    armedCall = n;
    shortWrite = shortenWrite;
    detail::faultsArmed = true;
}

void CountFileCalls() {
    Reset();
    detail::faultsArmed = true;
}

void DisarmFaults() {
    detail::faultsArmed = false;
    Reset();
}

std::uint64_t Calls(FileOperation operation) { return calls[static_cast<int>(operation)]; }

bool FaultDelivered() { return delivered; }

}  // namespace platform
