// The machine's state, for the benchmarks' records: how long a load takes from a chain of
// cache lines that fits in one core's L2 cache, and how long a step of a plain integer loop
// takes. On a shared host the first rises when other tenants contend for the core's caches;
// the second moves only with the clock speed.
#include <algorithm>
#include <cstdint>
#include <ctime>
#include <numeric>
#include <random>
#include <vector>

namespace {

constexpr std::size_t kLine = 64;

double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// One pointer per cache line, each pointing at the next line of a random cycle through all
// of them, so that every load waits for the one before and no prefetcher guesses the next.
struct Chain {
    std::vector<unsigned char> bytes;
    explicit Chain(std::size_t size) : bytes(std::max<std::size_t>(size / kLine, 2) * kLine + kLine) {
        const std::size_t lines = bytes.size() / kLine - 1;
        unsigned char* base = bytes.data() + (kLine - reinterpret_cast<std::uintptr_t>(bytes.data()) % kLine);
        std::vector<std::size_t> order(lines);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::shuffle(order.begin(), order.end(), std::mt19937_64(1));
        for (std::size_t i = 0; i < lines; ++i)
            *reinterpret_cast<void**>(base + order[i] * kLine) = base + order[(i + 1) % lines] * kLine;
        start = base + order[0] * kLine;
    }
    void* start = nullptr;
};

void* walk(void* from, long steps) {
    void* at = from;
    for (long i = 0; i < steps; ++i) at = *static_cast<void**>(at);
    return at;
}

}  // namespace

// Exported: the build hides every symbol by default.
#define PROBE_API __attribute__((visibility("default")))

extern "C" {

PROBE_API void* chain_new(long bytes) { return new Chain(static_cast<std::size_t>(bytes)); }

PROBE_API void chain_free(void* chain) { delete static_cast<Chain*>(chain); }

// Nanoseconds of this thread's CPU time per load, over `steps` loads after one untimed pass
// through the chain (which brings it into the cache).
PROBE_API double chain_load_ns(void* chain, long steps) {
    auto* c = static_cast<Chain*>(chain);
    void* at = walk(c->start, static_cast<long>(c->bytes.size() / kLine));
    const double start = thread_seconds();
    at = walk(at, steps);
    const double seconds = thread_seconds() - start;
    return at ? seconds / static_cast<double>(steps) * 1e9 : -1.0;
}

// Nanoseconds of this thread's CPU time per step of a dependent multiply-xorshift loop.
PROBE_API double integer_step_ns(long steps) {
    volatile std::uint64_t seed = 1;
    std::uint64_t x = seed;
    const double start = thread_seconds();
    for (long i = 0; i < steps; ++i) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        x ^= x >> 17;
    }
    const double seconds = thread_seconds() - start;
    seed = x;
    return seconds / static_cast<double>(steps) * 1e9;
}

}  // extern "C"
