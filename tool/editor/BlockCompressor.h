// Compressing the blocks of loose files on worker threads, ahead of their addition.
//
// Each block is compressed on its own, so its stored bytes depend on nothing but its raw
// bytes: whichever thread packs it, and in whatever order, the archive receives exactly the
// bytes a single thread would have given it. The main thread still decides everything about
// the archive (which files go in, where they are placed) in the order it always did; the
// workers only read and pack ahead of it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileHandle.h"

namespace GAME {

/// One block of a loose file as the archive stores it.
struct PackedBlock {
    std::vector<char> bytes;  // LZ4 output, or the raw bytes when LZ4 cannot shrink them
    unsigned int expandedSize = 0;
    std::uint32_t checksum = 1;  // Adler-32 of the raw bytes
};

/// Packs the `length` raw bytes at `raw` into `block`: LZ4 at acceleration 1 into `scratch`
/// (at least LZ4_compressBound(length) bytes), kept raw when that does not make it smaller.
/// Gives false only when memory runs out.
bool PackBlock(const char* raw, unsigned int length, char* scratch, int scratchSize, PackedBlock& block);

/// Loose files announced in the order they will be added, packed ahead by worker threads (or, for
/// stored additions, read and summed ahead, their blocks kept raw). The memory held by blocks
/// packed and not yet taken is bounded, whatever the files' sizes.
class BlockCompressor {
public:
    /// `threads` workers (0: one per processor core); `blockSize` as the archive's; `compress`
    /// false keeps every block raw. When the workers' buffers cannot be had there are none, and
    /// Begin always gives false.
    BlockCompressor(unsigned int threads, unsigned int blockSize, bool compress = true);
    ~BlockCompressor();
    BlockCompressor(const BlockCompressor&) = delete;
    BlockCompressor& operator=(const BlockCompressor&) = delete;

    /// The number of worker threads.
    unsigned int Threads() const { return static_cast<unsigned int>(workers.size()); }

    /// Announces that the loose file `fileName` will probably be added next, after those
    /// announced before it. A file that is then not added costs only the work done on it.
    void Expect(const std::string& fileName);

    /// Announces several files at once, in order: one hand-over to the workers for all of them.
    void Expect(const std::vector<std::string>& fileNames);

    /// Starts taking the blocks of `fileName`; files announced before it and not begun are
    /// passed over. Gives false, passing nothing over, when it was not announced (unless
    /// `announce` asks to announce it now, after the others), and false when it could not be
    /// opened as a regular file below 4 GiB: the caller then reads it itself, which tells why.
    /// Otherwise `*length` is the file's length as it was opened.
    bool Begin(const std::string& fileName, std::uint64_t* length, bool announce = false);

    /// The next block of the file begun, waiting for it. Gives false when the file could not be
    /// read as it was opened (it failed, or changed length): the caller then reads it itself.
    /// Taking the last block ends the file, as End does.
    bool Next(PackedBlock& block);

    /// Done with the file begun, whether or not every block was taken.
    void End();

private:
    struct Job;
    // A worker's loop, with its own block buffer and LZ4 output buffer.
    void Work(char* raw, char* scratch);
    // The next thing to do, under the lock: a block to read and pack (`*blockIndex`), or a file
    // to open (`*blockIndex` UINT32_MAX). Null when there is nothing to do now.
    std::shared_ptr<Job> NextClaim(unsigned int* blockIndex);
    void Drop(const std::shared_ptr<Job>& job);
    // End's work, under the lock.
    void EndCurrent();
    // Lets the lock go, then makes the system calls its holder found due: files to close,
    // threads to wake. Nobody waits for the lock behind a system call.
    void LetGo(std::unique_lock<std::mutex>& lock);
    bool ActionsPending() const;
    // Waits, as the taker, until `ready` holds.
    template <typename Ready>
    void WaitForWorkers(std::unique_lock<std::mutex>& lock, Ready ready);
    void CloseIfDone(Job& job);
    void PopFront();
    // Wakes the workers waiting for room ahead or for a file to be opened.
    void WakeWorkers();
    // The same, once enough room has been made for a run of work.
    void WakeWorkersIfRoom();

    const unsigned int blockSize;
    const int scratchSize;
    const bool compress;
    std::mutex mutex;
    std::condition_variable workAvailable;  // for the workers
    std::condition_variable blockReady;     // for the taker
    std::deque<std::shared_ptr<Job>> jobs;  // announced and not yet ended, in order
    std::shared_ptr<Job> current;           // the file begun
    std::size_t settledJobs = 0;            // leading jobs that need no worker any more
    unsigned int openFiles = 0;             // loose files open (or being opened) by workers
    unsigned int idleWorkers = 0;           // workers waiting for something to do
    bool workersStalled = false;            // work is there, but held back by the limits
    bool takerWaiting = false;              // Begin or Next waits for a worker
    // What the holder of the lock leaves to do once it lets go (LetGo).
    std::vector<platform::FileHandle> closing;
    bool wakeWorkersPending = false;
    bool wakeTakerPending = false;
    std::uint64_t bytesAhead = 0;  // raw bytes claimed by workers and not yet taken
    bool stopping = false;
    std::vector<std::thread> workers;
};

}  // namespace GAME
