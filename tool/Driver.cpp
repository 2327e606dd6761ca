#include "tool/Driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Engine/Archive.h"
#include "database/Database.h"
#include "platform/Ascii.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "tool/DatabaseCommands.h"
#include "tool/ExtractCommands.h"
#include "tool/Import.h"
#include "tool/ListCommands.h"
#include "tool/NamePattern.h"
#include "tool/OpenReport.h"
#include "tool/RemoveMissing.h"
#include "tool/TotalStatistics.h"
#include "tool/Usage.h"
#include "tool/VerifyCommand.h"

namespace tool {
namespace {

constexpr int exitFailure = 255;     // -1 as a process status
constexpr int exitWriteFailure = 1;  // the archive on disk lacks what the run did
constexpr int exitWorkFailed = 1;    // the command ran, but some of its work failed

// One run's parsed command line.
struct Invocation {
    int argumentCount;  // words after the program name
    char** arguments;   // arguments[1] is the archive, arguments[2] the command word
    GAME::Archive* archive;
    GAME::Database* database;  // loaded for -database only, which leaves the archive unopened
    int compressionLevel;      // 0 to 9; only -add, -replace and -update read it
};

// How a command opens the archive it is given.
enum class OpenAs {
    edit,        // for edit, alone: the commands that change the archive
    readBeside,  // for edit beside other readers, writing the index back only when alone; read
                 // as it is where the user may not write it
    database,    // not as an archive: as the record database it is
    inspect,     // for reading as it is, a journal left alone, the index left to the command
};

struct Command {
    const char* word;
    int minimumArguments;
    OpenAs openAs;
    // The argument that names the one stored file the command needs, when given; 0 for none.
    int oneName;
    // Gives true when the command did all its work, false when some of it failed (each failure
    // has its line on standard error).
    bool (*run)(Invocation& invocation);
};

bool Import(Invocation& in, ImportMode mode) {
    return ImportPath(*in.archive, in.arguments[3], in.arguments[4], ImportOptions{in.compressionLevel, mode});
}

// The exit status of a run:
//   0        the command did all its work. Files left alone by the commands' own rules count as
//            done: -add leaving a stored name, -update leaving a file that is not newer, -remove
//            of a name that is not there.
//   1        the command ran, but some of its work failed, each failure with one line on standard
//            error that names the file and the reason; or the archive could not be written back.
//   255      the archive cannot be opened (or is being edited by another process), the command
//            is unknown, or it has too few arguments.
//   128 + n  signal n stopped the work; the archive holds every file reported added.
const Command commands[] = {
    {"-add", 4, OpenAs::edit, 0, [](Invocation& in) { return Import(in, ImportMode::add); }},
    {"-replace", 4, OpenAs::edit, 0, [](Invocation& in) { return Import(in, ImportMode::replace); }},
    {"-update", 4, OpenAs::edit, 0, [](Invocation& in) { return Import(in, ImportMode::update); }},
    {"-remove", 3, OpenAs::edit, 0,
     [](Invocation& in) {
         const int index = in.archive->FindFile(in.arguments[3]);
         if (index >= 0) in.archive->RemoveFile(index);
         return true;
     }},
    {"-extract", 3, OpenAs::readBeside, 4,
     [](Invocation& in) {
         if (in.argumentCount >= 4) return ExtractFiles(*in.archive, in.arguments[3], in.arguments[4]);
         return ExtractFiles(*in.archive, in.arguments[3], nullptr, ArchiveBaseName(in.arguments[1]));
     }},
    {"-database", 2, OpenAs::database, 0,
     [](Invocation& in) {
         return ExportDatabase(*in.database, in.argumentCount >= 3 ? in.arguments[3] : nullptr,
                               in.argumentCount >= 4 ? in.arguments[4] : nullptr);
     }},
    {"-removeMissing", 3, OpenAs::edit, 0,
     [](Invocation& in) { return RemoveMissingFiles(*in.archive, in.arguments[3]); }},
    {"-compact", 2, OpenAs::edit, 0,
     [](Invocation& in) {
         in.archive->Compact();
         return true;
     }},
    {"-list", 2, OpenAs::readBeside, 0,
     [](Invocation& in) {
         ListFiles(*in.archive);
         return true;
     }},
    {"-stats", 2, OpenAs::readBeside, 0,
     [](Invocation& in) {
         PrintStatistics(*in.archive);
         return true;
     }},
    {"-verify", 2, OpenAs::inspect, 0, [](Invocation& in) { return VerifyArchive(*in.archive, in.arguments[1]); }},
};

const Command* FindCommand(const char* word) {
    for (const Command& command : commands)
        if (platform::EqualIgnoringAsciiCase(word, command.word)) return &command;
    return nullptr;
}

// A command that needs one stored name reads only that record, where the archive's index allows it
// (Archive::OpenReadOne): the lookup then costs one read of the index, not a record for every
// file. Gives false, the archive closed, when the command must open it whole.
bool OpenOneName(const Command* command, int argumentCount, char** arguments, GAME::Archive& archive) {
    if (command == nullptr || command->oneName == 0 || argumentCount < command->oneName) return false;
    // A pattern may choose many records: the whole index is needed.
    if (IsNamePattern(arguments[command->oneName])) return false;
    const bool opened = archive.OpenReadOne(arguments[1], arguments[command->oneName]);
    // A roll-back is told now: the whole open that may follow finds nothing left to tell.
    if (archive.GetRecovery().outcome == GAME::Recovery::rolledBack)
        ReportRecovery(arguments[1], archive.GetRecovery());
    if (!opened) archive.Close(false);
    return opened;
}

// Opens the archive at `path` as `how` says, telling on standard error what stood in the way.
bool OpenArchive(OpenAs how, const char* path, GAME::Archive& archive, std::unique_ptr<GAME::Database>& database) {
    if (how == OpenAs::database) {
        database = std::make_unique<GAME::Database>();
        if (LoadDatabase(path, *database)) return true;
        std::fprintf(stderr, "Failed to open archive file %s.\n", path);
        return false;
    }
    if (how == OpenAs::inspect) {
        archive.OpenInspect(path);
        return ReportOpen(path, archive);
    }
    const bool readsOnly = how == OpenAs::readBeside;
    // Listing and extracting need no write access: an archive the user may only read, or one on
    // a read-only volume, is read as it is and left untouched.
    if (!archive.OpenEdit(path, readsOnly ? GAME::Archive::EditLock::shared : GAME::Archive::EditLock::exclusive) &&
        readsOnly && archive.GetOpenStatus() == GAME::OpenStatus::readOnly)
        archive.OpenRead(path);
    return ReportOpen(path, archive);
}

// The level of -add, -replace and -update: argument 5 when given, clamped to 0-9.
int CompressionLevel(int argumentCount, char** arguments) {
    if (argumentCount < 5) return 0;
    const int level = std::atoi(arguments[5]);
    return level > 9 ? 9 : (level < 0 ? 0 : level);
}

}  // namespace

std::string ElapsedTimeLine(std::uint32_t milliseconds) {
    const std::uint32_t seconds = milliseconds / 1000;
    if (seconds == 0) return "";
    char line[64];
    std::snprintf(line, sizeof line, "Operation completed in %02d:%02d\n", static_cast<int>(seconds / 60),
                  static_cast<int>(seconds % 60));
    return line;
}

int RunCommandLine(int argc, char** argv) {
    const int argumentCount = argc - 1;
    if (argumentCount == 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("brannock %s\n", BRANNOCK_VERSION);
        return 0;
    }
    if (argumentCount < 2) {
        PrintUsage();
        return 0;
    }
    const std::uint32_t start = platform::MillisecondTimer();
    GAME::Archive archive;

    // The report form opens its archives read-only, one at a time, and reports no time.
    if (platform::EqualIgnoringAsciiCase(argv[1], "-totalStats")) {
        if (argumentCount >= 3 && !WriteTotalStatistics(argv[2], argumentCount - 2, argv + 3)) return exitWorkFailed;
        return 0;
    }
    platform::InstallStopSignalHandlers();
    std::unique_ptr<GAME::Database> database;

    // An unknown word opens the archive as the editing commands do, and is then told.
    const Command* command = FindCommand(argv[2]);
    if (!OpenOneName(command, argumentCount, argv, archive) &&
        !OpenArchive(command != nullptr ? command->openAs : OpenAs::edit, argv[1], archive, database))
        return exitFailure;

    Invocation invocation{argumentCount, argv, &archive, database.get(), CompressionLevel(argumentCount, argv)};
    int exitCode = exitFailure;
    if (command == nullptr) {
        std::fprintf(stderr, "Unknown command %s.\n\n", argv[2]);
        PrintUsage();
    } else if (argumentCount < command->minimumArguments) {
        PrintUsage();
    } else {
        exitCode = command->run(invocation) ? 0 : exitWorkFailed;
        // Unsigned arithmetic, so that a clock that wrapped still gives the right span.
        std::fputs(ElapsedTimeLine(platform::MillisecondTimer() - start).c_str(), stdout);
    }

    // The database goes first, then the archive; closing it writes its index back, and a
    // failure there must not pass for success.
    database.reset();
    archive.Close(false);
    if (archive.HasWriteFailed()) {
        std::fprintf(stderr, "Failed to write archive file %s.\n", argv[1]);
        if (exitCode == 0) exitCode = exitWriteFailure;
    }
    if (const int signal = platform::StopSignal()) {
        std::fprintf(stderr, "Stopped by signal %d; the archive holds every file reported added.\n", signal);
        exitCode = 128 + signal;
    }
    return exitCode;
}

}  // namespace tool
