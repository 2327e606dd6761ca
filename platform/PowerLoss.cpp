// The simulated power cut over the native file calls; portable code.
#include "platform/PowerLoss.h"

#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/NativeFile.h"
#include "platform/Paths.h"

namespace platform {
namespace {

// One change to a file since its last flush.
struct Change {
    enum Kind {
        write,
        cut,
        reserve
    } kind;
    std::uint64_t offset;  // where a write starts; the length a cut or reservation gives
    std::string bytes;     // what a write puts down
};

struct TrackedFile {
    std::string durable;  // what the disk holds for certain
    std::string current;  // what the file holds now
    std::vector<Change> changes;
};

// Applies `change` to an image of a file; a write only its first `length` bytes.
void Apply(std::string& image, const Change& change, std::size_t length) {
    if (change.kind == Change::write) {
        if (image.size() < change.offset + length) image.resize(change.offset + length, '\0');
        image.replace(change.offset, length, change.bytes, 0, length);
    } else if (change.kind == Change::cut) {
        image.resize(change.offset, '\0');
    } else if (image.size() < change.offset) {
        image.resize(change.offset, '\0');
    }
}

// One change to a folder's names since the folder was last flushed.
struct NameChange {
    bool created;          // made, or else deleted
    std::string path;      // as the caller gave it
    FileHandle file;       // a made file's handle; for a deleted one, the handle it was made with, if any
    std::string contents;  // a deleted file's contents, when no handle tells them
};

struct Simulation {
    std::uint64_t crashAt = 0;
    std::uint64_t calls = 0;
    bool lost = false;
    std::mt19937 random;
    std::map<FileHandle, TrackedFile> files;
    std::vector<FileHandle> keptOpen;
    std::map<std::string, std::vector<NameChange>> folders;  // by folder, changes in order
    std::map<std::string, FileHandle> made;                  // path -> handle of the file made there
};

Simulation simulation;

// The whole contents of a file, read with the native calls; the position is kept.
std::string ReadContents(FileHandle file) {
    std::uint64_t position = 0, size = 0;
    GetFilePosition(file, &position);
    GetFileSize(file, &size);
    std::string contents(size, '\0');
    native::SetFilePosition(file, 0);
    std::uint64_t done = 0;
    while (done < size) {
        const std::uint64_t left = size - done;
        const std::uint32_t piece = left < (1u << 30) ? static_cast<std::uint32_t>(left) : (1u << 30);
        std::uint32_t got = 0;
        if (!native::ReadFile(file, contents.data() + done, piece, &got) || got == 0) break;
        done += got;
    }
    contents.resize(done);
    native::SetFilePosition(file, position);
    return contents;
}

void WriteContents(FileHandle file, const std::string& contents) {
    native::SetFilePosition(file, 0);
    std::uint64_t done = 0;
    while (done < contents.size()) {
        const std::uint64_t left = contents.size() - done;
        const std::uint32_t piece = left < (1u << 30) ? static_cast<std::uint32_t>(left) : (1u << 30);
        std::uint32_t written = 0;
        if (!native::WriteFile(file, contents.data() + done, piece, &written)) break;
        done += written;
    }
    native::SetEndOfFile(file);
}

// The file's record, made on first sight from what it holds then (nothing, for a file that
// cannot be read).
TrackedFile& Track(FileHandle file) {
    auto found = simulation.files.find(file);
    if (found == simulation.files.end()) {
        const std::string contents = ReadContents(file);
        found = simulation.files.emplace(file, TrackedFile{contents, contents, {}}).first;
    }
    return found->second;
}

void Record(FileHandle file, Change change) {
    TrackedFile& tracked = Track(file);
    Apply(tracked.current, change, change.bytes.size());
    tracked.changes.push_back(std::move(change));
}

// The folder a path's name lives in, as FlushDirectory is given it.
std::string FolderKey(const std::string& folder) { return folder.empty() ? std::string(".") : folder; }

std::string FolderOf(const std::string& path) { return FolderKey(ParentFolder(path)); }

// Puts `contents` at `path` as a file of its own, or removes what is there when `present` is false.
void SetName(const std::string& path, bool present, const std::string& contents) {
    if (!present) {
        native::DeleteFile(path.c_str());
        return;
    }
    native::DeleteFile(path.c_str());  // another file may hold the name now
    const FileHandle file = native::CreateNewFile(path.c_str());
    if (file == invalidFileHandle) return;
    WriteContents(file, contents);
    native::CloseFile(file);
}

// Each folder keeps a random choice of its pending name changes, in order.
void LoseNames(const std::map<FileHandle, std::string>& images) {
    const auto contentsOf = [&](const NameChange& change) {
        const auto image = images.find(change.file);
        return image != images.end() ? image->second : change.contents;
    };
    for (const auto& [folder, changes] : simulation.folders) {
        std::map<std::string, std::vector<const NameChange*>> byName;
        for (const NameChange& change : changes) byName[change.path].push_back(&change);
        for (const auto& [path, history] : byName) {
            // Before its first pending change, a name that is deleted was there, durably.
            bool present = !history.front()->created;
            const NameChange* holder = present ? history.front() : nullptr;
            for (const NameChange* change : history) {
                if (simulation.random() % 2 == 0) continue;
                present = change->created;
                holder = present ? change : nullptr;
            }
            SetName(path, present, holder != nullptr ? contentsOf(*holder) : std::string());
        }
    }
    simulation.folders.clear();
}

// Sets every tracked file to what a disk that lost power could hold, then every folder.
void LosePower() {
    simulation.lost = true;
    std::map<FileHandle, std::string> images;
    for (auto& [file, tracked] : simulation.files) {
        std::vector<std::size_t> writes;
        for (std::size_t i = 0; i < tracked.changes.size(); ++i)
            if (tracked.changes[i].kind == Change::write) writes.push_back(i);
        const std::size_t torn = writes.empty() ? tracked.changes.size() : writes[simulation.random() % writes.size()];
        std::string image = tracked.durable;
        for (std::size_t i = 0; i < tracked.changes.size(); ++i) {
            const Change& change = tracked.changes[i];
            if (simulation.random() % 2 == 0) continue;
            std::size_t length = change.bytes.size();
            if (i == torn && length != 0) length = simulation.random() % length;
            Apply(image, change, length);
        }
        WriteContents(file, image);
        images[file] = image;
    }
    simulation.files.clear();
    LoseNames(images);
}

// Counts one call; true when the power is off by now.
bool CountCall() {
    if (simulation.lost) return true;
    if (++simulation.calls == simulation.crashAt) {
        LosePower();
        return true;
    }
    return false;
}

}  // namespace

namespace detail {

bool powerLossActive = false;

bool PowerLossBeforeWrite(FileHandle file, const void* buffer, std::uint32_t count) {
    std::uint64_t position = 0;
    GetFilePosition(file, &position);
    return PowerLossBeforeWriteAt(file, buffer, count, position);
}

bool PowerLossBeforeWriteAt(FileHandle file, const void* buffer, std::uint32_t count, std::uint64_t offset) {
    if (CountCall()) return true;
    Record(file, {Change::write, offset, std::string(static_cast<const char*>(buffer), count)});
    return false;
}

bool PowerLossBeforeCut(FileHandle file) {
    if (CountCall()) return true;
    std::uint64_t position = 0;
    GetFilePosition(file, &position);
    Record(file, {Change::cut, position, {}});
    return false;
}

bool PowerLossBeforeReserve(FileHandle file, std::uint64_t end) {
    if (CountCall()) return true;
    Record(file, {Change::reserve, end, {}});
    return false;
}

bool PowerLossBeforeFlush(FileHandle file) {
    if (CountCall()) return true;
    // What the file holds now is what the disk holds once the flush returns.
    TrackedFile& tracked = Track(file);
    tracked.durable = tracked.current;
    tracked.changes.clear();
    return false;
}

bool PowerLossBeforeDelete(const char* path) {
    if (CountCall()) return true;
    NameChange change{false, path, invalidFileHandle, {}};
    const auto made = simulation.made.find(path);
    if (made != simulation.made.end()) {
        change.file = made->second;
        simulation.made.erase(made);
    }
    // What a file that nothing here wrote holds is what the disk holds.
    if (simulation.files.count(change.file) == 0) {
        const FileHandle file = OpenRegularFileForRead(path);
        if (file != invalidFileHandle) {
            change.contents = ReadContents(file);
            native::CloseFile(file);
        }
    }
    simulation.folders[FolderOf(path)].push_back(std::move(change));
    return false;
}

bool PowerLossBeforeFolderFlush(const char* path) {
    if (CountCall()) return true;
    // What the folder's names are now is what the disk holds once the flush returns.
    simulation.folders.erase(FolderKey(path != nullptr ? path : ""));
    return false;
}

bool PowerLossBeforeCreate(const char*) { return CountCall(); }

void PowerLossCreated(const char* path, FileHandle file) {
    simulation.made[path] = file;
    simulation.folders[FolderOf(path)].push_back({true, path, file, {}});
}

bool PowerLossPathExists(const char* path) {
    const FileHandle file = OpenFileForRead(path);
    if (file == invalidFileHandle) return false;
    native::CloseFile(file);
    return true;
}

bool PowerLossKeepsOpen(FileHandle file) {
    simulation.keptOpen.push_back(file);
    return true;
}

}  // namespace detail

void BeginPowerLossSimulation(std::uint64_t crashAt, std::uint32_t seed) {
    simulation = Simulation{};
    simulation.crashAt = crashAt;
    simulation.random.seed(seed);
    detail::powerLossActive = true;
}

bool PowerLost() { return simulation.lost; }

std::uint64_t PowerLossCalls() { return simulation.calls; }

void EndPowerLossSimulation() {
    detail::powerLossActive = false;
    for (FileHandle file : simulation.keptOpen) native::CloseFile(file);
    simulation = Simulation{};
}

}  // namespace platform
