// Work on numbered items done by worker threads ahead of one thread that takes the results in
// the items' order.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace GAME {

/// Runs `work(item, worker)` for the items 0 to count - 1 on `threads` threads, each taking a run
/// of consecutive items at a time, never more than a window of items ahead of the last result
/// taken: what the work leaves behind (files, memory) stays close to what has been told. A run
/// ends where `runEnd(first, limit)` says, at most at `limit`: items that would slow each other
/// down on two threads (files of one folder) go to one. The work of one worker never runs on two
/// threads at once, so it may keep state per worker.
template <typename Result>
class InOrderWorkers {
public:
    using Work = std::function<Result(std::size_t item, unsigned worker)>;
    using RunEnd = std::function<std::size_t(std::size_t first, std::size_t limit)>;

    InOrderWorkers(unsigned threads, std::size_t count, Work work, RunEnd runEnd)
        : count(count), work(std::move(work)), runEnd(std::move(runEnd)), slots(window) {
        for (unsigned worker = 0; worker < threads; ++worker) workers.emplace_back([this, worker] { Run(worker); });
    }
    ~InOrderWorkers() { Stop(); }
    InOrderWorkers(const InOrderWorkers&) = delete;
    InOrderWorkers& operator=(const InOrderWorkers&) = delete;

    /// Waits for the result of `item` and gives it; items are taken one after another from 0.
    Result Take(std::size_t item) {
        std::unique_lock<std::mutex> lock(mutex);
        Slot& slot = slots[item % window];
        done.wait(lock, [&] { return slot.done; });
        Result result = std::move(slot.result);
        slot.done = false;
        taken = item + 1;
        room.notify_all();
        return result;
    }

    /// Lets the workers finish the item each is on, takes no new one, and waits for them.
    void Stop() {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        room.notify_all();
        for (std::thread& worker : workers) worker.join();
        workers.clear();
    }

private:
    static constexpr std::size_t window = 1024;
    static constexpr std::size_t longestRun = 128;

    struct Slot {
        Result result{};
        bool done = false;
    };

    void Run(unsigned worker) {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            room.wait(lock, [&] { return stopping || next >= count || next < taken + window; });
            if (stopping || next >= count) return;
            const std::size_t first = next;
            const std::size_t end =
                std::max(first + 1, runEnd(first, std::min({first + longestRun, count, taken + window})));
            next = end;
            for (std::size_t item = first; item < end; ++item) {
                lock.unlock();
                Result result = work(item, worker);
                lock.lock();
                slots[item % window] = Slot{std::move(result), true};
                done.notify_all();
                if (stopping) return;
            }
        }
    }

    const std::size_t count;
    const Work work;
    const RunEnd runEnd;
    std::mutex mutex;
    std::condition_variable room;  // a worker may take items again
    std::condition_variable done;  // a result is there
    std::vector<Slot> slots;       // item i's result in slot i % window, until it is taken
    std::size_t next = 0;          // the first item no worker has taken
    std::size_t taken = 0;         // the items whose results were taken
    bool stopping = false;
    std::vector<std::thread> workers;
};

}  // namespace GAME
