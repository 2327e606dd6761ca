// A scratch folder made the current directory, with an archive in it to edit and loose files
// to add by their relative names.
#pragma once

#include <map>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ArchiveFixture.h"
#include "Engine/Archive.h"
#include "TestSupport.h"

namespace test {

/// Every file of an open archive and its contents, read through it.
inline std::map<std::string, std::string> FilesOf(GAME::Archive& archive) {
    std::map<std::string, std::string> files;
    for (unsigned i = 0; i < archive.GetNumFiles(); ++i) {
        const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
        if (entry.name == nullptr) continue;
        std::string bytes(entry.expandedSize, '\0');
        EXPECT_TRUE(archive.ReadFileData(static_cast<int>(i), bytes.data(), 0, entry.expandedSize)) << entry.name;
        files[entry.name] = bytes;
    }
    return files;
}

class EditFixture : public testing::Test {
protected:
    EditFixture() : here(dir.Path()), archive(std::make_unique<GAME::Archive>()) {}

    /// Writes a loose file under the current directory.
    void Loose(const std::string& name, const std::string& contents) { WriteWholeFile(name, contents); }

    /// Opens "a.arc" for edit on a fresh archive object.
    void OpenEdit() {
        archive = std::make_unique<GAME::Archive>();
        ASSERT_TRUE(archive->OpenEdit("a.arc"));
    }

    /// Closes the archive and opens it again read-only.
    void CloseAndRead() {
        archive->Close(false);
        ASSERT_FALSE(archive->HasWriteFailed());
        archive = std::make_unique<GAME::Archive>();
        ASSERT_TRUE(archive->OpenRead("a.arc"));
    }

    /// The contents of file `index`, read through the archive.
    std::string Contents(int index) {
        std::string out(archive->GetFileEntry(index).expandedSize, '\0');
        EXPECT_TRUE(archive->ReadFileData(index, out.data(), 0, static_cast<unsigned>(out.size())));
        return out;
    }

    const GAME::Archive::FileEntry& Entry(int index) { return archive->GetFileEntry(index); }

    /// The archive the failure tests start from: two stored files, a hole, a compressed file of
    /// two blocks and another hole. Gives its bytes and puts its files in `contents`; also writes
    /// the loose files new/stored.txt and new/packed.bin to add to it.
    std::string MixedArchive(std::map<std::string, std::string>& contents) {
        contents["keep.txt"] = "kept across every edit";
        contents["gone.txt"] = std::string(3000, 'g');
        contents["packed.bin"] = CompressibleBytes(300000);
        ArchiveFixture fixture;
        fixture.AddStored("keep.txt", contents["keep.txt"]);
        fixture.AddFree(500);
        fixture.AddCompressed("packed.bin", contents["packed.bin"]);
        fixture.AddStored("gone.txt", contents["gone.txt"]);
        fixture.AddFree(100);
        Loose("new/stored.txt", RandomBytes(9000, 1));
        Loose("new/packed.bin", CompressibleBytes(262144 + 5000) + RandomBytes(2000, 2));
        return fixture.Bytes();
    }

    ScratchDir dir;
    CurrentDirectory here;
    std::unique_ptr<GAME::Archive> archive;
};

}  // namespace test
