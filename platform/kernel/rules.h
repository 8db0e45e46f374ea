// The layer enforces the kernel's rules (IRQL, pool tags, handle use). A broken
// rule goes to one handler: by default it prints and aborts, so a violation
// fails the test that caused it; a test may install its own handler to count.
#pragma once

#include <functional>
#include <string>

namespace platform {

using RuleViolationHandler = std::function<void(const std::string& rule, const std::string& detail)>;

// Reports a broken kernel rule. Does not return when the default handler runs.
void rule_violation(const std::string& rule, const std::string& detail);

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
