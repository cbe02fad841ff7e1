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
#include <optional>
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

namespace detail {

// What the threads of orderedParallel share: the results made and not yet
// consumed, and how far the producers may run ahead of the consumer.
template <typename Result>
class OrderedResults {
public:
    using Outcome = std::variant<Result, std::exception_ptr>;

    OrderedResults(std::size_t count, AheadLimit limit)
        : count_(count), window_(std::max<std::size_t>(limit.results, 1)), bytes_(limit.bytes)
    {}

    // The next index to produce, once the window lets it start; nothing
    // when every index is taken or the work stops.
    std::optional<std::size_t> claim()
    {
        std::unique_lock lock(mutex_);
        // The result the consumer waits for is always made.
        changed_.wait(lock, [&] {
            return stop_ || next_ >= count_ ||
                   (next_ < consumed_ + window_ && (waiting_ <= bytes_ || next_ == consumed_));
        });
        if (stop_ || next_ >= count_)
            return std::nullopt;
        return next_++;
    }

    void deliver(std::size_t i, Outcome outcome, std::size_t weight)
    {
        {
            std::lock_guard lock(mutex_);
            ready_.emplace(i, std::pair{std::move(outcome), weight});
            waiting_ += weight;
        }
        changed_.notify_all();
    }

    // Waits for result i and takes it out.
    Outcome take(std::size_t i)
    {
        Outcome outcome;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return ready_.count(i) > 0; });
            auto it = ready_.find(i);
            outcome = std::move(it->second.first);
            waiting_ -= it->second.second;
            ready_.erase(it);
            consumed_ = i + 1;
        }
        changed_.notify_all();
        return outcome;
    }

    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
    }

private:
    const std::size_t count_, window_, bytes_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::size_t, std::pair<Outcome, std::size_t>> ready_;
    std::size_t next_ = 0;     // the next index to produce
    std::size_t consumed_ = 0; // indices below it are consumed
    std::size_t waiting_ = 0;  // what the results made and not consumed weigh
    bool stop_ = false;
};

// One thread's work: results made until none is left to make. An exception
// is kept as the result, to be thrown in the order of i.
template <typename Result, typename Produce, typename Weigh>
void produceAll(OrderedResults<Result> &results, Produce &produce, Weigh &weigh)
{
    while (const std::optional<std::size_t> i = results.claim()) {
        typename OrderedResults<Result>::Outcome outcome;
        std::size_t weight = 0;
        try {
            weight = weigh(outcome.template emplace<0>(produce(*i)));
        } catch (...) {
            outcome.template emplace<1>(std::current_exception());
        }
        results.deliver(*i, std::move(outcome), weight);
    }
}

// Up to `jobs` threads running `work`.
template <typename Work>
std::vector<std::thread> startThreads(unsigned jobs, const Work &work)
{
    std::vector<std::thread> threads;
    try {
        for (unsigned t = 0; t < jobs; ++t)
            threads.emplace_back(work);
    } catch (const std::system_error &) {
        // Fewer threads than asked for still do the work.
        if (threads.empty())
            threads.emplace_back(work);
    }
    return threads;
}

} // namespace detail

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
    detail::OrderedResults<Result> results(count, limit);
    std::vector<std::thread> threads =
        detail::startThreads(jobs, [&] { detail::produceAll(results, produce, weigh); });
    auto stopAll = [&] {
        results.stop();
        for (std::thread &t : threads)
            t.join();
    };
    try {
        for (std::size_t i = 0; i < count; ++i) {
            auto outcome = results.take(i);
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
