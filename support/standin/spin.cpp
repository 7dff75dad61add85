#include "spin.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace olk {

namespace {

constexpr int64_t kDefaultSpinNs = spinning::kDefaultNs;
constexpr int64_t kMaxSpinNs = 1000000;

int64_t budget_from_environment() noexcept {
    const char *text = std::getenv("OLK_SPIN_NS");
    if (text == nullptr || *text == '\0') return kDefaultSpinNs;
    const int saved = errno;
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    const bool parsed = errno == 0 && *end == '\0' && value >= 0 && value <= kMaxSpinNs;
    errno = saved;
    return parsed ? static_cast<int64_t>(value) : kDefaultSpinNs;
}

// -1 until first asked. Two threads asking at once both compute the same value.
std::atomic<int64_t> g_budget{-1};

}  // namespace

int64_t spin_budget_ns() noexcept {
    int64_t budget = g_budget.load(std::memory_order_relaxed);
    if (budget < 0) {
        budget = budget_from_environment();
        g_budget.store(budget, std::memory_order_relaxed);
    }
    return budget;
}

}  // namespace olk
