// What a computation hands back to the caller: (design vector, target vector)
// pairs, in the order produced.
#pragma once

#include <cstdint>
#include <vector>

namespace trelvik {

struct ResultPair {
    std::vector<uint64_t> design_vector;
    std::vector<double> target_vector;
};

using ResultArray = std::vector<ResultPair>;

}  // namespace trelvik
