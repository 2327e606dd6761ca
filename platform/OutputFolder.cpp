// The side of OutputFolder that is the same on every system: the checks of the path asked for
// and of the file that must stay untouched. Opening the folders and the file is each system's
// own (platform/<system>/OutputFolder.cpp).
#include "platform/OutputFolder.h"

#include "platform/File.h"
#include "platform/FolderListing.h"
#include "platform/Process.h"

namespace platform {

FileHandle OutputFolder::Create(const std::string& relativePath, OutputRefusal* refusal) {
    OutputRefusal unused;
    OutputRefusal& why = refusal != nullptr ? *refusal : unused;
    why = OutputRefusal::failed;
    const std::vector<std::string> components = PathComponents(relativePath);
    for (const std::string& component : components) {
        if (component == ".." || LeadsElsewhere(component)) {
            SetLastErrorValue(invalidNameError);
            return invalidFileHandle;
        }
    }
    if (components.empty()) {
        SetLastErrorValue(noNameError);
        return invalidFileHandle;
    }
    if (!OpenRoot()) return invalidFileHandle;
    return CreateBelowRoot(components, &why);
}

bool OutputFolder::MayWrite(FileHandle file, OutputRefusal* why) const {
    if (!keepingFile) return true;
    std::uint64_t volume = 0, fileId = 0;
    return GetFileIdentity(file, &volume, &fileId) && MayWrite(volume, fileId, why);
}

bool OutputFolder::MayWrite(std::uint64_t volume, std::uint64_t fileId, OutputRefusal* why) const {
    if (keepingFile && volume == keptVolume && fileId == keptFileId) {
        *why = OutputRefusal::keptFile;
        SetLastErrorValue(keptFileError);
        return false;
    }
    return true;
}

FileHandle CreateFileBelow(const char* root, const std::string& relativePath, OutputRefusal* refusal) {
    OutputFolder folder(root);
    return folder.Create(relativePath, refusal);
}

}  // namespace platform
