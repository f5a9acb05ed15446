// Running the per-sample work on a few threads while the calling thread reports progress.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace scanner {
namespace py = pybind11;

// The worker count for a requested count: 0 or less means one per core.
inline size_t worker_count(long requested, size_t tasks) {
    size_t n = requested > 0 ? static_cast<size_t>(requested) : std::max(1u, std::thread::hardware_concurrency());
    return std::max<size_t>(1, std::min(n, tasks));
}

// Runs `work(i, units)` for every i in [0, count) on `workers` threads. `work` adds the
// progress units it completes (samples, bytes) to `units` as it goes; an exception it throws
// stops the scan and is raised once the workers have ended. The caller holds the GIL:
// it is released while the workers run, and taken back every 100 ms to hand the units done
// so far to `progress` (a callable, or None) and to let Ctrl-C stop the scan. A Python error
// raised there stops the workers and is raised once they have ended.
template <class Work>
void run_parallel(size_t count, size_t workers, const py::object& progress, Work&& work) {
    if (count == 0) return;
    std::atomic<size_t> next{0};
    std::atomic<size_t> units{0};
    std::atomic<size_t> running{workers};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    std::exception_ptr failure;

    auto loop = [&] {
        while (!stop.load(std::memory_order_relaxed)) {
            const size_t i = next.fetch_add(1);
            if (i >= count) break;
            try {
                work(i, units);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!failure) failure = std::current_exception();
                stop = true;
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (--running == 0) finished.notify_all();
    };

    size_t reported = 0;
    auto report = [&] {
        const size_t done = units.load(std::memory_order_relaxed);
        if (done != reported && !progress.is_none()) progress(py::int_(done - reported));
        reported = done;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    };

    {
        py::gil_scoped_release nogil;
        std::vector<std::thread> threads;
        threads.reserve(workers);
        for (size_t t = 0; t < workers; ++t) threads.emplace_back(loop);
        std::unique_lock<std::mutex> lock(mutex);
        while (running.load() > 0) {
            finished.wait_for(lock, std::chrono::milliseconds(100));
            if (running.load() == 0 || failure) continue;
            lock.unlock();
            std::exception_ptr reported_failure;
            {
                py::gil_scoped_acquire gil;
                try {
                    report();
                } catch (...) {
                    reported_failure = std::current_exception();
                }
            }
            lock.lock();
            if (reported_failure && !failure) {
                failure = reported_failure;
                stop = true;
            }
        }
        lock.unlock();
        for (std::thread& t : threads) t.join();
    }
    if (failure) std::rethrow_exception(failure);
    report();
}

}  // namespace scanner
