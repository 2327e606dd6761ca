// Every editing path with a failing read, write, short write, seek, truncate, reservation, flush
// or deletion at every point where the path makes one. Whatever fails, the archive reopens
// sound, and either the failure is reported or every file it lists has the right bytes.
#include <algorithm>
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "ArchiveFixture.h"
#include "ArchiveFormatCheck.h"
#include "EditFixture.h"
#include "platform/FaultInjection.h"

namespace {

using GAME::Archive;
using platform::FileOperation;

struct Fault {
    FileOperation operation;
    bool shortWrite;
    const char* name;
};

const Fault faults[] = {
    {FileOperation::read, false, "read"},         {FileOperation::write, false, "write"},
    {FileOperation::write, true, "short write"},  {FileOperation::seek, false, "seek"},
    {FileOperation::truncate, false, "truncate"}, {FileOperation::reserve, false, "reserve"},
    {FileOperation::flush, false, "flush"},       {FileOperation::remove, false, "remove"},
};

class FaultInjection : public test::EditFixture {
protected:
    void SetUp() override { initial = MixedArchive(expected); }

    // Runs `edit` on a fresh copy of the archive with the fault armed at call `n`, then checks
    // what the archive on disk holds. Gives false once `n` lies beyond the calls the edit makes.
    bool RunWithFault(const std::function<void(Archive&, std::map<std::string, std::string>&)>& edit,
                      const Fault& fault, std::uint64_t n) {
        test::WriteWholeFile("a.arc", initial);
        std::map<std::string, std::string> contents = expected;
        bool opened = false, failedBeforeClose = false, reported = false;
        test::CaptureStderr([&] {
            Archive archive;
            platform::ArmFault(fault.operation, n, fault.shortWrite);
            opened = archive.OpenEdit("a.arc");
            if (opened) {
                edit(archive, contents);
                failedBeforeClose = platform::FaultDelivered();
                archive.Close(false);
                reported = archive.HasWriteFailed();
            }
        });
        const bool delivered = platform::FaultDelivered();
        platform::DisarmFaults();
        SCOPED_TRACE(std::string(fault.name) + " fault at call " + std::to_string(n));
        if (!opened) {
            EXPECT_EQ(test::ReadWholeFile("a.arc"), initial);  // a refused open writes nothing
            return delivered;
        }
        Archive reader;
        bool readable = false;
        test::CaptureStderr([&] { readable = reader.OpenRead("a.arc"); });
        if (!readable) {
            ADD_FAILURE() << "an unreadable archive" << (reported ? ", reported" : "")
                          << (failedBeforeClose ? ", failed before Close" : "");
            return delivered;
        }
        std::string onDisk = test::ReadWholeFile("a.arc");
        // A commit whose final cut failed leaves the room it reserved behind a whole archive.
        if (reported) onDisk.resize(std::min<std::size_t>(onDisk.size(), test::IndexEnd(onDisk)));
        test::CheckArchiveFormat(onDisk);
        for (unsigned i = 0; i < reader.GetNumFiles(); ++i) {
            const Archive::FileEntry& entry = reader.GetFileEntry(static_cast<int>(i));
            if (entry.name == nullptr) continue;
            std::string bytes(entry.expandedSize, '\0');
            EXPECT_TRUE(reader.ReadFileData(static_cast<int>(i), bytes.data(), 0, entry.expandedSize));
            EXPECT_EQ(test::Adler32(bytes), entry.checksum) << entry.name;
            const auto wanted = contents.find(entry.name);
            if (wanted != contents.end()) {
                EXPECT_EQ(bytes, wanted->second) << entry.name;
                contents.erase(wanted);
            } else if (reported && expected.count(entry.name)) {
                // The edit did not reach the disk, as was reported: the file is as it was.
                EXPECT_EQ(bytes, expected[entry.name]) << entry.name;
            } else {
                ADD_FAILURE() << "an unexpected file " << entry.name;
            }
        }
        // Files the edit said it added or kept are all there unless a failure was reported.
        if (!reported) {
            EXPECT_TRUE(contents.empty()) << contents.size() << " files missing, such as " << contents.begin()->first;
        }
        return delivered;
    }

    void EveryFaultEveryCall(const std::function<void(Archive&, std::map<std::string, std::string>&)>& edit) {
        for (const Fault& fault : faults) {
            std::uint64_t n = 1;
            while (RunWithFault(edit, fault, n) && !HasFatalFailure()) ++n;
            if (HasFatalFailure()) return;
        }
    }

    std::string initial;
    std::map<std::string, std::string> expected;
};

// Adds `name` and records it among the expected files when the archive took it.
void Add(Archive& archive, std::map<std::string, std::string>& contents, const char* name, int level) {
    if (archive.AddFile(name, level) >= 0) {
        std::string normalized;
        Archive::NormalizeFileName(name, normalized);
        contents[normalized] = test::ReadWholeFile(name);
    }
}

TEST_F(FaultInjection, StoredAddition) {
    EveryFaultEveryCall([](Archive& archive, auto& contents) { Add(archive, contents, "new/stored.txt", 0); });
}

TEST_F(FaultInjection, CompressedAddition) {
    EveryFaultEveryCall([](Archive& archive, auto& contents) { Add(archive, contents, "new/packed.bin", 5); });
}

TEST_F(FaultInjection, RemovalAndClose) {
    EveryFaultEveryCall([](Archive& archive, auto& contents) {
        archive.RemoveFile(archive.FindFile("gone.txt"));
        contents.erase("gone.txt");
    });
}

TEST_F(FaultInjection, Compaction) {
    EveryFaultEveryCall([](Archive& archive, auto& contents) {
        archive.RemoveFile(archive.FindFile("keep.txt"));
        contents.erase("keep.txt");
        archive.Compact();
        Add(archive, contents, "new/stored.txt", 0);
    });
}

TEST_F(FaultInjection, CloseAlone) {
    EveryFaultEveryCall([](Archive&, auto&) {});
}

}  // namespace
