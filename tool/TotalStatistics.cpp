#include "tool/TotalStatistics.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Engine/Archive.h"
#include "platform/FileSystem.h"
#include "tool/ArchiveStatistics.h"

namespace {

// The totals of one file type. The sums are plain 32-bit additions.
struct TypeStatistics {
    std::string type;
    unsigned int totalExpandedSize = 0;
    unsigned int totalSize = 0;
    unsigned int count = 0;
};

constexpr float bytesToMegabytes = 9.5367431640625e-07f;
constexpr float kilobytesToMegabytes = 0.0009765625f;
const char ruleLine[] = "==============================================================================\r\n";

// A 32-bit count as the report computes with it: exact in double, then rounded to single.
float Single(unsigned int value) { return static_cast<float>(static_cast<double>(value)); }

// 1 - part / whole, as a percentage; an empty whole gives 0 rather than not-a-number.
float Compression(float part, float whole) { return whole != 0.0f ? (1.0f - part / whole) * 100.0f : 0.0f; }

// Megabytes per file in kilobytes; no files give 0.
float AverageKilobytes(float megabytes, unsigned int count) { return count != 0 ? megabytes / Single(count) * 1024.0f : 0.0f; }

// The type of a stored name: from its last "." to the end, or empty.
std::string FileType(const char* name) {
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr ? dot : "";
}

// The path of an archive found by `pattern`: the pattern's directory part, up to its last
// separator, and the found name. A prefix ending in a partial name (data/a*.arc) would not name it.
std::string FoundPath(const char* pattern, const std::string& name) {
    const std::string text = pattern;
    const std::size_t separator = text.find_last_of("\\/");
    return (separator == std::string::npos ? std::string() : text.substr(0, separator + 1)) + name;
}

std::vector<platform::FoundFile> Find(const char* pattern) {
    std::vector<platform::FoundFile> found;
    platform::FindFiles(pattern, &found);
    return found;
}

}  // namespace

void WriteTotalStatistics(const char* reportPath, int numPatterns, char** patterns) {
    std::FILE* report = std::fopen(platform::ToNativePath(reportPath).c_str(), "wb");
    if (report == nullptr) return;

    std::map<std::string, TypeStatistics> types;
    for (int p = 0; p < numPatterns; ++p) {
        if (std::strchr(patterns[p], '*') == nullptr) {
            std::fprintf(stderr, "Invalid path: %s\n", patterns[p]);
            std::fclose(report);
            return;
        }
        for (const platform::FoundFile& found : Find(patterns[p])) {
            GAME::Archive archive;
            if (!archive.OpenRead(FoundPath(patterns[p], found.name).c_str())) continue;
            for (unsigned int i = 0; i < archive.GetNumFiles(); ++i) {
                const GAME::Archive::FileEntry& entry = archive.GetFileEntry(static_cast<int>(i));
                if (!(entry.flags & GAME::Archive::fileFlagInUse) || entry.name == nullptr) continue;
                TypeStatistics& stats = types[FileType(entry.name)];
                stats.type = FileType(entry.name);
                stats.totalExpandedSize += entry.expandedSize;
                stats.totalSize += entry.size;
                stats.count += 1;
            }
        }
    }

    std::vector<TypeStatistics> sorted;
    for (const auto& [type, stats] : types) sorted.push_back(stats);
    std::stable_sort(sorted.begin(), sorted.end(), [](const TypeStatistics& a, const TypeStatistics& b) {
        return a.totalExpandedSize > b.totalExpandedSize;
    });

    std::fputs("\r\n", report);
    std::fputs(ruleLine, report);
    std::fputs(" Type      Count       Size    Compressed Size    Compression   Avg. Size\r\n", report);
    std::fputs(ruleLine, report);
    unsigned int totalCount = 0, expandedKilobytes = 0, storedKilobytes = 0;
    for (const TypeStatistics& stats : sorted) {
        const float expanded = Single(stats.totalExpandedSize) * bytesToMegabytes;
        const float stored = Single(stats.totalSize) * bytesToMegabytes;
        std::fprintf(report, "%5s %10u %10.2f MB %12.2f MB %11.1f %11.1f KB\r\n", stats.type.c_str(), stats.count,
                     static_cast<double>(expanded), static_cast<double>(stored),
                     static_cast<double>(Compression(Single(stats.totalSize), Single(stats.totalExpandedSize))),
                     static_cast<double>(AverageKilobytes(expanded, stats.count)));
        totalCount += stats.count;
        // The totals are kept in whole kilobytes, so they can differ slightly from the rows.
        expandedKilobytes += stats.totalExpandedSize >> 10;
        storedKilobytes += stats.totalSize >> 10;
    }
    std::fputs(ruleLine, report);
    const float expandedTotal = Single(expandedKilobytes) * kilobytesToMegabytes;
    const float storedTotal = Single(storedKilobytes) * kilobytesToMegabytes;
    std::fprintf(report, "Total %10u %10.2f MB %12.2f MB %11.1f %11.1f KB\r\n\r\n\r\n", totalCount,
                 static_cast<double>(expandedTotal), static_cast<double>(storedTotal),
                 static_cast<double>(Compression(Single(storedKilobytes), Single(expandedKilobytes))),
                 static_cast<double>(AverageKilobytes(expandedTotal, totalCount)));

    std::fputs(ruleLine, report);
    std::fputs(" Archive File       Num Files       File Size      Fragmentation\r\n", report);
    std::fputs(ruleLine, report);
    for (int p = 0; p < numPatterns; ++p) {
        for (const platform::FoundFile& found : Find(patterns[p])) {
            GAME::Archive archive;
            if (!archive.OpenRead(FoundPath(patterns[p], found.name).c_str())) continue;
            GAME::ArchiveStatistics stats;
            archive.GetStatistics(stats);
            const float fragmentation =
                stats.numEntries != 0 ? Single(stats.numEntries - stats.numActiveFiles) / Single(stats.numEntries) * 100.0f : 0.0f;
            const unsigned int fileSize = static_cast<unsigned int>(found.attributes.size);  // low 32 bits
            std::fprintf(report, "%-20s %8u %15.2f MB, %8.1f%%\r\n", found.name.c_str(), archive.GetNumFiles(),
                         static_cast<double>(Single(fileSize) * bytesToMegabytes), static_cast<double>(fragmentation));
        }
    }
    std::fclose(report);
}
