#include "irql.h"

#include <string>

#include "rules.h"

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
}

KIRQL KeGetCurrentIrql() { return t_irql; }

void KeRaiseIrql(KIRQL newIrql, KIRQL* oldIrql) {
    if (newIrql < t_irql) {
        platform::rule_violation("IRQL", "KeRaiseIrql to " + std::to_string(newIrql) + " below the current level " +
                                             std::to_string(t_irql));
    }
    *oldIrql = t_irql;
    t_irql = newIrql;
}

void KeLowerIrql(KIRQL newIrql) {
    if (newIrql > t_irql) {
        platform::rule_violation("IRQL", "KeLowerIrql to " + std::to_string(newIrql) + " above the current level " +
                                             std::to_string(t_irql));
    }
    t_irql = newIrql;
}

namespace platform {

void require_passive(const char* call) {
    if (t_irql != PASSIVE_LEVEL) {
        rule_violation("IRQL", std::string(call) + " called at IRQL " + std::to_string(t_irql) +
                                   ", needs PASSIVE_LEVEL");
    }
}

void require_dispatch_or_below(const char* call) {
    if (t_irql > DISPATCH_LEVEL) {
        rule_violation("IRQL", std::string(call) + " called at IRQL " + std::to_string(t_irql) +
                                   ", needs DISPATCH_LEVEL or below");
    }
}

}  // namespace platform
