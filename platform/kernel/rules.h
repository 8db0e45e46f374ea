// The layer enforces the kernel's rules (IRQL, pool tags, handle use). A broken
// rule goes to one handler: by default it prints and aborts, so a violation
// fails the test that caused it; a test may install its own handler to count.
#pragma once

#include <functional>
#include <string>

namespace platform {

using RuleViolationHandler = std::function<void(const std::string& rule, const std::string& detail)>;

// Reports a broken kernel rule. Does not return when the default handler runs.
// Cold: the checks on every packet's path keep their report out of line, so
// the path that passes stays a few instructions.
[[gnu::cold]] void rule_violation(const std::string& rule, const std::string& detail);
// The same for a fixed text (builds its strings inside, not at each check).
[[gnu::cold, gnu::noinline]] void rule_violation(const char* rule, const char* detail);

// Installs a handler for the lifetime of the returned guard (the old one comes back after).
class ScopedRuleHandler {
public:
    explicit ScopedRuleHandler(RuleViolationHandler handler);
    ~ScopedRuleHandler();
    ScopedRuleHandler(const ScopedRuleHandler&) = delete;
    ScopedRuleHandler& operator=(const ScopedRuleHandler&) = delete;

private:
    RuleViolationHandler previous_;
};

}  // namespace platform
