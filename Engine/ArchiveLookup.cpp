// Name normalisation, the name hash, the hash table and lookup by name.
#include <algorithm>
#include <cstring>
#include <new>

#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"
#include "Engine/MemGrowth.h"
#include "diagnostics/Assert.h"
#include "platform/Ascii.h"

namespace GAME {
namespace {

// A byte of a name enters the hash as a signed 8-bit value widened to 32 bits.
unsigned int HashByte(const char* name, unsigned int at) {
    return static_cast<unsigned int>(static_cast<int>(static_cast<signed char>(name[at])));
}

}  // namespace

void Archive::NormalizeFileName(const char* fileName, std::string& out) {
    if (fileName == nullptr || *fileName == '\0') return;
    out = fileName;
    for (char& c : out) c = c == '\\' ? '/' : platform::AsciiLower(c);
    if (!out.empty() && out[0] == '.') out.erase(0, 1);
    if (!out.empty() && out[0] == '/') out.erase(0, 1);
}

StoredName Archive::MakeStoredName(const char* fileName) {
    StoredName name;
    NormalizeFileName(fileName, name.text);
    name.hash = NameHash(name.text.data(), static_cast<unsigned int>(name.text.size()));
    return name;
}

unsigned int Archive::HashFileName(const char* name, unsigned int length) const {
    const unsigned int h = NameHash(name, length);
    // Before the first table build there are no buckets; the unreduced value is out of range.
    return tableSize != 0 ? h % tableSize : h;
}

unsigned int Archive::NameHash(const char* name, unsigned int length) {
    const unsigned int n = length;
    unsigned int h = 0;
    if (n == 0) {
        h = 0;  // no bytes to sample; only a damaged index holds an empty name
    } else if (n < 6) {
        h = HashByte(name, n - 1) * 65536u + HashByte(name, 0) * 256u + n;
    } else {
        h = HashByte(name, n - 6);
        h = h * 16 + HashByte(name, n - 5);
        h = h * 16 + HashByte(name, n - 1);
        h = h * 16 + HashByte(name, n - 1 - n / 8);
        h = h * 16 + HashByte(name, n / 2);
        h = h * 16 + HashByte(name, 0);
        h = h * 16 + n;
    }
    return h;
}

bool Archive::BuildHashTable() {
    if (!NewHashTable(fileArray.size())) return false;
    for (FileEntry& entry : fileArray) ChainRecord(entry);
    return true;
}

bool Archive::NewHashTable(std::size_t n) {
    unsigned int size = hashTableSizes[sizeof(hashTableSizes) / sizeof(hashTableSizes[0]) - 1];
    for (unsigned int candidate : hashTableSizes) {
        if (candidate >= n / 4) {
            size = candidate;
            break;
        }
    }
    hashTable = mem::TryNewArray<FileEntry*>(size);
    if (!GAME_CHECK(hashTable)) {
        // Without buckets nothing can be found; FindFile gives -1 for every name.
        tableSize = 0;
        return false;
    }
    std::fill(hashTable.get(), hashTable.get() + size, nullptr);
    tableSize = size;
    return true;
}

void Archive::ChainRecord(FileEntry& entry) {
    if (!(entry.flags & fileFlagInUse) || entry.name == nullptr) return;
    ChainRecord(entry, NameHash(entry.name, entry.nameLength));
}

void Archive::ChainRecord(FileEntry& entry, unsigned int hash) {
    const unsigned int bucket = tableSize != 0 ? hash % tableSize : hash;
    entry.next = hashTable[bucket];
    hashTable[bucket] = &entry;
}

void Archive::UnchainRecord(FileEntry& entry) {
    if (hashTable == nullptr || entry.name == nullptr) return;
    const unsigned int bucket = HashFileName(entry.name, entry.nameLength);
    if (bucket >= tableSize) return;
    if (hashTable[bucket] == &entry) {
        hashTable[bucket] = entry.next;
        return;
    }
    // A chain cannot be longer than the records; a damaged one must not loop forever.
    FileEntry* before = hashTable[bucket];
    for (std::size_t steps = 0; before != nullptr && before->next != &entry && steps < fileArray.size(); ++steps)
        before = before->next;
    if (before != nullptr && before->next == &entry) {
        GAME_ASSERT(before != entry.next);
        before->next = entry.next;
    }
}

int Archive::FindFile(const char* fileName) const {
    if (fileName == nullptr || hashTable == nullptr) return -1;
    return FindStored(MakeStoredName(fileName));
}

int Archive::FindStored(const StoredName& name) const {
    const std::string& normalized = name.text;
    if (hashTable == nullptr || normalized.empty()) return -1;
    if (!GAME_CHECK(tableSize != 0)) return -1;
    const unsigned int hashValue = name.hash % tableSize;
    // A chain of a sound table holds each record at most once, so it is walked to its end; only
    // a damaged chain, one that loops, can pass the record count.
    std::size_t iteration = 0;
    for (const FileEntry* pEntry = hashTable[hashValue]; pEntry != nullptr; pEntry = pEntry->next, ++iteration) {
        if (!GAME_CHECK(iteration < fileArray.size())) return -1;
        if (pEntry->nameLength == normalized.size() &&
            std::memcmp(pEntry->name, normalized.data(), normalized.size()) == 0) {
            GAME_ASSERT((pEntry - &fileArray.front()) >= 0);
            return static_cast<int>(pEntry - &fileArray.front());
        }
    }
    return -1;
}

unsigned int Archive::FindMatchingFiles(mem::vector<int>& files, const std::string& pattern) {
    const std::size_t p = pattern.size();
    auto matches = [&](const FileEntry& entry) {
        return entry.name != nullptr && entry.nameLength >= p &&
               platform::EqualIgnoringAsciiCase(pattern.c_str(), entry.name + (entry.nameLength - p));
    };
    unsigned int numFiles = 0;
    for (const FileEntry& entry : fileArray)
        if (matches(entry)) ++numFiles;
    if (files.capacity() < numFiles) files.reserve(numFiles);
    for (std::size_t i = 0; i < fileArray.size(); ++i)
        if (matches(fileArray[i])) files.push_back(static_cast<int>(i));
    GAME_ASSERT(files.size() == numFiles);
    return numFiles;
}

}  // namespace GAME
