#include "tool/editor/BlockCompressor.h"

#include <map>
#include <new>

#include <lz4.h>
#include <zlib.h>

#include "Engine/MemGrowth.h"
#include "platform/File.h"

namespace GAME {
namespace {

// Raw bytes that workers may read and pack ahead of the taker. The file being taken may go a
// few blocks past it, so that it never waits behind files announced after it.
constexpr std::uint64_t bytesAheadLimit = 16u << 20;
// What a packed block costs beyond its bytes.
constexpr std::uint64_t blockOverhead = 256;
// Loose files open at once for reading ahead.
constexpr unsigned int openFilesLimit = 64;

}  // namespace

namespace {

// Fills `block` with the `storedLength` bytes at `stored` for the `length` raw bytes at `raw`, and
// their checksum. Gives false when memory runs out.
bool FillBlock(const char* stored, unsigned int storedLength, const char* raw, unsigned int length,
               PackedBlock& block) {
    if (!mem::TryAssign(block.bytes, stored, stored + storedLength)) return false;
    block.expandedSize = length;
    block.checksum =
        static_cast<std::uint32_t>(adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(raw), length));
    return true;
}

// A block as it is, with its checksum.
bool KeepBlock(const char* raw, unsigned int length, PackedBlock& block) {
    return FillBlock(raw, length, raw, length, block);
}

}  // namespace

bool PackBlock(const char* raw, unsigned int length, char* scratch, int scratchSize, PackedBlock& block) {
    const int packed = LZ4_compress_fast(raw, scratch, static_cast<int>(length), scratchSize, 1);
    if (packed <= 0 || static_cast<unsigned int>(packed) >= length) return KeepBlock(raw, length, block);
    return FillBlock(scratch, static_cast<unsigned int>(packed), raw, length, block);
}

struct BlockCompressor::Job {
    explicit Job(std::string fileName) : name(std::move(fileName)) {}

    enum class State {
        announced,
        opening,
        reading,
        failed
    };

    std::string name;
    State state = State::announced;
    platform::FileHandle file = platform::invalidFileHandle;
    std::uint64_t length = 0;
    unsigned int numBlocks = 0;
    unsigned int claimed = 0;   // blocks handed to workers
    unsigned int inFlight = 0;  // of those, still being read or packed
    unsigned int taken = 0;
    bool dropped = false;
    std::map<unsigned int, PackedBlock> packed;  // packed and not yet taken, by block index

    std::uint64_t BlockBytes(unsigned int index, unsigned int blockSize) const {
        const std::uint64_t start = std::uint64_t(index) * blockSize;
        return length - start < blockSize ? length - start : blockSize;
    }
};

BlockCompressor::BlockCompressor(unsigned int threads, unsigned int blockSize, bool compress)
    : blockSize(blockSize), scratchSize(LZ4_compressBound(static_cast<int>(blockSize))), compress(compress) {
    if (threads == 0) threads = std::thread::hardware_concurrency();
    if (threads == 0) threads = 1;
    // Every worker's buffers first: with too little memory there are no workers, and every file
    // is packed by the caller as it would be without this.
    std::vector<std::unique_ptr<char[]>> buffers;
    for (unsigned int i = 0; i < 2 * threads; ++i) {
        buffers.push_back(mem::TryNewArray<char>(i % 2 == 0 ? blockSize : static_cast<std::size_t>(scratchSize)));
        if (buffers.back() == nullptr) return;
    }
    for (unsigned int i = 0; i < threads; ++i) {
        std::unique_ptr<char[]> raw = std::move(buffers[2 * i]);
        std::unique_ptr<char[]> scratch = std::move(buffers[2 * i + 1]);
        workers.emplace_back(
            [this, raw = std::move(raw), scratch = std::move(scratch)] { Work(raw.get(), scratch.get()); });
    }
}

BlockCompressor::~BlockCompressor() {
    std::unique_lock<std::mutex> lock(mutex);
    stopping = true;
    for (const std::shared_ptr<Job>& job : jobs) Drop(job);
    jobs.clear();
    settledJobs = 0;
    current.reset();
    WakeWorkers();
    LetGo(lock);
    for (std::thread& worker : workers) worker.join();
}

void BlockCompressor::LetGo(std::unique_lock<std::mutex>& lock) {
    std::vector<platform::FileHandle> toClose = std::move(closing);
    closing.clear();
    const bool wakeWorkers = std::exchange(wakeWorkersPending, false);
    const bool wakeTaker = std::exchange(wakeTakerPending, false);
    lock.unlock();
    for (const platform::FileHandle file : toClose) platform::CloseFile(file);
    if (wakeWorkers) workAvailable.notify_all();
    if (wakeTaker) blockReady.notify_all();
}

bool BlockCompressor::ActionsPending() const { return !closing.empty() || wakeWorkersPending || wakeTakerPending; }

void BlockCompressor::Expect(const std::string& fileName) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        jobs.push_back(std::make_shared<Job>(fileName));
        // Workers held back by the limits have work already; they are woken when room is made.
        if (idleWorkers == 0 || workersStalled) return;
    }
    workAvailable.notify_one();
}

void BlockCompressor::Expect(const std::vector<std::string>& fileNames) {
    if (fileNames.empty()) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& fileName : fileNames) jobs.push_back(std::make_shared<Job>(fileName));
        if (idleWorkers == 0 || workersStalled) return;
    }
    workAvailable.notify_all();
}

bool BlockCompressor::Begin(const std::string& fileName, std::uint64_t* length, bool announce) {
    std::unique_lock<std::mutex> lock(mutex);
    if (current != nullptr || workers.empty()) return false;
    std::size_t position = 0;
    while (position < jobs.size() && jobs[position]->name != fileName) ++position;
    if (position == jobs.size()) {
        if (!announce) return false;
        jobs.push_back(std::make_shared<Job>(fileName));
    }
    for (; position > 0; --position) {
        Drop(jobs.front());
        PopFront();
    }
    current = jobs.front();
    // The first file announced is the next one any worker opens.
    if (current->state == Job::State::announced && (idleWorkers != 0 || workersStalled)) WakeWorkers();
    WaitForWorkers(lock,
                   [this] { return current->state == Job::State::reading || current->state == Job::State::failed; });
    const bool failed = current->state == Job::State::failed;
    if (failed) {
        EndCurrent();
        WakeWorkersIfRoom();
    } else {
        *length = current->length;
    }
    LetGo(lock);
    return !failed;
}

bool BlockCompressor::Next(PackedBlock& block) {
    std::unique_lock<std::mutex> lock(mutex);
    if (current == nullptr || current->taken >= current->numBlocks) return false;
    Job& job = *current;
    // The taker never waits for a block that the limits keep every worker from.
    if (workersStalled && job.packed.count(job.taken) == 0) WakeWorkers();
    WaitForWorkers(lock, [&job] { return job.packed.count(job.taken) != 0 || job.state == Job::State::failed; });
    const auto found = job.packed.find(job.taken);
    if (found == job.packed.end()) {
        LetGo(lock);
        return false;
    }
    block = std::move(found->second);
    job.packed.erase(found);
    bytesAhead -= job.BlockBytes(job.taken, blockSize) + blockOverhead;
    ++job.taken;
    // The last block ends the file under the same lock: one hand-over fewer a file.
    if (job.taken == job.numBlocks) EndCurrent();
    WakeWorkersIfRoom();
    LetGo(lock);
    return true;
}

void BlockCompressor::End() {
    // Only the taker sets `current`, so it may look without the lock.
    if (current == nullptr) return;
    std::unique_lock<std::mutex> lock(mutex);
    EndCurrent();
    WakeWorkersIfRoom();
    LetGo(lock);
}

template <typename Ready>
void BlockCompressor::WaitForWorkers(std::unique_lock<std::mutex>& lock, Ready ready) {
    if (ready()) return;
    // The workers must hear what the taker asked of them before it sleeps.
    if (std::exchange(wakeWorkersPending, false)) workAvailable.notify_all();
    takerWaiting = true;
    blockReady.wait(lock, ready);
    takerWaiting = false;
}

void BlockCompressor::EndCurrent() {
    if (current == nullptr) return;
    Drop(current);
    PopFront();
    current.reset();
}

void BlockCompressor::WakeWorkers() {
    workersStalled = false;
    wakeWorkersPending = true;
}

void BlockCompressor::WakeWorkersIfRoom() {
    // Not for every block taken: once half the room is free, so that each wake gives the workers
    // a run of work rather than one block.
    if (workersStalled && bytesAhead <= bytesAheadLimit / 2 && openFiles <= openFilesLimit / 2) WakeWorkers();
}

void BlockCompressor::Drop(const std::shared_ptr<Job>& job) {
    job->dropped = true;
    for (const auto& [index, block] : job->packed) bytesAhead -= job->BlockBytes(index, blockSize) + blockOverhead;
    job->packed.clear();
    CloseIfDone(*job);
}

void BlockCompressor::CloseIfDone(Job& job) {
    if (job.file == platform::invalidFileHandle || job.inFlight != 0) return;
    if (job.claimed < job.numBlocks && !job.dropped && job.state != Job::State::failed) return;
    // Closed once the lock is let go: no system call while others wait for it.
    closing.push_back(job.file);
    job.file = platform::invalidFileHandle;
    --openFiles;
}

void BlockCompressor::PopFront() {
    jobs.pop_front();
    if (settledJobs > 0) --settledJobs;
}

std::shared_ptr<BlockCompressor::Job> BlockCompressor::NextClaim(unsigned int* blockIndex) {
    // The jobs at the front that need no worker any more are passed over once, not on every
    // claim: with many small files, thousands of them wait packed for the taker.
    const auto settled = [](const Job& job) {
        return job.dropped || job.state == Job::State::failed ||
               (job.state == Job::State::reading && job.claimed == job.numBlocks);
    };
    while (settledJobs < jobs.size() && settled(*jobs[settledJobs])) ++settledJobs;
    for (std::size_t i = settledJobs; i < jobs.size(); ++i) {
        const std::shared_ptr<Job>& job = jobs[i];
        if (settled(*job) || job->state == Job::State::opening) continue;
        if (job->state == Job::State::announced) {
            if (openFiles >= openFilesLimit) {
                workersStalled = true;
                return nullptr;
            }
            *blockIndex = UINT32_MAX;  // open it
            ++openFiles;
            return job;
        }
        const std::uint64_t cost = job->BlockBytes(job->claimed, blockSize) + blockOverhead;
        const bool withinLimit = bytesAhead + cost <= bytesAheadLimit;
        const bool nearTaker = i == 0 && job->claimed < job->taken + 2 * workers.size();
        if (!withinLimit && !nearTaker) {
            workersStalled = true;
            return nullptr;
        }
        *blockIndex = job->claimed++;
        ++job->inFlight;  // from the claim on, so that the file stays open for it
        bytesAhead += cost;
        return job;
    }
    return nullptr;
}

void BlockCompressor::Work(char* raw, char* scratch) {
    std::unique_lock<std::mutex> lock(mutex);
    std::shared_ptr<Job> job;
    unsigned int blockIndex = 0;
    while (!stopping) {
        // A file just opened goes on with its first block at once, without a claim of its own.
        if (job == nullptr) job = NextClaim(&blockIndex);
        if (job == nullptr) {
            if (ActionsPending()) {
                LetGo(lock);
                lock.lock();
                continue;
            }
            ++idleWorkers;
            workAvailable.wait(lock);
            --idleWorkers;
            continue;
        }
        if (blockIndex == UINT32_MAX) {
            // Opening and measuring happen outside the lock; the other workers go on meanwhile.
            job->state = Job::State::opening;
            LetGo(lock);
            std::uint64_t length = 0;
            const platform::FileHandle file = platform::OpenFileForRead(job->name.c_str(), &length);
            const bool opened = file != platform::invalidFileHandle && length <= 0xFFFFFFFFull;
            lock.lock();
            if (file == platform::invalidFileHandle) --openFiles;  // counted when it was claimed
            job->file = file;
            job->length = length;
            job->numBlocks = static_cast<unsigned int>((length + blockSize - 1) / blockSize);
            job->state = opened ? Job::State::reading : Job::State::failed;
            const bool firstBlock = opened && !job->dropped && job->numBlocks != 0;
            if (firstBlock) {
                blockIndex = job->claimed++;
                ++job->inFlight;
                bytesAhead += job->BlockBytes(blockIndex, blockSize) + blockOverhead;
            }
            CloseIfDone(*job);
            // Only the file the taker waits for is worth waking it for.
            if (takerWaiting && job == current) wakeTakerPending = true;
            // Its blocks, beyond the one this worker takes next, are work for the others.
            if (idleWorkers != 0 && job->numBlocks > 1) wakeWorkersPending = true;
            if (!firstBlock) job.reset();
            continue;
        }

        const platform::FileHandle file = job->file;
        const std::uint64_t expected = job->BlockBytes(blockIndex, blockSize);
        const bool last = blockIndex + 1 == job->numBlocks;
        LetGo(lock);
        // The last block asks for a whole block, so that a file that grew is seen to differ.
        std::uint32_t bytesRead = 0;
        PackedBlock block;
        const bool ok =
            platform::ReadFileAt(file, raw, last ? blockSize : static_cast<unsigned int>(expected),
                                 std::uint64_t(blockIndex) * blockSize, &bytesRead) &&
            bytesRead == expected &&
            (compress ? PackBlock(raw, bytesRead, scratch, scratchSize, block) : KeepBlock(raw, bytesRead, block));
        lock.lock();
        --job->inFlight;
        if (ok && !job->dropped) {
            job->packed.emplace(blockIndex, std::move(block));
        } else {
            bytesAhead -= expected + blockOverhead;
            if (!ok) job->state = Job::State::failed;
        }
        CloseIfDone(*job);
        if (takerWaiting && job == current && (job->packed.count(job->taken) != 0 || job->state == Job::State::failed))
            wakeTakerPending = true;
        WakeWorkersIfRoom();
        job.reset();
    }
    LetGo(lock);
}

}  // namespace GAME
