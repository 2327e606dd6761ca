// Name normalisation, the name hash, the hash table and lookup by name.
#include <cstring>
#include <new>

#include "Engine/Archive.h"
#include "Engine/ArchiveFormat.h"
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

unsigned int Archive::HashFileName(const char* name, unsigned int length) const {
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
    // Before the first table build there are no buckets; the unreduced value is out of range.
    return tableSize != 0 ? h % tableSize : h;
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
    delete[] hashTable;
    hashTable = new (std::nothrow) FileEntry*[size]();
    if (!GAME_CHECK(hashTable)) {
        // Without buckets nothing can be found; FindFile gives -1 for every name.
        tableSize = 0;
        return false;
    }
    tableSize = size;
    return true;
}

void Archive::ChainRecord(FileEntry& entry) {
    if (!(entry.flags & fileFlagInUse) || entry.name == nullptr) return;
    const unsigned int bucket = HashFileName(entry.name, entry.nameLength);
    entry.next = hashTable[bucket];
    hashTable[bucket] = &entry;
}

int Archive::FindFile(const char* fileName) {
    if (fileName == nullptr || hashTable == nullptr) return -1;
    std::string normalized;
    NormalizeFileName(fileName, normalized);
    if (normalized.empty()) return -1;

    const unsigned int hashValue = HashFileName(normalized.data(), static_cast<unsigned int>(normalized.size()));
    if (!GAME_CHECK(hashValue < tableSize)) return -1;
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
