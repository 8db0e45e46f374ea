#include "irql.h"

#include <string>

#include "rules.h"

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;

// The reports stay out of line: the checks run on every packet's path.
[[gnu::cold, gnu::noinline]] void ReportLevel(const char* what, KIRQL asked, const char* relation, KIRQL current) {
    platform::rule_violation("IRQL", std::string(what) + " to " + std::to_string(asked) + relation +
                                         std::to_string(current));
}

[[gnu::cold, gnu::noinline]] void ReportCaller(const char* call, KIRQL current, const char* needs) {
    platform::rule_violation("IRQL", std::string(call) + " called at IRQL " + std::to_string(current) + needs);
}

}  // namespace

KIRQL KeGetCurrentIrql() { return t_irql; }

void KeRaiseIrql(KIRQL newIrql, KIRQL* oldIrql) {
    KIRQL current = t_irql;
    if (newIrql < current) [[unlikely]] ReportLevel("KeRaiseIrql", newIrql, " below the current level ", current);
    *oldIrql = current;
    t_irql = newIrql;
}

void KeLowerIrql(KIRQL newIrql) {
    KIRQL current = t_irql;
    if (newIrql > current) [[unlikely]] ReportLevel("KeLowerIrql", newIrql, " above the current level ", current);
    t_irql = newIrql;
}

namespace platform {

void require_passive(const char* call) {
    if (t_irql != PASSIVE_LEVEL) [[unlikely]] ReportCaller(call, t_irql, ", needs PASSIVE_LEVEL");
}

void require_dispatch_or_below(const char* call) {
    if (t_irql > DISPATCH_LEVEL) [[unlikely]] ReportCaller(call, t_irql, ", needs DISPATCH_LEVEL or below");
}

}  // namespace platform
