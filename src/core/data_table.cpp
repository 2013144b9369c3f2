#include "core/data_table.hpp"

namespace trelvik {

std::string message(const DataTableError& error) {
    switch (error.kind) {
        case DataTableError::Kind::EmptyEntries:
            return "Data table must not have empty entries.";
        case DataTableError::Kind::OnlyOneStand:
            return "There's only one stand. Nothing to optimize here.";
        case DataTableError::Kind::VariableCountMismatch:
            break;
    }
    return "There are " + std::to_string(error.expected) + " variables in the first entry, but got " +
           std::to_string(error.found) + " at index [" + std::to_string(error.stand_index) + "][" +
           std::to_string(error.option_index) +
           "]. Need same number of variables in all data table entries!";
}

std::variant<DataTable, DataTableError> build_table(RawTable&& raw) {
    using Kind = DataTableError::Kind;
    const uint64_t n_stands = raw.stand_ends.size();
    if (n_stands == 1) return DataTableError{Kind::OnlyOneStand};
    if (n_stands == 0 || raw.stand_ends[0] == 0) return DataTableError{Kind::EmptyEntries};

    const uint64_t n_variables = raw.option_ends[0];
    DataTable table;
    table.option_counts.reserve(n_stands);
    table.stands.first_option.reserve(n_stands + 1);
    table.stands.first_option.push_back(0);
    uint64_t option = 0;
    for (uint64_t i = 0; i < n_stands; ++i) {
        const uint64_t stand_end = raw.stand_ends[i];
        table.option_counts.push_back(stand_end - option);
        for (uint64_t j = 0; option < stand_end; ++option, ++j) {
            const uint64_t begin = option == 0 ? 0 : raw.option_ends[option - 1];
            const uint64_t length = raw.option_ends[option] - begin;
            if (length == 0) return DataTableError{Kind::EmptyEntries};
            if (length != n_variables)
                return DataTableError{Kind::VariableCountMismatch, n_variables, length, i, j};
        }
        table.stands.first_option.push_back(stand_end);
    }
    table.stands.values = std::move(raw.values);
    table.n_stands = n_stands;
    table.n_variables = n_variables;
    raw = RawTable{};
    return table;
}

}  // namespace trelvik
