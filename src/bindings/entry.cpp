#include "bindings/entry.hpp"

#include <optional>
#include <variant>

#include "bindings/convert.hpp"
#include "bindings/failure.hpp"
#include "bindings/solution.hpp"
#include "engine/front.hpp"
#include "core/platform.hpp"
#include "random/sampler.hpp"

namespace trelvik {

namespace {

const ArgumentSpec find_pareto_front_arguments = {"find_pareto_front", {"data", "epsilon"}};
const ArgumentSpec create_random_points_arguments = {"create_random_points", {"data", "n_points"}};

// The validated table, or nullopt with ValueError set.
std::optional<DataTable> validated_table(RawTable&& raw) {
    auto built = build_table(std::move(raw));
    if (auto* error = std::get_if<DataTableError>(&built)) {
        PyErr_SetString(PyExc_ValueError, message(*error).c_str());
        return std::nullopt;
    }
    return std::move(std::get<DataTable>(built));
}

PyObject* solutions_to_list(ResultArray&& pairs) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    if (!list) return object_creation_failed();
    for (size_t i = 0; i < pairs.size(); ++i) {
        PyObject* solution = new_solution(std::move(pairs[i]));
        if (!solution) return nullptr;  // the list and the remaining pairs go with their owners
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), solution);
    }
    return list.release();
}

// Drawing more designs than the machine could ever hold would only end in the
// kernel killing the process; refuse it up front with MemoryError instead.
bool sample_fits_in_memory(uint32_t n_points, const DataTable& table) {
    const uint64_t limit = memory_and_swap_bytes();
    if (limit == 0) return true;  // unknown: let the allocation decide
    // Per point: the pair and its two arrays with allocator overhead, then the
    // Python object and its list slot.
    const double per_point = sizeof(ResultPair) + 8.0 * static_cast<double>(table.n_stands + table.n_variables) +
                             32 + 96 + sizeof(PyObject*);
    return per_point * n_points <= static_cast<double>(limit);
}

// The road of both entry functions: bind, convert `data` and the second
// argument, validate the table, compute, and turn the pairs into a list. The
// table is released before the Python objects are made.
template <class Value, class Convert, class Compute>
PyObject* run_entry(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, Convert convert,
                    Compute compute) {
    return raising_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref slots[2];
        if (!bind_arguments(spec, args, kwargs, slots)) return nullptr;
        RawTable raw;
        if (!convert_data(slots[0].get(), raw)) return nullptr;
        Value value;
        if (!convert(slots[1].get(), &value)) {
            argument_error(spec.positional_names[1]);
            return nullptr;
        }
        ResultArray pairs;
        {
            std::optional<DataTable> table = validated_table(std::move(raw));
            if (!table || !compute(*table, value, pairs)) return nullptr;
        }
        return solutions_to_list(std::move(pairs));
    });
}

PyObject* find_pareto_front(PyObject*, PyObject* args, PyObject* kwargs) {
    return run_entry<double>(find_pareto_front_arguments, args, kwargs, convert_double,
                             [](const DataTable& table, double epsilon, ResultArray& pairs) {
                                 pairs = build_front(table, epsilon);
                                 return true;
                             });
}

PyObject* create_random_points(PyObject*, PyObject* args, PyObject* kwargs) {
    return run_entry<uint32_t>(create_random_points_arguments, args, kwargs, convert_count,
                               [](const DataTable& table, uint32_t n_points, ResultArray& pairs) {
                                   if (!sample_fits_in_memory(n_points, table)) {
                                       PyErr_NoMemory();
                                       return false;
                                   }
                                   pairs = sample_random_designs(table, n_points);
                                   return true;
                               });
}

}  // namespace

PyMethodDef entry_methods[2] = {
    {"find_pareto_front", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(find_pareto_front)),
     METH_VARARGS | METH_KEYWORDS, "find_pareto_front(data, epsilon)\n--\n\n"},
    {"create_random_points",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(create_random_points)),
     METH_VARARGS | METH_KEYWORDS, "create_random_points(data, n_points)\n--\n\n"},
};

}  // namespace trelvik
