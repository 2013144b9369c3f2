// Internal checks: conditions that valid input never breaks, or that only an
// unusable epsilon or non-finite data can break. A failed check writes a
// report to standard error and unwinds to the Python boundary, which raises
// it as PanicException. Nothing between the check and the boundary catches it.
#pragma once

#include <cstdint>
#include <source_location>
#include <string>

namespace trelvik {

// Deliberately not derived from std::exception, so that no generic handler
// can swallow it on the way to the boundary.
struct InternalCheckFailure {
    std::string message;
};

// Writes the failure report, then throws InternalCheckFailure.
[[noreturn]] void fail_check(std::string message,
                             std::source_location where = std::source_location::current());

// Throws InternalCheckFailure without a report: for a failure that was already
// reported, or that is being resumed from a PanicException raised in Python.
[[noreturn]] void resume_check_failure(std::string message);

// "index out of bounds: the len is {len} but the index is {index}"
[[noreturn]] void fail_index_check(uint64_t len, uint64_t index,
                                   std::source_location where = std::source_location::current());

// "assertion `left == right` failed[: {text}]\n  left: {left}\n right: {right}"
[[noreturn]] void fail_equal_check(uint64_t left, uint64_t right, const char* text,
                                   std::source_location where = std::source_location::current());

// Writes one report to standard error (used by fail_check, and by the
// boundary for failures that have no check of their own behind them).
void write_check_report(const std::string& message, const std::source_location& where);

}  // namespace trelvik
