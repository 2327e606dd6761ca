#include "tool/TotalStatistics.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Engine/Archive.h"
#include "Engine/ArchiveStatistics.h"
#include "platform/FileSystem.h"
#include "platform/TextWriter.h"
#include "tool/OpenReport.h"

namespace tool {
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
float AverageKilobytes(float megabytes, unsigned int count) {
    return count != 0 ? megabytes / Single(count) * 1024.0f : 0.0f;
}

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

// The totals of every file type in the archives that the patterns find, largest expanded size
// first. Gives false, after a line on standard error, for a pattern without a wildcard; a found
// archive that cannot be read gets a line too, and its path goes to `*unreadable`.
bool CollectTypes(int numPatterns, char** patterns, std::vector<TypeStatistics>* sorted,
                  std::set<std::string>* unreadable) {
    std::map<std::string, TypeStatistics> types;
    for (int p = 0; p < numPatterns; ++p) {
        if (std::strchr(patterns[p], '*') == nullptr) {
            std::fprintf(stderr, "Invalid path: %s\n", patterns[p]);
            return false;
        }
        for (const platform::FoundFile& found : Find(patterns[p])) {
            // Folders and special files that a pattern finds are no archives; they are passed over.
            if (!found.attributes.isRegularFile) continue;
            const std::string path = FoundPath(patterns[p], found.name);
            GAME::Archive archive;
            archive.OpenRead(path.c_str());
            if (!ReportOpen(path.c_str(), archive)) {
                unreadable->insert(path);
                continue;
            }
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
    for (const auto& [type, stats] : types) sorted->push_back(stats);
    std::stable_sort(sorted->begin(), sorted->end(), [](const TypeStatistics& a, const TypeStatistics& b) {
        return a.totalExpandedSize > b.totalExpandedSize;
    });
    return true;
}

// The table of file types and its total line.
void WriteTypeTable(platform::TextWriter& report, const std::vector<TypeStatistics>& sorted) {
    report.Write("\r\n");
    report.Write(ruleLine);
    report.Write(" Type      Count       Size    Compressed Size    Compression   Avg. Size\r\n");
    report.Write(ruleLine);
    unsigned int totalCount = 0, expandedKilobytes = 0, storedKilobytes = 0;
    for (const TypeStatistics& stats : sorted) {
        const float expanded = Single(stats.totalExpandedSize) * bytesToMegabytes;
        const float stored = Single(stats.totalSize) * bytesToMegabytes;
        report.Print("%5s %10u %10.2f MB %12.2f MB %11.1f %11.1f KB\r\n", stats.type.c_str(), stats.count,
                     static_cast<double>(expanded), static_cast<double>(stored),
                     static_cast<double>(Compression(Single(stats.totalSize), Single(stats.totalExpandedSize))),
                     static_cast<double>(AverageKilobytes(expanded, stats.count)));
        totalCount += stats.count;
        // The totals are kept in whole kilobytes, so they can differ slightly from the rows.
        expandedKilobytes += stats.totalExpandedSize >> 10;
        storedKilobytes += stats.totalSize >> 10;
    }
    report.Write(ruleLine);
    const float expandedTotal = Single(expandedKilobytes) * kilobytesToMegabytes;
    const float storedTotal = Single(storedKilobytes) * kilobytesToMegabytes;
    report.Print("Total %10u %10.2f MB %12.2f MB %11.1f %11.1f KB\r\n\r\n\r\n", totalCount,
                 static_cast<double>(expandedTotal), static_cast<double>(storedTotal),
                 static_cast<double>(Compression(Single(storedKilobytes), Single(expandedKilobytes))),
                 static_cast<double>(AverageKilobytes(expandedTotal, totalCount)));
}

// The table of the archives themselves, found again in pattern order; those already found
// unreadable are not tried again.
void WriteArchiveTable(platform::TextWriter& report, int numPatterns, char** patterns,
                       const std::set<std::string>& unreadable) {
    report.Write(ruleLine);
    report.Write(" Archive File       Num Files       File Size      Fragmentation\r\n");
    report.Write(ruleLine);
    for (int p = 0; p < numPatterns; ++p) {
        for (const platform::FoundFile& found : Find(patterns[p])) {
            const std::string path = FoundPath(patterns[p], found.name);
            GAME::Archive archive;
            if (!found.attributes.isRegularFile || unreadable.count(path) != 0 || !archive.OpenRead(path.c_str()))
                continue;
            GAME::ArchiveStatistics stats;
            archive.GetStatistics(stats);
            const float fragmentation = stats.numEntries != 0 ? Single(stats.numEntries - stats.numActiveFiles) /
                                                                    Single(stats.numEntries) * 100.0f
                                                              : 0.0f;
            const unsigned int fileSize = static_cast<unsigned int>(found.attributes.size);  // low 32 bits
            report.Print("%-20s %8u %15.2f MB, %8.1f%%\r\n", found.name.c_str(), archive.GetNumFiles(),
                         static_cast<double>(Single(fileSize) * bytesToMegabytes), static_cast<double>(fragmentation));
        }
    }
}

}  // namespace

bool WriteTotalStatistics(const char* reportPath, int numPatterns, char** patterns) {
    platform::TextWriter report;
    if (!report.Open(reportPath)) {
        std::fprintf(stderr, "Failed to write report file %s.\n", reportPath);
        return false;
    }
    std::vector<TypeStatistics> sorted;
    std::set<std::string> unreadable;
    // An invalid pattern leaves the report empty.
    if (!CollectTypes(numPatterns, patterns, &sorted, &unreadable)) return false;
    WriteTypeTable(report, sorted);
    WriteArchiveTable(report, numPatterns, patterns, unreadable);
    if (!report.Close()) {
        std::fprintf(stderr, "Failed to write report file %s.\n", reportPath);
        return false;
    }
    return unreadable.empty();
}

}  // namespace tool
