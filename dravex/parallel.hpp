// Work over an index range on a few std::threads, for the batch steps of
// the forecasting core. Plain C++, no Python.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace quon {

// fn(i) for every i in [0, count), on `threads` threads (the calling one
// among them), which take chunks of `chunk` consecutive indices from a
// shared counter so that uneven work still balances. Each index is handed
// out once; fn must not touch what another index writes. The first
// exception a call throws stops the handing out and is rethrown here once
// every thread has finished. When the system refuses a thread, the threads
// already running (at least the calling one) do all the work.
template <typename Fn>
void parallel_for(std::size_t count, unsigned threads, std::size_t chunk, Fn&& fn) {
    chunk = std::max<std::size_t>(chunk, 1);
    const std::size_t chunks = (count + chunk - 1) / chunk;
    const std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>(threads, chunks));
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::exception_ptr error;
    std::mutex error_mutex;
    auto work = [&] {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::size_t c = next.fetch_add(1, std::memory_order_relaxed);
            if (c >= chunks) return;
            try {
                const std::size_t end = std::min(count, (c + 1) * chunk);
                for (std::size_t i = c * chunk; i < end; ++i) fn(i);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
                stop = true;
            }
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(workers - 1);
    try {
        for (std::size_t w = 1; w < workers; ++w) pool.emplace_back(work);
    } catch (const std::exception&) {
        // No further thread could be started: those there are do the work.
    }
    work();
    for (std::thread& t : pool) t.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace quon
