// What a table crafted against one hash seed costs the engine.
//
// Builds a table of two stands and one variable whose 65,536 options, at
// epsilon 1e-9, fall into boxes whose keys collide under the fast hash with
// one chosen seed (the low 12 bits of the hash equal, so they pile up in 32
// slots of the final map), and a random table of the same size and range.
// Then it times
//   1. find_pareto_front's engine on both, with the keys that every call
//      draws at random: the crafted table should cost what the random one does;
//   2. the box map alone on the crafted keys under the chosen seed, as a map
//      with a fixed hash would see them, without and with the switch to the
//      strong hash: what the crafting achieves, and what the switch limits it to;
//   3. drawing the keys of one call.
//
// Build and run from the repository root:
//   c++ -std=c++20 -O2 -ffp-contract=off -Isrc benchmarks/colliding_keys.cpp src/{core,random,engine,engine/filters}/*.cpp -o colliding_keys
//   ./colliding_keys
#include <algorithm>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <random>
#include <vector>

#include "core/data_table.hpp"
#include "engine/box_map.hpp"
#include "engine/front.hpp"
#include "engine/grid_key.hpp"

using namespace trelvik;

namespace {

constexpr double epsilon = 1e-9;
constexpr uint64_t crafted_seed = 0xC0FFEE;
constexpr size_t n_options = 65536;

// The best processor time of a few runs: other work on a shared machine
// disturbs it far less than the wall clock.
template <class Run>
double best_of(int runs, Run run) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        const std::clock_t start = std::clock();
        run();
        best = std::min(best, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC);
    }
    return best;
}

// The key of the candidate (stand 0's option 0.0, then option x) as the
// engine computes it: both shifted by the minimum 0, plus 1e-9 each.
uint64_t candidate_key(double x, double g) { return grid_coordinate_exact(1e-9 + ((x - 0.0) + 1e-9), g); }

DataTable two_stands(const std::vector<double>& values) {
    RawTable raw;
    raw.values.push_back(0.0);
    raw.option_ends.push_back(1);
    raw.stand_ends.push_back(1);
    for (double x : values) {
        raw.values.push_back(x);
        raw.option_ends.push_back(raw.values.size());
    }
    raw.stand_ends.push_back(raw.option_ends.size());
    return std::get<DataTable>(build_table(std::move(raw)));
}

}  // namespace

int main() {
    const double g = std::log1p(epsilon);
    std::vector<double> crafted;
    std::vector<uint64_t> crafted_keys;
    for (uint64_t k = 1'000'000; crafted.size() < n_options; ++k) {
        if ((fast_hash(crafted_seed, &k, 1) & 0xFFF) != 0) continue;
        const double x = std::expm1((static_cast<double>(k) + 0.5) * g) - 3e-9;
        if (candidate_key(x, g) != k) continue;
        crafted.push_back(x);
        crafted_keys.push_back(k);
    }
    std::mt19937_64 rng(1);
    std::uniform_real_distribution<double> uniform(crafted.front(), crafted.back());
    std::vector<double> random(n_options);
    for (double& x : random) x = uniform(rng);

    const DataTable crafted_table = two_stands(crafted);
    const DataTable random_table = two_stands(random);
    size_t fronts = 0;
    const double t_crafted = best_of(9, [&] { fronts += build_front(crafted_table, epsilon).size(); });
    const double t_random = best_of(9, [&] { fronts += build_front(random_table, epsilon).size(); });
    std::printf("find_pareto_front's engine, 2 stands x %zu options, epsilon %g, keys drawn per call:\n",
                n_options, epsilon);
    std::printf("  crafted table %8.2f ms\n  random table  %8.2f ms\n  ratio %.2f\n", 1e3 * t_crafted,
                1e3 * t_random, t_crafted / t_random);

    std::printf("box map alone, the crafted keys:\n");
    const auto fill = [&](BoxMap& boxes) {
        reset_boxes(boxes, 1, 16);
        for (size_t i = 0; i < crafted_keys.size(); ++i) {
            find_or_add_box(boxes, &crafted_keys[i], hash_key(boxes, &crafted_keys[i], 1));
            if (i % 16 == 15) strengthen_if_probed_too_much(boxes, 16);
        }
    };
    struct Case {
        const char* name;
        bool fixed_seed, may_strengthen;
    } cases[] = {{"under the crafted seed, fast hash only", true, false},
                 {"under the crafted seed, with the switch", true, true},
                 {"under keys drawn as a call draws them ", false, true}};
    for (const Case& c : cases) {
        BoxMap boxes;
        const double t = best_of(3, [&] {
            key_boxes(boxes, c.fixed_seed ? BoxHashKeys{crafted_seed, {1, 2}} : draw_box_hash_keys());
            boxes.may_strengthen = c.may_strengthen;
            fill(boxes);
        });
        std::printf("  %s: %9.3f ms, %7.1f slots of displacement per lookup%s\n", c.name, 1e3 * t,
                    static_cast<double>(boxes.displaced) / static_cast<double>(boxes.lookups),
                    boxes.strong ? " (switched to the strong hash)" : "");
    }

    const int draws = 1'000'000;
    uint64_t sink = 0;
    const double t_keys = best_of(3, [&] {
        for (int i = 0; i < draws; ++i) sink += draw_box_hash_keys().seed;
    });
    std::printf("drawing the keys of one call: %.1f ns\n", 1e9 * t_keys / draws);
    std::fprintf(stderr, "(%zu %llu)\n", fronts, static_cast<unsigned long long>(sink));
    return 0;
}
