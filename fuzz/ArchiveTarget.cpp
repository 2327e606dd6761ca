#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <zlib.h>

#include "CurrentDirectory.h"
#include "Engine/Archive.h"
#include "Engine/ArchiveVerifier.h"
#include "FuzzTargets.h"
#include "Scratch.h"

namespace fuzz {
namespace {

void Require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz_archive: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

// The expanded bytes of record `index`, or "unreadable".
std::string Contents(GAME::Archive& archive, int index) {
    const GAME::Archive::FileEntry& entry = archive.GetFileEntry(index);
    std::string bytes(entry.expandedSize < (64u << 20) ? entry.expandedSize : (64u << 20), '\0');
    return archive.ReadFileData(index, bytes.data(), 0, static_cast<unsigned>(bytes.size())) ? bytes : "unreadable";
}

// A view of the one record of `name` gives what the full load gives for it: the same record and
// bytes, or no record; and it refuses whatever the full load refuses.
void CheckOneNameView(const std::string& path, GAME::Archive& full, bool fullOpened, const char* name) {
    GAME::Archive view;
    if (!view.OpenReadOne(path.c_str(), name)) return;
    Require(fullOpened, "a view opened an archive that a full load refuses");
    const int found = full.FindFile(name);
    Require(view.GetNumFiles() == (found >= 0 ? 1u : 0u), "a view and a full load disagree on a name");
    if (found < 0) return;
    Require(view.FindFile(name) == 0, "a view does not find its own record");
    const GAME::Archive::FileEntry& a = view.GetFileEntry(0);
    const GAME::Archive::FileEntry& b = full.GetFileEntry(found);
    Require(a.flags == b.flags && a.offset == b.offset && a.size == b.size && a.expandedSize == b.expandedSize &&
                a.checksum == b.checksum && a.fileTime == b.fileTime && a.numBlocks == b.numBlocks &&
                a.nameLength == b.nameLength && std::memcmp(a.name, b.name, a.nameLength) == 0,
            "a view's record differs from the full load's");
    for (unsigned int i = 0; i < a.numBlocks && a.blocks != nullptr && b.blocks != nullptr; ++i)
        Require(std::memcmp(&a.blocks[i], &b.blocks[i], sizeof a.blocks[i]) == 0, "a view's blocks differ");
    Require(Contents(view, 0) == Contents(full, found), "a view reads other bytes than the full load");
}

// The integrity test never passes what a reader cannot use: an archive it finds sound loads,
// and every file reads back with its record's checksum.
void CheckVerification(const std::string& path) {
    GAME::Archive inspected;
    if (!inspected.OpenInspect(path.c_str())) return;
    GAME::ArchiveVerifier verifier(inspected.GetFileHandle());
    if (verifier.CheckIndex()) verifier.CheckContents(2);
    const GAME::Verification& result = verifier.Result();
    if (result.index != GAME::IndexDamage::none || !result.damaged.empty()) return;
    GAME::Archive archive;
    Require(archive.OpenRead(path.c_str()), "verified sound, but the archive does not load");
    for (unsigned int i = 0; i < archive.GetNumFiles(); ++i) {
        const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
        if (!(entry.flags & GAME::Archive::fileFlagInUse) || entry.expandedSize > (64u << 20)) continue;
        std::vector<char> bytes(entry.expandedSize + 1);  // never empty: a null destination is refused
        Require(archive.ReadFileData(static_cast<int>(i), bytes.data(), 0, entry.expandedSize),
                "verified sound, but a file cannot be read");
        Require(adler32(1, reinterpret_cast<const Bytef*>(bytes.data()), entry.expandedSize) == entry.checksum,
                "verified sound, but a file's checksum differs");
    }
}

}  // namespace

void RunArchiveTarget(const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path& scratch = FreshScratch();
    const std::string path = (scratch / "input.arc").string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    {
        GAME::Archive archive;
        const bool opened = archive.OpenRead(path.c_str());
        // The view of one name, on the first and last names and on one that no record has.
        std::vector<std::string> names{"no/such/name"};
        for (unsigned i = 0; opened && i < archive.GetNumFiles(); ++i) {
            const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
            if (entry.name != nullptr && (names.size() < 3 || i + 1 == archive.GetNumFiles()))
                names.push_back(entry.name);
        }
        for (const std::string& name : names) CheckOneNameView(path, archive, opened, name.c_str());
        if (opened) {
            mem::vector<int> files;
            archive.FindMatchingFiles(files, "");
            for (unsigned i = 0; i < archive.GetNumFiles(); ++i) {
                const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
                if (entry.name != nullptr) archive.FindFile(entry.name);
                // Enough room for any file the index can describe in a small input.
                std::vector<char> contents(entry.expandedSize < (64u << 20) ? entry.expandedSize : (64u << 20));
                archive.ReadFileData(static_cast<int>(i), contents.data(), 0, static_cast<unsigned>(contents.size()));
            }
            // Extract from inside the scratch folder to a relative "out", so that the files land
            // in the scratch folder whatever the case of its path.
            const test::CurrentDirectory inScratch(scratch);
            archive.ExtractAllFiles("out");
        }
    }
    CheckVerification(path);
    GAME::Archive edit;
    if (edit.OpenEdit(path.c_str())) edit.Close(false);
    // Records loaded for edit point into the tables the archive loaded: removing one and
    // compacting must drop those references without freeing them.
    if (edit.OpenEdit(path.c_str())) {
        for (unsigned i = 0; i < edit.GetNumFiles(); ++i) {
            if (edit.GetFileEntry(static_cast<int>(i)).flags & GAME::Archive::fileFlagInUse) {
                edit.RemoveFile(static_cast<int>(i));
                break;
            }
        }
        edit.Compact();
        edit.Close(false);
    }
}

}  // namespace fuzz
