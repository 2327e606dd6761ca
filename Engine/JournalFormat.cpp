#include "Engine/JournalFormat.h"

#include <cstring>

#include <zlib.h>

namespace GAME {
namespace {

constexpr char journalMagic[4] = {'A', 'R', 'C', 'J'};
constexpr char editingTag[4] = {'E', 'D', 'I', 'T'};

std::uint32_t SaltedSum(std::uint32_t salt, const unsigned char* bytes, std::size_t length) {
    unsigned char saltBytes[4];
    PutU32(saltBytes, salt);
    uLong sum = adler32(0, nullptr, 0);
    sum = adler32(sum, saltBytes, 4);
    return static_cast<std::uint32_t>(adler32(sum, bytes, static_cast<uInt>(length)));
}

}  // namespace

void PutU32(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

void PutU64(unsigned char* at, std::uint64_t value) {
    PutU32(at, static_cast<std::uint32_t>(value));
    PutU32(at + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint32_t GetU32(const unsigned char* at) {
    return std::uint32_t(at[0]) | std::uint32_t(at[1]) << 8 | std::uint32_t(at[2]) << 16 | std::uint32_t(at[3]) << 24;
}

std::uint64_t GetU64(const unsigned char* at) { return GetU32(at) | std::uint64_t(GetU32(at + 4)) << 32; }

std::uint32_t Adler32(const void* bytes, std::uint64_t length) {
    return static_cast<std::uint32_t>(
        adler32_z(adler32(0, nullptr, 0), static_cast<const Bytef*>(bytes), static_cast<z_size_t>(length)));
}

void EncodeJournalHeader(const JournalHeader& header, unsigned char (&bytes)[journalHeaderSize]) {
    std::memset(bytes, 0, sizeof bytes);
    std::memcpy(bytes, journalMagic, 4);
    PutU32(bytes + 4, journalVersion);
    PutU64(bytes + 8, header.committedLength);
    PutU64(bytes + 16, header.editId);
    PutU32(bytes + 24, header.salt);
    PutU32(bytes + 28, header.archiveHeaderSum);
    PutU32(bytes + 32, Adler32(bytes, 32));
}

bool DecodeJournalHeader(const unsigned char* bytes, JournalHeader* header) {
    if (std::memcmp(bytes, journalMagic, 4) != 0 || GetU32(bytes + 4) != journalVersion ||
        GetU32(bytes + 32) != Adler32(bytes, 32))
        return false;
    header->committedLength = GetU64(bytes + 8);
    header->editId = GetU64(bytes + 16);
    header->salt = GetU32(bytes + 24);
    header->archiveHeaderSum = GetU32(bytes + 28);
    return true;
}

void EncodeProgress(const JournalProgress& progress, std::uint32_t salt, unsigned char (&bytes)[progressSlotSize]) {
    PutU64(bytes, progress.durableEnd);
    PutU32(bytes + 8, progress.sequence);
    PutU32(bytes + 12, SaltedSum(salt, bytes, 12));
}

bool DecodeProgress(const unsigned char* bytes, std::uint32_t salt, JournalProgress* progress) {
    if (GetU32(bytes + 12) != SaltedSum(salt, bytes, 12)) return false;
    progress->durableEnd = GetU64(bytes);
    progress->sequence = GetU32(bytes + 8);
    return true;
}

std::uint32_t RecordSum(std::uint32_t salt, const unsigned char* recordHeader, const unsigned char* bytes,
                        std::uint64_t length) {
    uLong sum = SaltedSum(salt, recordHeader, 12);
    return static_cast<std::uint32_t>(adler32_z(sum, bytes, static_cast<z_size_t>(length)));
}

void EncodeEditMark(std::uint64_t editId, unsigned char (&bytes)[editMarkSize]) {
    PutU64(bytes, editId);
    std::memcpy(bytes + 8, editingTag, 4);
    PutU32(bytes + 12, Adler32(bytes, 12));
}

std::uint64_t MarkedEditId(const unsigned char* header, std::uint64_t length) {
    return length >= editMarkOffset + 8 ? GetU64(header + editMarkOffset) : 0;
}

bool HasSoundMark(const unsigned char* header, std::uint64_t length) {
    if (length < editMarkOffset + editMarkSize) return false;
    const unsigned char* bytes = header + editMarkOffset;
    return std::memcmp(bytes + 8, editingTag, 4) == 0 && GetU32(bytes + 12) == Adler32(bytes, 12);
}

std::uint32_t ArchiveHeaderSum(const unsigned char* header, std::uint64_t length) {
    unsigned char copy[archiveHeaderBytes] = {};
    const std::uint64_t kept = length < archiveHeaderBytes ? length : archiveHeaderBytes;
    std::memcpy(copy, header, kept);
    for (std::uint64_t at = editMarkOffset; at < editMarkOffset + editMarkSize && at < kept; ++at) copy[at] = 0;
    return Adler32(copy, kept);
}

}  // namespace GAME
