// Journals beside the archive whose edit they belong to. The archive is always the one a real
// edit left behind when it was cut short; only the journal varies. What an open may do with it
// is worked out here from the journal's documented bytes, independently of the recovery code,
// and the files after the open must show exactly that.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ArchiveFixture.h"
#include "Engine/Archive.h"
#include "Engine/ArchiveJournal.h"
#include "Engine/ArchiveRecovery.h"
#include "Engine/JournalFormat.h"
#include "FuzzTargets.h"
#include "Scratch.h"
#include "platform/File.h"
#include "platform/UniqueFile.h"

namespace fuzz {
namespace {

// Every process gives the sample edit these, so that a journal written by one process belongs
// to the archive another one makes: the seed, and every input kept from a finding.
constexpr std::uint64_t sampleEditId = 0x314c4e524a5a5546ull;
constexpr std::uint32_t sampleSalt = 0x5eed5a17u;

// Images of more bytes than this are compared at their start and where the journal wrote.
constexpr std::uint64_t wholeCompareLimit = 16u << 20;
// A file system may refuse to make a file longer than this: a roll-back to such a length may
// stop halfway.
constexpr std::uint64_t refusableLength = 1ull << 30;

void Require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz_journal: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    Require(static_cast<bool>(out.flush()), "cannot write a scratch file");
}

// Overwrites archive bytes the way an edit does: saved first, then written through the handle.
void Overwrite(GAME::ArchiveJournal& journal, platform::FileHandle archive, std::uint64_t offset,
               const std::string& bytes) {
    Require(journal.Protect(offset, bytes.size()), "the sample edit cannot save bytes");
    Require(platform::SetFilePosition(archive, offset) && platform::WriteAll(archive, bytes.data(), bytes.size()),
            "the sample edit cannot write");
}

// Gives the journal and the mark the fixed id and salt, with every sum made again.
void FixIdentity(InterruptedEdit& edit) {
    auto* bytes = reinterpret_cast<unsigned char*>(edit.journal.data());
    GAME::JournalHeader header;
    Require(edit.journal.size() >= GAME::journalRecordsStart && GAME::DecodeJournalHeader(bytes, &header),
            "the sample journal has no sound header");
    const std::uint32_t oldSalt = header.salt;
    header.editId = sampleEditId;
    header.salt = sampleSalt;
    GAME::EncodeJournalHeader(header, *reinterpret_cast<unsigned char(*)[GAME::journalHeaderSize]>(bytes));
    for (std::size_t at = GAME::journalHeaderSize; at < GAME::journalRecordsStart; at += GAME::progressSlotSize) {
        GAME::JournalProgress progress;
        Require(GAME::DecodeProgress(bytes + at, oldSalt, &progress), "a sample progress slot does not hold");
        GAME::EncodeProgress(progress, sampleSalt,
                             *reinterpret_cast<unsigned char(*)[GAME::progressSlotSize]>(bytes + at));
    }
    for (std::size_t at = GAME::journalRecordsStart; at < edit.journal.size();) {
        const std::uint32_t length = GAME::GetU32(bytes + at + 8);
        GAME::PutU32(bytes + at + 12,
                     GAME::RecordSum(sampleSalt, bytes + at, bytes + at + GAME::recordHeaderSize, length));
        at += GAME::recordHeaderSize + length;
    }
    unsigned char mark[GAME::editMarkSize];
    GAME::EncodeEditMark(sampleEditId, mark);
    Require(edit.interrupted.size() >= GAME::editMarkOffset + GAME::editMarkSize, "the sample archive is too short");
    std::memcpy(edit.interrupted.data() + GAME::editMarkOffset, mark, sizeof mark);
}

InterruptedEdit MakeInterruptedEdit() {
    InterruptedEdit edit;
    edit.files = {
        {"docs/readme.txt",
         std::string(40, '=') + " a stored file long enough to be cut in the middle " + std::string(500, 'r')},
        {"data/packed.bin", test::CompressibleBytes(4000)},
        {"data/noise.bin", test::RandomBytes(700, 7)},
        {"empty", ""},
        {"tail.txt", "the last file before the index"},
    };
    test::ArchiveFixture fixture;
    fixture.AddStored(edit.files[0].first, edit.files[0].second);
    fixture.AddFree(64);
    fixture.AddCompressed(edit.files[1].first, edit.files[1].second);
    fixture.AddCompressed(edit.files[2].first, edit.files[2].second);
    fixture.AddStored(edit.files[3].first, edit.files[3].second);
    fixture.AddStored(edit.files[4].first, edit.files[4].second);
    edit.before = fixture.Bytes();

    const std::filesystem::path folder = ProcessScratchFile("sample-edit");
    std::filesystem::create_directories(folder);
    const std::filesystem::path path = folder / "sample.arc";
    WriteFile(path, edit.before);
    {
        const platform::UniqueFile archive(platform::OpenFileForEdit(path.string().c_str()));
        Require(static_cast<bool>(archive), "cannot open the sample archive");
        const std::uint64_t length = edit.before.size();
        GAME::ArchiveJournal journal(path.string(), archive.Get(), length, {{0, length}});
        // The first write saves the header whole; after it, each range not yet saved becomes a
        // record of its own, durable before the write: file data, the index, header fields beside
        // the mark (saved already), more file data, and a run from the index on past the end.
        Overwrite(journal, archive.Get(), 2048 + 40, std::string(300, 'x'));
        Overwrite(journal, archive.Get(), length - 100, std::string(100, '\xee'));
        Overwrite(journal, archive.Get(), 8, std::string(16, '\x7f'));
        Overwrite(journal, archive.Get(), 2048 + 1000, test::RandomBytes(200, 3));
        Overwrite(journal, archive.Get(), length - 150, std::string(3000, 'y'));
        // Gone without a commit, as a killed edit goes.
    }
    edit.interrupted = ReadFile(path);
    edit.journal = ReadFile(GAME::JournalPath(path.string()));
    std::filesystem::remove_all(folder);
    FixIdentity(edit);
    return edit;
}

// ---- What the journal's bytes call for --------------------------------------------------------

std::uint32_t U32(const unsigned char* at) {
    return std::uint32_t(at[0]) | std::uint32_t(at[1]) << 8 | std::uint32_t(at[2]) << 16 | std::uint32_t(at[3]) << 24;
}

std::uint64_t U64(const unsigned char* at) { return U32(at) | std::uint64_t(U32(at + 4)) << 32; }

class Adler {
public:
    Adler& Add(const unsigned char* bytes, std::uint64_t count) {
        for (std::uint64_t i = 0; i < count; ++i) {
            a = (a + bytes[i]) % 65521;
            b = (b + a) % 65521;
        }
        return *this;
    }
    Adler& AddSalt(std::uint32_t salt) {
        const unsigned char bytes[4] = {static_cast<unsigned char>(salt), static_cast<unsigned char>(salt >> 8),
                                        static_cast<unsigned char>(salt >> 16), static_cast<unsigned char>(salt >> 24)};
        return Add(bytes, 4);
    }
    std::uint32_t Value() const { return b << 16 | a; }

private:
    std::uint32_t a = 1, b = 0;
};

// The sum a journal keeps of an archive's header: its first 2048 bytes, the mark place as zeros.
std::uint32_t HeaderSum(const std::string& header, std::uint64_t length) {
    std::string copy = header.substr(0, std::min<std::uint64_t>(length, 2048));
    for (std::size_t at = 28; at < 44 && at < copy.size(); ++at) copy[at] = '\0';
    return Adler().Add(reinterpret_cast<const unsigned char*>(copy.data()), copy.size()).Value();
}

struct Patch {
    std::uint64_t offset;
    std::string bytes;
};

// A file's expected bytes: `base` cut or padded with zeros to `length`, then the patches in order.
struct Image {
    std::string base;
    std::uint64_t length = 0;
    std::vector<Patch> patches;

    // Only for images of at most wholeCompareLimit bytes.
    std::string Whole() const {
        std::string bytes = base.substr(0, std::min<std::uint64_t>(length, base.size()));
        bytes.resize(length, '\0');
        for (const Patch& patch : patches) bytes.replace(patch.offset, patch.bytes.size(), patch.bytes);
        return bytes;
    }

    // The first min(length, 2048) bytes.
    std::string Header() const {
        const std::uint64_t count = std::min<std::uint64_t>(length, 2048);
        std::string bytes = base.substr(0, std::min<std::uint64_t>(count, base.size()));
        bytes.resize(count, '\0');
        for (const Patch& patch : patches)
            for (std::uint64_t i = 0; i < patch.bytes.size() && patch.offset + i < count; ++i)
                bytes[patch.offset + i] = patch.bytes[i];
        return bytes;
    }
};

struct Prediction {
    enum class Kind {
        refused,   // both files stay as they are
        harmless,  // the journal goes, the archive stays as it is
        applied,   // the archive becomes `result`; the journal goes when it opens
    } kind = Kind::refused;
    Image result;
    bool headerSumHolds = false;  // the result's header has the sum the journal recorded
};

// What the journal `journal` calls for beside `archive`, which carries the sound mark of edit
// `markId`.
Prediction Predict(const std::string& archive, const std::string& journal, std::uint64_t markId) {
    Prediction prediction;
    const auto* bytes = reinterpret_cast<const unsigned char*>(journal.data());
    const std::uint64_t size = journal.size();
    // Without a sound header, a journal beside a marked archive cannot be used.
    if (size < 48 || std::memcmp(bytes, "ARCJ", 4) != 0 || U32(bytes + 4) != 2 ||
        U32(bytes + 32) != Adler().Add(bytes, 32).Value())
        return prediction;
    const std::uint64_t committed = U64(bytes + 8);
    const std::uint64_t editId = U64(bytes + 16);
    const std::uint32_t salt = U32(bytes + 24);
    const std::uint32_t headerSum = U32(bytes + 28);
    if (editId != markId) {
        // Another edit's journal: harmless only if that edit found the archive exactly as it is.
        if (archive.size() == committed && HeaderSum(archive, archive.size()) == headerSum)
            prediction.kind = Prediction::Kind::harmless;
        return prediction;
    }
    if (size < 80) return prediction;
    // The progress slot with the higher sequence among those that hold.
    bool holds[2];
    std::uint64_t durableEnd[2];
    std::uint32_t sequence[2];
    for (int slot = 0; slot < 2; ++slot) {
        const unsigned char* at = bytes + 48 + 16 * slot;
        holds[slot] = U32(at + 12) == Adler().AddSalt(salt).Add(at, 12).Value();
        durableEnd[slot] = U64(at);
        sequence[slot] = U32(at + 8);
    }
    if (!holds[0] && !holds[1]) return prediction;
    const int latest = !holds[1] || (holds[0] && sequence[0] > sequence[1]) ? 0 : 1;

    prediction.result.base = archive;
    prediction.result.length = committed;
    std::uint64_t at = 80;
    while (size - at >= 16) {
        const std::uint64_t offset = U64(bytes + at);
        const std::uint32_t length = U32(bytes + at + 8);
        if (length == 0 || length > (1u << 20) || length > size - at - 16 || offset > committed ||
            length > committed - offset)
            break;
        if (U32(bytes + at + 12) != Adler().AddSalt(salt).Add(bytes + at, 12).Add(bytes + at + 16, length).Value())
            break;
        prediction.result.patches.push_back({offset, journal.substr(at + 16, length)});
        at += 16 + length;
    }
    // Every record the journal calls durable must be there.
    if (at < durableEnd[latest]) {
        prediction.result = Image();
        return prediction;
    }
    prediction.kind = Prediction::Kind::applied;
    prediction.headerSumHolds = HeaderSum(prediction.result.Header(), committed) == headerSum;
    return prediction;
}

// ---- What the files show ---------------------------------------------------------------------

bool Matches(const std::filesystem::path& path, const Image& image) {
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(path, error);
    if (error || size != image.length) return false;
    if (image.length <= wholeCompareLimit) return ReadFile(path) == image.Whole();
    // A long file is mostly a hole: its start, and each patch where no later one covers it.
    std::ifstream in(path, std::ios::binary);
    auto readAt = [&in](std::uint64_t offset, std::size_t count) {
        std::string bytes(count, '\0');
        in.seekg(static_cast<std::streamoff>(offset));
        in.read(bytes.data(), static_cast<std::streamsize>(count));
        return in ? bytes : std::string();
    };
    Image start = image;
    start.length = std::min<std::uint64_t>(image.length, image.base.size());
    start.patches.clear();
    for (const Patch& patch : image.patches)
        if (patch.offset < start.length)
            start.patches.push_back({patch.offset, patch.bytes.substr(0, start.length - patch.offset)});
    if (readAt(0, start.length) != start.Whole()) return false;
    for (std::size_t i = 0; i < image.patches.size(); ++i) {
        const Patch& patch = image.patches[i];
        const std::string found = readAt(patch.offset, patch.bytes.size());
        if (found.size() != patch.bytes.size()) return false;
        for (std::size_t at = 0; at < found.size(); ++at) {
            const std::uint64_t offset = patch.offset + at;
            const bool later = std::any_of(
                image.patches.begin() + i + 1, image.patches.end(),
                [offset](const Patch& p) { return p.offset <= offset && offset < p.offset + p.bytes.size(); });
            if (!later && found[at] != patch.bytes[at]) return false;
        }
    }
    return true;
}

// Every file of `before` reads back from the open archive, and no other.
bool ReadsBack(GAME::Archive& archive, const InterruptedEdit& edit) {
    std::size_t inUse = 0;
    for (unsigned i = 0; i < archive.GetNumFiles(); ++i) {
        const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
        if (!(entry.flags & GAME::Archive::fileFlagInUse)) continue;
        ++inUse;
        const auto file = std::find_if(edit.files.begin(), edit.files.end(), [&entry](const auto& named) {
            return entry.name != nullptr && named.first == entry.name;
        });
        if (file == edit.files.end() || entry.expandedSize != file->second.size()) return false;
        std::string contents(entry.expandedSize + 1, '\0');
        if (!archive.ReadFileData(static_cast<int>(i), contents.data(), 0, entry.expandedSize)) return false;
        contents.pop_back();
        if (contents != file->second || archive.FindFile(entry.name) != static_cast<int>(i)) return false;
    }
    return inUse == edit.files.size();
}

// What the interrupted archive does when it is opened with no journal beside it.
struct Sample {
    InterruptedEdit edit;
    bool opensForRead = false;
    bool opensForEdit = false;
};

bool OpensAlone(const std::filesystem::path& folder, const std::string& bytes, bool forEdit) {
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "alone.arc").string();
    WriteFile(path, bytes);
    GAME::Archive archive;
    return forEdit ? archive.OpenEdit(path.c_str()) : archive.OpenRead(path.c_str());
}

const Sample& TheSample() {
    static const Sample sample = [] {
        Sample made;
        made.edit = SampleInterruptedEdit();
        const std::filesystem::path folder = ProcessScratchFile("sample-opens");
        made.opensForRead = OpensAlone(folder, made.edit.interrupted, false);
        made.opensForEdit = OpensAlone(folder, made.edit.interrupted, true);
        std::filesystem::remove_all(folder);
        // The journal as the edit left it must give the archive back: else the target tests nothing.
        const Prediction real = Predict(made.edit.interrupted, made.edit.journal, sampleEditId);
        Require(real.kind == Prediction::Kind::applied && real.headerSumHolds &&
                    real.result.length == made.edit.before.size() && real.result.Whole() == made.edit.before,
                "the sample journal does not restore the archive");
        return made;
    }();
    return sample;
}

// One open of the interrupted archive with `journal` beside it, in `folder`.
void OpenOnce(const std::filesystem::path& folder, const std::string& journal, const Prediction& prediction,
              bool forEdit) {
    const Sample& sample = TheSample();
    const InterruptedEdit& edit = sample.edit;
    std::filesystem::create_directories(folder);
    const std::filesystem::path path = folder / "a.arc";
    const std::filesystem::path journalPath = GAME::JournalPath(path.string());
    WriteFile(path, edit.interrupted);
    WriteFile(journalPath, journal);

    GAME::Archive archive;
    const bool opened = forEdit ? archive.OpenEdit(path.string().c_str()) : archive.OpenRead(path.string().c_str());
    const bool journalGone = !std::filesystem::exists(journalPath);
    const bool journalKept = !journalGone && ReadFile(journalPath) == journal;
    Image untouched;
    untouched.base = edit.interrupted;
    untouched.length = edit.interrupted.size();

    bool restoresBefore = false;
    switch (prediction.kind) {
        case Prediction::Kind::refused:
            Require(!opened, "a refused journal let the archive open");
            Require(journalKept, "a refused journal was changed");
            Require(Matches(path, untouched), "a refused journal changed the archive");
            break;
        case Prediction::Kind::harmless:
            Require(journalGone, "a harmless journal was kept");
            Require(Matches(path, untouched), "a harmless journal changed the archive");
            Require(opened == (forEdit ? sample.opensForEdit : sample.opensForRead),
                    "deleting a harmless journal changed whether the archive opens");
            break;
        case Prediction::Kind::applied: {
            const Image& result = prediction.result;
            const bool small = result.length <= wholeCompareLimit;
            restoresBefore = result.length == edit.before.size() && result.Whole() == edit.before;
            if (journalGone) {
                Require(prediction.headerSumHolds,
                        "a journal went although the rolled-back header is not the one it recorded");
                Require(Matches(path, result), "the rolled-back archive is not what the journal holds");
                // The roll-back checked that the result opens; an edit loads it again, as an edit.
                Require(opened || (forEdit && !restoresBefore), "a rolled-back archive does not open");
            } else {
                Require(!opened, "an archive opened while its journal stayed");
                Require(journalKept, "a journal that stayed was changed");
                // A journal that restores the archive may still stay: when the header it gives back
                // is not the one whose sum it recorded, which a roll-back must not trust.
                Require(!restoresBefore || !prediction.headerSumHolds,
                        "a journal that restores the archive was not applied");
                if (Matches(path, result)) {
                    // Applied, but the result is refused: its header or its index does not hold.
                    if (prediction.headerSumHolds && small)
                        Require(!OpensAlone(folder / "probe", result.Whole(), false),
                                "a rolled-back archive that opens kept its journal");
                } else {
                    // Only a file system that will not make the file this long stops a roll-back halfway.
                    Require(result.length > refusableLength, "a roll-back stopped halfway");
                }
            }
            break;
        }
    }
    if (opened && restoresBefore) Require(ReadsBack(archive, edit), "a rolled-back archive does not read back");
    if (!forEdit || !opened) return;
    archive.Close(false);
    Require(!std::filesystem::exists(journalPath), "closing an unchanged edit left a journal");
    if (restoresBefore) {
        GAME::Archive again;
        Require(again.OpenRead(path.string().c_str()) && ReadsBack(again, edit),
                "a rolled-back archive does not read back after an edit closed it");
    }
}

}  // namespace

const InterruptedEdit& SampleInterruptedEdit() {
    static const InterruptedEdit edit = MakeInterruptedEdit();
    return edit;
}

void RunJournalTarget(const std::uint8_t* data, std::size_t size) {
    const std::string journal(reinterpret_cast<const char*>(data), size);
    const Prediction prediction = Predict(TheSample().edit.interrupted, journal, sampleEditId);
    const std::filesystem::path& scratch = FreshScratch();
    OpenOnce(scratch / "read", journal, prediction, false);
    OpenOnce(scratch / "edit", journal, prediction, true);
}

}  // namespace fuzz
