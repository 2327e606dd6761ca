// The archive's editing operations (declared with GAME::Archive): each one hands its work to the
// unit that does it, the editor of an archive open for edit above all.
#include "Engine/Archive.h"
#include "diagnostics/Assert.h"
#include "tool/editor/ArchiveEditor.h"
#include "tool/editor/ArchiveExtractor.h"
#include "tool/editor/Compaction.h"
#include "tool/editor/FileAddition.h"

namespace GAME {

bool Archive::OpenEdit(const char* fileName, EditLock lock) {
    const OpenStatus status = OpenFile(fileName, lock == EditLock::exclusive ? Access::editAlone : Access::editShared);
    if (status != OpenStatus::opened && status != OpenStatus::recovered) return false;
    std::unique_ptr<ArchiveEditor> editor = ArchiveEditor::Start(*this, lock == EditLock::shared);
    if (editor == nullptr) {
        Abandon();
        openStatus = OpenStatus::damaged;
        return false;
    }
    AttachEditSession(std::move(editor));
    return true;
}

bool Archive::CommitChanges() {
    ArchiveEditor* editor = EditorOf(*this);
    return editor != nullptr && editor->Commit(false);
}

int Archive::AllocateFileEntry(const char* fileName, unsigned int size, unsigned int expandedSize, bool compressed) {
    ArchiveEditor* editor = EditorOf(*this);
    if (!GAME_CHECK(editor != nullptr)) return -1;
    const Addition added = editor->Allocate(MakeStoredName(fileName), size, expandedSize, compressed);
    ReportNotAdded(fileName, added.status);
    return added.index;
}

int Archive::FindFreeEntry(unsigned int size) const {
    const ArchiveEditor* editor = static_cast<const ArchiveEditor*>(GetEditSession());
    return editor != nullptr ? editor->FindFreeEntry(size) : -1;
}

int Archive::AddFile(const char* fileName, int compressionLevel) {
    if (!GAME_CHECK(fileName)) return -1;
    if (!GAME_CHECK(*fileName)) return -1;
    ArchiveEditor* editor = EditorOf(*this);
    if (!GAME_CHECK(editor != nullptr)) return -1;
    const Addition added = AddLooseFile(*editor, fileName, MakeStoredName(fileName), compressionLevel);
    ReportNotAdded(fileName, added.status);
    return added.index;
}

void Archive::RemoveFile(int fileIndex) {
    if (!GAME_CHECK(archiveFileMode == fileModeEdit)) return;
    if (ArchiveEditor* editor = EditorOf(*this)) editor->Remove(fileIndex);
}

void Archive::Compact() {
    if (ArchiveEditor* editor = EditorOf(*this)) CompactArchive(*editor);
}

bool Archive::ExtractFile(int fileIndex, const char* outputDirectory) {
    return ArchiveExtractor(*this, outputDirectory).Extract(fileIndex);
}

bool Archive::ExtractAllFiles(const char* outputDirectory, const std::string& folder, unsigned int threads) {
    return ArchiveExtractor(*this, outputDirectory).ExtractAll(folder, threads);
}

}  // namespace GAME
