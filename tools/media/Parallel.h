// Work spread over threads whose results are taken in order: what comes out
// is the same whatever the number of threads, and so are the errors.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstddef>
#include <exception>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace media {

// The number of threads to use for `requested` (0: one per core).
inline unsigned jobsFor(unsigned requested)
{
    if (requested > 0)
        return requested;
    unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? cores : 1;
}

// How far the threads may run ahead of the result consumed: at most
// `results` results, and past the first, at most `bytes` as weighed.
// A wide window keeps every thread busy when one item takes far longer
// than its neighbours (a large file among small ones).
struct AheadLimit {
    std::size_t results;
    std::size_t bytes;
};

// Calls produce(i) for every i below `count` on up to `jobs` threads and
// consume(i, result) on the calling thread in the order of i. At most
// `limit.results` results are made ahead of the one consumed, and no new
// one is started while those waiting weigh (weigh(result)) more than
// `limit.bytes`, so memory stays bounded whatever `count` is. The first
// exception in the order of i, from either function, is thrown once the
// threads have stopped; produce(i) for a later i may have run by then,
// consume(i) never has.
template <typename Result, typename Produce, typename Consume, typename Weigh>
void orderedParallel(std::size_t count, unsigned jobs, AheadLimit limit, Produce produce, Consume consume,
                     Weigh weigh)
{
    if (jobs <= 1 || count <= 1) {
        for (std::size_t i = 0; i < count; ++i)
            consume(i, produce(i));
        return;
    }
    using Outcome = std::variant<Result, std::exception_ptr>;
    const std::size_t window = std::max<std::size_t>(limit.results, 1);
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::size_t, std::pair<Outcome, std::size_t>> ready;
    std::size_t next = 0;     // the next index to produce
    std::size_t consumed = 0; // indices below it are consumed
    std::size_t waiting = 0;  // what the results made and not consumed weigh
    bool stop = false;

    auto work = [&] {
        for (;;) {
            std::size_t i;
            {
                std::unique_lock lock(mutex);
                // The result the consumer waits for is always made.
                changed.wait(lock, [&] {
                    return stop || next >= count ||
                           (next < consumed + window && (waiting <= limit.bytes || next == consumed));
                });
                if (stop || next >= count)
                    return;
                i = next++;
            }
            Outcome outcome;
            std::size_t weight = 0;
            try {
                weight = weigh(outcome.template emplace<0>(produce(i)));
            } catch (...) {
                outcome.template emplace<1>(std::current_exception());
            }
            {
                std::lock_guard lock(mutex);
                ready.emplace(i, std::pair{std::move(outcome), weight});
                waiting += weight;
            }
            changed.notify_all();
        }
    };

    std::vector<std::thread> threads;
    auto stopAll = [&] {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        changed.notify_all();
        for (std::thread &t : threads)
            t.join();
    };
    try {
        for (unsigned t = 0; t < jobs; ++t)
            threads.emplace_back(work);
    } catch (const std::system_error &) {
        // Fewer threads than asked for still do the work.
        if (threads.empty())
            threads.emplace_back(work);
    }

    try {
        for (std::size_t i = 0; i < count; ++i) {
            Outcome outcome;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return ready.count(i) > 0; });
                auto it = ready.find(i);
                outcome = std::move(it->second.first);
                waiting -= it->second.second;
                ready.erase(it);
                consumed = i + 1;
            }
            changed.notify_all();
            if (outcome.index() == 1)
                std::rethrow_exception(std::get<1>(outcome));
            consume(i, std::move(std::get<0>(outcome)));
        }
    } catch (...) {
        stopAll();
        throw;
    }
    stopAll();
}

} // namespace media
