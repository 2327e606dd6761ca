// Files below a destination folder over POSIX calls. Each folder on the way is opened from the
// one above it (openat) without following a link, and names are looked up in listings of the
// folders, so that a name is found whatever its case, as on Windows.
#include "platform/OutputFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/FolderListing.h"
#include "platform/posix/Descriptor.h"
#include "platform/posix/RetryOnInterrupt.h"

namespace platform {
namespace {

using posix::Descriptor;

// Folders on the way are only passed through; where the system can, they open without the
// right to read them, as a path through them needs none.
#if defined(O_PATH)
constexpr int folderAccess = O_PATH;
#else
constexpr int folderAccess = O_RDONLY;
#endif

int OpenAt(int folder, const char* name, int flags) {
    return posix::RetryOnInterruptUnlessStopping([&] { return ::openat(folder, name, flags | O_CLOEXEC, 0666); });
}

bool IsLinkAt(int folder, const char* name) {
    struct stat st;
    return ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

void CloseKeepingError(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

// Opens the folder `name` inside `above`, making it when it is missing, without following a
// link. Gives -1 with the reason in `*refusal`; `*made` tells whether this call made it.
int OpenFolderAt(int above, const char* name, OutputRefusal* refusal, bool* made) {
    *refusal = OutputRefusal::failed;
    *made = false;
    for (bool tried = false;; tried = true) {
        const int fd = OpenAt(above, name, folderAccess | O_DIRECTORY | O_NOFOLLOW);
        if (fd >= 0) {
            struct stat st;
            const bool known = ::fstat(fd, &st) == 0;
            if (known && S_ISDIR(st.st_mode)) return fd;
            // Some systems open the link itself when asked for no more than a path to it.
            if (known && S_ISLNK(st.st_mode)) *refusal = OutputRefusal::linkOnTheWay;
            CloseKeepingError(fd);
            errno = ENOTDIR;
            return -1;
        }
        if (errno == ENOENT && !tried) {
            // Made by someone else meanwhile is as good; a link made meanwhile is refused above.
            if (::mkdirat(above, name, 0777) == 0)
                *made = true;
            else if (errno != EEXIST)
                return -1;
            continue;
        }
        if (IsLinkAt(above, name)) {
            *refusal = OutputRefusal::linkOnTheWay;
            errno = ELOOP;
        }
        return -1;
    }
}

// Creates or opens the file `name` inside `folder`, not cut yet. A link in its place, dangling
// or not, is removed and a new file made there, which must not exist by then.
int OpenLeafAt(int folder, const char* name) {
    int fd = OpenAt(folder, name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK);
    if (fd >= 0 || !IsLinkAt(folder, name)) return fd;
    if (::unlinkat(folder, name, 0) != 0) return -1;
    fd = OpenAt(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK);
    return fd;
}

// Cuts the file just opened, whose status is `st`, to length 0. Only a regular file is cut;
// CheckedFileHandle refuses what else opened.
bool Cut(int fd, const struct stat& st) {
    if (!S_ISREG(st.st_mode) || st.st_size == 0) return true;
    return posix::RetryOnInterrupt([&] { return ::ftruncate(fd, 0); }) == 0;
}

}  // namespace

struct OutputFolder::State {
    explicit State(const char* root) : root(root != nullptr ? root : "") {}
    ~State();

    void CloseFoldersFrom(std::size_t level);
    // The listing of the open `folder`, kept in `*slot` for the time it stays open.
    FolderListing& ListingOf(FileHandle folder, FolderListing** slot);
    // Notes the open `folder`, just made, as empty.
    FolderListing* MadeEmpty(FileHandle folder);

    std::string root;
    FileHandle rootHandle = invalidFileHandle;
    std::vector<std::string> folderNames;  // the folders below the root that are open, outermost first
    std::vector<FileHandle> folderHandles;
    // The listings read, by the identity of their folder (volume and file id), so that a folder
    // left and entered again is not listed again.
    std::map<std::pair<std::uint64_t, std::uint64_t>, FolderListing> listings;
    FolderListing unidentified;  // for a folder whose identity cannot be had; read anew each time
    FolderListing* rootListing = nullptr;
    std::vector<FolderListing*> folderListings;  // beside folderHandles; null until needed
    std::size_t foldersListed = 0;
};

OutputFolder::State::~State() {
    CloseFoldersFrom(0);
    if (rootHandle != invalidFileHandle) CloseKeepingError(Descriptor(rootHandle));
}

void OutputFolder::State::CloseFoldersFrom(std::size_t level) {
    for (std::size_t i = level; i < folderHandles.size(); ++i) CloseKeepingError(Descriptor(folderHandles[i]));
    if (level < folderHandles.size()) {
        folderHandles.resize(level);
        folderNames.resize(level);
        folderListings.resize(level);
    }
}

FolderListing& OutputFolder::State::ListingOf(FileHandle folder, FolderListing** slot) {
    if (*slot != nullptr) return **slot;
    struct stat st;
    if (::fstat(Descriptor(folder), &st) != 0) {
        unidentified = FolderListing();
        ListOpenFolder(folder, &unidentified);
        ++foldersListed;
        return unidentified;
    }
    const auto key = std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino));
    auto known = listings.find(key);
    if (known == listings.end()) {
        known = listings.emplace(key, FolderListing()).first;
        // One that cannot be listed (no right to read it) finds only names spelt as asked.
        ListOpenFolder(folder, &known->second);
        ++foldersListed;
    }
    *slot = &known->second;
    return known->second;
}

FolderListing* OutputFolder::State::MadeEmpty(FileHandle folder) {
    struct stat st;
    if (::fstat(Descriptor(folder), &st) != 0) return nullptr;
    FolderListing& listing =
        listings[std::make_pair(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino))];
    listing = FolderListing();  // a folder removed meanwhile may have left its identity to this one
    return &listing;
}

const int OutputFolder::invalidNameError = EINVAL;
const int OutputFolder::noNameError = ENOENT;
const int OutputFolder::keptFileError = EBUSY;

OutputFolder::OutputFolder(const char* root) : state(std::make_unique<State>(root)) {}

OutputFolder::~OutputFolder() = default;

std::size_t OutputFolder::FoldersListed() const { return state->foldersListed; }

// Every name but ".." is a place below the folder.
bool OutputFolder::LeadsElsewhere(const std::string&) { return false; }

// The destination is what the user chose: it is opened by its path, links and all, and made
// when missing. A folder of the path missing under its own spelling is looked for with ASCII case
// ignored (its spelling first, then the others in byte order, the first that opens as a folder),
// and made as spelt when none is there.
bool OutputFolder::OpenRoot() {
    if (state->rootHandle != invalidFileHandle) return true;
    const std::string native = state->root.empty() ? std::string(".") : ToNativePath(state->root.c_str());
    int fd = OpenAt(AT_FDCWD, native.c_str(), folderAccess | O_DIRECTORY);
    if (fd >= 0) {
        state->rootHandle = fd;
        return true;
    }
    if (errno != ENOENT) return false;

    int above = OpenAt(AT_FDCWD, native[0] == '/' ? "/" : ".", folderAccess | O_DIRECTORY);
    bool made = false;
    for (const std::string& component : PathComponents(native)) {
        if (above < 0) return false;
        made = false;
        fd = OpenAt(above, component.c_str(), folderAccess | O_DIRECTORY);
        if (fd < 0 && errno == ENOENT && component != "." && component != "..") {
            FolderListing listing;
            ListOpenFolder(above, &listing);
            ++state->foldersListed;
            for (const std::string& spelling : listing.Spellings(component)) {
                fd = OpenAt(above, spelling.c_str(), folderAccess | O_DIRECTORY);
                if (fd >= 0) break;
            }
            if (fd < 0) {
                // Made by someone else meanwhile is as good.
                if (::mkdirat(above, component.c_str(), 0777) == 0) made = true;
                if (made || errno == EEXIST) fd = OpenAt(above, component.c_str(), folderAccess | O_DIRECTORY);
            }
        }
        CloseKeepingError(above);
        above = fd;
    }
    if (above < 0) return false;
    state->rootHandle = above;
    if (made) state->rootListing = state->MadeEmpty(state->rootHandle);
    return true;
}

FileHandle OutputFolder::CreateBelowRoot(const std::vector<std::string>& components, OutputRefusal* why) {
    // The folders this file shares with the previous one are open already.
    const std::size_t depth = components.size() - 1;
    std::size_t shared = 0;
    while (shared < depth && shared < state->folderNames.size() && state->folderNames[shared] == components[shared])
        ++shared;
    state->CloseFoldersFrom(shared);
    for (std::size_t level = shared; level < depth; ++level) {
        const FileHandle above = level == 0 ? state->rootHandle : state->folderHandles.back();
        FolderListing& listing =
            state->ListingOf(above, level == 0 ? &state->rootListing : &state->folderListings.back());
        const std::string* existing = listing.Match(components[level], true);
        const std::string name = existing != nullptr ? *existing : components[level];
        bool made = false;
        const int fd = OpenFolderAt(Descriptor(above), name.c_str(), why, &made);
        if (fd < 0) return invalidFileHandle;
        if (made) listing.Add(name, true);
        state->folderNames.push_back(components[level]);
        state->folderHandles.push_back(fd);
        state->folderListings.push_back(made ? state->MadeEmpty(fd) : nullptr);
    }
    const FileHandle folder = depth == 0 ? state->rootHandle : state->folderHandles.back();
    FolderListing& listing = state->ListingOf(folder, depth == 0 ? &state->rootListing : &state->folderListings.back());
    const std::string* existing = listing.Match(components.back(), false);
    const std::string name = existing != nullptr ? *existing : components.back();
    const int fd = OpenLeafAt(Descriptor(folder), name.c_str());
    if (fd < 0) return invalidFileHandle;
    listing.Add(name, false);
    // Nothing is cut before it is known not to be the file to keep; one status tells both.
    struct stat st;
    if (::fstat(fd, &st) != 0 ||
        !MayWrite(static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), why) || !Cut(fd, st)) {
        CloseKeepingError(fd);
        return invalidFileHandle;
    }
    const FileHandle file = posix::CheckedFileHandle(fd, false, st);
    if (file != invalidFileHandle) *why = OutputRefusal::none;
    return file;
}

}  // namespace platform
