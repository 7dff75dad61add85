// The stand-in's spinning budget (support/spinning.h says how waiters spin).
#ifndef OLK_STANDIN_SPIN_H
#define OLK_STANDIN_SPIN_H

#include <cstdint>

#include "spinning.h"

namespace olk {

using spinning::cpu_relax;
using spinning::Spin;
using spinning::SpinCredit;

// The spinning budget in nanoseconds, from OLK_SPIN_NS, read once per process (olk_standin.h).
int64_t spin_budget_ns() noexcept;

}  // namespace olk

#endif  // OLK_STANDIN_SPIN_H
