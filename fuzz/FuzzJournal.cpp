// libFuzzer entry for the journal target.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Engine/JournalFormat.h"
#include "FuzzTargets.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace {

// The Adler-32 of the salt and then `count` bytes, as the progress slots and records keep it.
std::uint32_t SaltedSum(std::uint32_t salt, const std::uint8_t* bytes, std::size_t count) {
    std::vector<unsigned char> salted(4 + count);
    GAME::PutU32(salted.data(), salt);
    if (count != 0) std::memcpy(salted.data() + 4, bytes, count);
    return GAME::Adler32(salted.data(), salted.size());
}

// Makes the sums of the header and the progress slots, or of the records, hold again.
void Reseal(std::uint8_t* data, std::size_t size, bool header, bool records) {
    if (size < GAME::journalHeaderSize) return;
    const std::uint32_t salt = GAME::GetU32(data + 24);
    if (header) {
        GAME::PutU32(data + 32, GAME::Adler32(data, 32));
        for (std::size_t at = GAME::journalHeaderSize;
             at + GAME::progressSlotSize <= size && at < GAME::journalRecordsStart; at += GAME::progressSlotSize)
            GAME::PutU32(data + at + 12, SaltedSum(salt, data + at, 12));
    }
    if (!records) return;
    for (std::size_t at = GAME::journalRecordsStart; at + GAME::recordHeaderSize <= size;) {
        const std::uint32_t length = GAME::GetU32(data + at + 8);
        if (length == 0 || length > size - at - GAME::recordHeaderSize) break;
        GAME::PutU32(data + at + 12, GAME::RecordSum(salt, data + at, data + at + GAME::recordHeaderSize, length));
        at += GAME::recordHeaderSize + length;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::PrepareProcess();
    return 0;
}

// Every part of a journal carries a sum, and a mutation nearly always breaks one: three mutants
// in eight get their sums made again (all, the header's or the records'), so that lengths,
// offsets, ids and sequences reach the checks behind them. One in eight becomes the journal of
// another edit that found the archive as it is now, which an open deletes: three fields and a
// sum that no mutation finds by chance.
extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, maxSize);
    std::minstd_rand random(seed);
    const unsigned choice = random() % 8;
    if (choice == 3 && size >= GAME::journalHeaderSize) {
        const std::string& archive = fuzz::SampleInterruptedEdit().interrupted;
        GAME::PutU64(data + 8, archive.size());
        GAME::PutU64(data + 16, (std::uint64_t(random()) << 32) ^ random());
        GAME::PutU32(data + 28,
                     GAME::ArchiveHeaderSum(reinterpret_cast<const unsigned char*>(archive.data()), archive.size()));
        Reseal(data, size, true, false);
    } else if (choice < 3) {
        Reseal(data, size, choice != 1, choice != 2);
    }
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::RunJournalTarget(data, size);
    return 0;
}
