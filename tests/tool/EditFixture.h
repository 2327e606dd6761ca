// A scratch folder made the current directory, with an archive in it to edit and loose files
// to add by their relative names.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ArchiveFixture.h"
#include "Engine/Archive.h"
#include "TestSupport.h"

namespace test {

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

    ScratchDir dir;
    CurrentDirectory here;
    std::unique_ptr<GAME::Archive> archive;
};

}  // namespace test
