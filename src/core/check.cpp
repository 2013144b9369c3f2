#include "core/check.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/platform.hpp"

namespace trelvik {

namespace {

std::atomic<bool> hint_written{false};
thread_local bool report_in_progress = false;

// Paths in reports start at "src/" (or "src\\" on Windows), whatever
// directory the module was built in.
const char* short_path(const char* file) {
    const char* found = nullptr;
    for (const char* p = std::strstr(file, "src"); p; p = std::strstr(p + 1, "src"))
        if (p[3] == '/' || p[3] == '\\') found = p;
    return found ? found : file;
}

void write_report_text(const std::string& message, const std::source_location& where) {
    std::string name = current_thread_name();
    if (name.empty()) name = "<unnamed>";
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about
    // "literal" + std::string temporaries.
    std::string report = "trelvik: thread '";
    report += name;
    report += "' (";
    report += std::to_string(current_thread_id());
    report += ") failed an internal check at ";
    report += short_path(where.file_name());
    report += ':';
    report += std::to_string(where.line());
    report += ':';
    report += std::to_string(where.column());
    report += ":\n";
    report += message;
    report += "\n";
    if (!hint_written.exchange(true))
        report +=
            "note: the call raises PanicException; for a native stack trace run Python under gdb "
            "with `break trelvik_check_failed`\n";
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

// A named function that a debugger can stop on at every failed check:
// `break trelvik_check_failed`. It is called through a volatile pointer, so
// that no compiler inlines it away.
extern "C" void trelvik_check_failed() {
    static volatile int calls = 0;
    calls = calls + 1;
}

namespace {
void (*volatile check_failed_hook)() = trelvik_check_failed;
}  // namespace

void write_check_report(const std::string& message, const std::source_location& where) {
    if (report_in_progress) {
        std::fputs("trelvik: an internal check failed while another failure was being reported\n",
                   stderr);
        std::abort();
    }
    report_in_progress = true;
    try {
        write_report_text(message, where);
    } catch (...) {  // out of memory while formatting: the bare message still goes out
        std::fputs(message.c_str(), stderr);
        std::fputs("\n", stderr);
    }
    report_in_progress = false;
    check_failed_hook();
}

void fail_check(std::string message, std::source_location where) {
    write_check_report(message, where);
    throw InternalCheckFailure{std::move(message)};
}

void resume_check_failure(std::string message) { throw InternalCheckFailure{std::move(message)}; }

void fail_index_check(uint64_t len, uint64_t index, std::source_location where) {
    fail_check("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                   std::to_string(index),
               where);
}

void fail_equal_check(uint64_t left, uint64_t right, const char* text,
                      std::source_location where) {
    std::string message = "assertion `left == right` failed";
    if (text) {
        message += ": ";
        message += text;
    }
    message += "\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right);
    fail_check(std::move(message), where);
}

}  // namespace trelvik
