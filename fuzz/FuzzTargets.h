// The bodies of the fuzz targets, shared by the libFuzzer programs and by the test that
// replays every input that ever made one of them fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fuzz {

/// The input is an archive file: open it read-only, list it, read and extract every file, then
/// open a copy for edit and close it.
void RunArchiveTarget(const std::uint8_t* data, std::size_t size);

/// The input is a database file: load it and export every record.
void RunDatabaseTarget(const std::uint8_t* data, std::size_t size);

/// The input is names: normalisation, hashing, lookup, the extraction path rules and the
/// wildcard matcher on arbitrary bytes.
void RunNamesTarget(const std::uint8_t* data, std::size_t size);

/// The input is the journal beside an archive whose edit was cut short: open the archive for
/// reading, and a copy of both for edit. The archive must come back as the journal's bytes say,
/// which for the journal the edit wrote is the archive before the edit, or stay as it is beside
/// a journal left as it was.
void RunJournalTarget(const std::uint8_t* data, std::size_t size);

/// A small archive and an edit of it stopped before its commit, as a killed process leaves it.
struct InterruptedEdit {
    std::vector<std::pair<std::string, std::string>> files;  // name and contents of each file
    std::string before;                                      // the archive before the edit
    std::string interrupted;                                 // the archive as the edit left it
    std::string journal;                                     // the journal beside it
};

/// The edit that the journal target's archive comes from and its seed is the journal of; made
/// once per process, the same bytes in every process.
const InterruptedEdit& SampleInterruptedEdit();

/// Makes the process fit for fuzzing: nobody at the terminal, output that goes nowhere.
void PrepareProcess();

}  // namespace fuzz
