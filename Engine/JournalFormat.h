// The bytes of a rollback journal, and the mark an edit in progress leaves in its archive.
//
// The journal, "<archive>-journal", all integers little-endian:
//   header    48 bytes: "ARCJ", version (2), the committed archive length (64-bit), the edit's
//             id (64-bit), a salt, the Adler-32 of the archive's first min(2048, committed
//             length) bytes as the edit found them, the Adler-32 of the 32 bytes before it,
//             then zeros
//   progress  two slots of 16 bytes, at 48 and 64: the journal offset up to which records are
//             durable (64-bit), a sequence number, and the Adler-32 of the salt and those 12
//             bytes. The valid slot with the higher sequence counts; each flush of the journal
//             is followed by a write of the other slot.
//   records   from 80, one after the other: the archive offset (64-bit), a length, the Adler-32
//             of the salt, those 12 bytes and the saved bytes, then the saved bytes
// Every record below the durable offset must be whole and sound; past it lies at most a torn
// tail, which counts as far as its records are whole and sound.
//
// The mark, 16 bytes in the header's unused bytes at offset 28, written (and made durable) before
// the edit changes anything else: the edit's id (64-bit, never 0), "EDIT", and the Adler-32 of
// those 12 bytes. The commit rewrites the header with the mark still in place, deletes the
// journal and only then clears the mark, so that a closed archive carries none: those bytes are
// zero. The id comes first so that a write of the mark that a power cut tore still shows it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace GAME {

constexpr std::uint32_t journalVersion = 2;
constexpr std::size_t journalHeaderSize = 48;
constexpr std::size_t progressSlotSize = 16;
constexpr std::size_t journalRecordsStart = journalHeaderSize + 2 * progressSlotSize;
constexpr std::size_t recordHeaderSize = 16;
// Saved bytes go in records of at most this many, so that memory stays small both when saving
// and when putting them back.
constexpr std::uint64_t largestRecord = 1u << 20;

constexpr std::uint64_t editMarkOffset = 28;
constexpr std::size_t editMarkSize = 16;
// The archive bytes whose sum the journal keeps: the header.
constexpr std::uint64_t archiveHeaderBytes = 2048;

void PutU32(unsigned char* at, std::uint32_t value);
void PutU64(unsigned char* at, std::uint64_t value);
std::uint32_t GetU32(const unsigned char* at);
std::uint64_t GetU64(const unsigned char* at);

/// Adler-32 of `length` bytes.
std::uint32_t Adler32(const void* bytes, std::uint64_t length);

struct JournalHeader {
    std::uint64_t committedLength = 0;
    std::uint64_t editId = 0;
    std::uint32_t salt = 0;
    std::uint32_t archiveHeaderSum = 0;
};

void EncodeJournalHeader(const JournalHeader& header, unsigned char (&bytes)[journalHeaderSize]);
/// False when the bytes are not a sound header of this version.
bool DecodeJournalHeader(const unsigned char* bytes, JournalHeader* header);

struct JournalProgress {
    std::uint64_t durableEnd = journalRecordsStart;
    std::uint32_t sequence = 0;
};

void EncodeProgress(const JournalProgress& progress, std::uint32_t salt, unsigned char (&bytes)[progressSlotSize]);
/// False when the slot does not hold.
bool DecodeProgress(const unsigned char* bytes, std::uint32_t salt, JournalProgress* progress);

/// The sum of a record: the salt, its 12 header bytes, then the saved bytes.
std::uint32_t RecordSum(std::uint32_t salt, const unsigned char* recordHeader, const unsigned char* bytes,
                        std::uint64_t length);

/// The 16 bytes of the mark of edit `editId`.
void EncodeEditMark(std::uint64_t editId, unsigned char (&bytes)[editMarkSize]);

/// The id in the mark place of an archive whose first `length` bytes are `header`, whether or
/// not the rest of the mark holds (a torn write of it keeps the id); 0 when there is none.
std::uint64_t MarkedEditId(const unsigned char* header, std::uint64_t length);

/// True when the mark place holds a whole, sound mark.
bool HasSoundMark(const unsigned char* header, std::uint64_t length);

/// The Adler-32 of the archive's first min(2048, `length`) bytes with the mark place read as
/// zeros: the same before an edit marks the header and after the mark is cleared or torn.
std::uint32_t ArchiveHeaderSum(const unsigned char* header, std::uint64_t length);

}  // namespace GAME
