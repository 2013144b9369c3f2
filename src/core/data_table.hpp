// The data table: stands, each offering options, each option a vector of
// doubles. RawTable is what argument conversion produces; DataTable is the
// validated, immutable form that evaluation, the engine and the sampler read.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace trelvik {

// The converted input, lengths unchecked. Values are stored flat, in input
// order; the two offset arrays delimit options and stands.
struct RawTable {
    std::vector<double> values;         // every value of every option
    std::vector<uint64_t> option_ends;  // per option: one past its last value in `values`
    std::vector<uint64_t> stand_ends;   // per stand: one past its last option in `option_ends`
};

// Flat storage of validated stands: option j of stand i holds the
// n_variables values starting at (first_option[i] + j) * n_variables.
struct Stands {
    std::vector<double> values;
    std::vector<uint64_t> first_option;  // n_stands + 1 entries
};

struct DataTable {
    Stands stands;
    std::vector<uint64_t> option_counts;
    uint64_t n_stands = 0;
    uint64_t n_variables = 0;

    const double* option(uint64_t stand, uint64_t j) const {
        return stands.values.data() + (stands.first_option[stand] + j) * n_variables;
    }
};

struct DataTableError {
    enum class Kind { EmptyEntries, OnlyOneStand, VariableCountMismatch };
    Kind kind;
    uint64_t expected = 0;
    uint64_t found = 0;
    uint64_t stand_index = 0;
    uint64_t option_index = 0;
};

std::string message(const DataTableError& error);

// Validates the raw table and takes over its values without copying them.
std::variant<DataTable, DataTableError> build_table(RawTable&& raw);

}  // namespace trelvik
