// The bodies of the fuzz targets, shared by the libFuzzer programs and by the test that
// replays every input that ever made one of them fail.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

/// The input is an archive file: open it read-only, list it, read and extract every file, then
/// open a copy for edit and close it.
void RunArchiveTarget(const std::uint8_t* data, std::size_t size);

/// The input is a database file: load it and export every record.
void RunDatabaseTarget(const std::uint8_t* data, std::size_t size);

/// The input is names: normalisation, hashing, lookup, the extraction path rules and the
/// wildcard matcher on arbitrary bytes.
void RunNamesTarget(const std::uint8_t* data, std::size_t size);

/// Makes the process fit for fuzzing: nobody at the terminal, output that goes nowhere.
void PrepareProcess();

}  // namespace fuzz
