// The candidate floor: the bare work that any implementation of the front
// construction does per candidate, timed here so that benchmarks/run.py can
// set the engine's cost per candidate against it on the same machine, in the
// same run.
//
// Per candidate: N additions (parent + option), then per variable one
// log1p, one division, a floor and a conversion to an unsigned integer (the
// box index), one multiply-xorshift hash of the N indices, and a store of the
// N sums. Parents are 2,000 random vectors with values in [1e3, 1e7], options
// 20 random vectors in [1, 1e4], epsilon 1e-3: the log1p costs what it costs
// on the sums of a real front.
//
// Times are CPU times of this process (std::clock), best of five passes.
// Output, one line per N from 2 to 6:
//     N=4: 49.47 ns/candidate
//
// Build: c++ -O2 -std=c++20 -o candidate_floor candidate_floor.cpp
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <random>
#include <utility>
#include <vector>

namespace {

// Saturates as the engine does; no failure path is timed.
uint64_t box_index(double q) { return q >= 18446744073709551616.0 ? UINT64_MAX : static_cast<uint64_t>(q); }

uint64_t hash_indices(const uint64_t* key, size_t n) {
    uint64_t h = 0x6A09E667F3BCC909ull ^ n;
    for (size_t k = 0; k < n; ++k) {
        h = (h ^ key[k]) * 0xD6E8FEB86659FD93ull;
        h ^= h >> 32;
    }
    return h;
}

std::vector<double> uniform_vectors(std::mt19937_64& rng, size_t count, size_t n, double low, double high) {
    std::uniform_real_distribution<double> value(low, high);
    std::vector<double> out(count * n);
    for (double& v : out) v = value(rng);
    return out;
}

// Seconds of CPU time for `passes` passes over every parent and option. The
// sums go to a ring of 4,096 slots that stays in the first-level cache; the
// hashes are folded into `sink` so that nothing is optimised away.
template <size_t N>
double time_candidates(const std::vector<double>& parents, const std::vector<double>& options, double g,
                       int passes, uint64_t& sink) {
    const size_t n_parents = parents.size() / N, n_options = options.size() / N;
    std::vector<double> ring(4096 * N);
    size_t slot = 0;
    uint64_t folded = 0;
    const std::clock_t start = std::clock();
    for (int pass = 0; pass < passes; ++pass)
        for (size_t p = 0; p < n_parents; ++p)
            for (size_t j = 0; j < n_options; ++j) {
                double sum[N];
                uint64_t key[N];
                for (size_t k = 0; k < N; ++k) sum[k] = parents[p * N + k] + options[j * N + k];
                for (size_t k = 0; k < N; ++k) key[k] = box_index(std::floor(std::log1p(sum[k] + 1e-9) / g));
                folded += hash_indices(key, N);
                double* out = &ring[(slot++ & 4095) * N];
                for (size_t k = 0; k < N; ++k) out[k] = sum[k];
            }
    const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
    sink += folded + static_cast<uint64_t>(ring[N]);
    return seconds;
}

template <size_t N>
void report(std::mt19937_64& rng, uint64_t& sink) {
    const std::vector<double> parents = uniform_vectors(rng, 2000, N, 1e3, 1e7);
    const std::vector<double> options = uniform_vectors(rng, 20, N, 1.0, 1e4);
    const double g = std::log1p(1e-3);
    constexpr int passes = 20;
    double best = INFINITY;
    for (int round = 0; round < 5; ++round) best = std::min(best, time_candidates<N>(parents, options, g, passes, sink));
    const double candidates = 2000.0 * 20.0 * passes;
    std::printf("N=%zu: %.2f ns/candidate\n", N, best * 1e9 / candidates);
    std::fflush(stdout);
}

template <size_t... N>
void report_all(std::mt19937_64& rng, uint64_t& sink, std::index_sequence<N...>) {
    (report<N + 2>(rng, sink), ...);
}

}  // namespace

int main() {
    std::mt19937_64 rng(20240611);
    uint64_t sink = 0;
    report_all(rng, sink, std::make_index_sequence<5>{});  // N = 2 to 6
    std::fprintf(stderr, "(checksum %llu)\n", static_cast<unsigned long long>(sink));
    return 0;
}
