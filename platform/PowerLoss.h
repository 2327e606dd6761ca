// A simulated power cut, for tests: proves that the order in which the archive code writes and
// flushes keeps an archive whole, which killing a process cannot prove (the operating system
// still writes out everything a killed process wrote).
#pragma once

#include <cstdint>

#include "platform/FileHandle.h"

namespace platform {

/// Starts the simulation. It counts the calls that change what a disk holds (writes, cuts,
/// reservations, flushes of files and of folders, creations and deletions) from 1, and loses
/// power at call `crashAt`. Until then it keeps, for every file written, what the disk durably
/// holds (its contents when it was last flushed, or when the simulation first met it) and the
/// changes made since; and for every folder, the names created and deleted in it since it was
/// last flushed. At the cut, each such file is set to its durable contents plus a random choice
/// of the later changes, in order, one write among them torn; then each folder keeps a random
/// choice of its pending name changes, in order: a created file whose name is lost is gone with
/// its contents, and a deleted file whose name stays keeps the contents it had on disk. `seed`
/// drives the choices. From then on every such call fails, as on a machine without power.
/// Closing is put off until the simulation ends, so that the files can still be set at the cut.
void BeginPowerLossSimulation(std::uint64_t crashAt, std::uint32_t seed);

/// True once the simulated power cut has happened.
bool PowerLost();

/// The calls counted so far: a run that never reaches `crashAt` tells how many points it has.
std::uint64_t PowerLossCalls();

/// Ends the simulation and closes the files whose closing was put off.
void EndPowerLossSimulation();

namespace detail {
extern bool powerLossActive;
/// Each gives true when the call must fail because the power is (now) off; otherwise it
/// records the change that the caller is about to make.
bool PowerLossBeforeWrite(FileHandle file, const void* buffer, std::uint32_t count);
bool PowerLossBeforeWriteAt(FileHandle file, const void* buffer, std::uint32_t count, std::uint64_t offset);
bool PowerLossBeforeCut(FileHandle file);
bool PowerLossBeforeReserve(FileHandle file, std::uint64_t end);
bool PowerLossBeforeFlush(FileHandle file);
bool PowerLossBeforeDelete(const char* path);
bool PowerLossBeforeFolderFlush(const char* path);
bool PowerLossBeforeCreate(const char* path);
/// Records that `file` was just made at `path`.
void PowerLossCreated(const char* path, FileHandle file);
bool PowerLossPathExists(const char* path);
/// True when the simulation keeps the handle open until it ends.
bool PowerLossKeepsOpen(FileHandle file);
}  // namespace detail

}  // namespace platform
