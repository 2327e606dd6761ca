// libFuzzer entry for the database target.
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::PrepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::RunDatabaseTarget(data, size);
    return 0;
}
