#include "native/threads.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "core/parallel.hpp"
#include "native/native.hpp"

namespace vestrim::native {
namespace {

// A fixed count beyond any machine this runs on is a typo, not a request for that many threads.
constexpr std::size_t kMaxThreads = 64;

// A positive integer from the environment, or 0 when the variable is unset or anything else.
std::size_t positive_env(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) return 0;
    std::size_t value = 0;
    for (const char c : std::string_view(text)) {
        if (c < '0' || c > '9' || value > 1'000'000) return 0;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value;
}

PyObject* threads_per_call_entry(PyObject*, PyObject*) { return PyLong_FromSize_t(call_threads()); }

PyMethodDef functions[] = {
    {"threads_per_call", threads_per_call_entry, METH_NOARGS,
     "threads_per_call()\n--\n\n"
     "The threads one evaluation uses: VESTRIM_THREADS when set to a positive integer\n"
     "(at most 64),\n"
     "else max(1, usable cores // VESTRIM_WORKER_PROCESSES (default 1))."},
};

}  // namespace

std::size_t call_threads() {
    if (const std::size_t fixed = positive_env("VESTRIM_THREADS")) return std::min(fixed, kMaxThreads);
    return parallel::threads_per_call(parallel::usable_cores(), positive_env("VESTRIM_WORKER_PROCESSES"));
}

std::span<PyMethodDef> threads_functions() { return functions; }

}  // namespace vestrim::native
