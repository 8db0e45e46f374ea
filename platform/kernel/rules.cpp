#include "rules.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace platform {
namespace {

std::mutex g_handlerLock;
RuleViolationHandler g_handler;  // guarded by g_handlerLock; empty = print and abort

}  // namespace

void rule_violation(const std::string& rule, const std::string& detail) {
    RuleViolationHandler handler;
    {
        std::lock_guard lock(g_handlerLock);
        handler = g_handler;
    }
    if (handler) {
        handler(rule, detail);
        return;
    }
    std::fprintf(stderr, "kernel rule violated: %s: %s\n", rule.c_str(), detail.c_str());
    std::fflush(stderr);
    std::abort();
}

void rule_violation(const char* rule, const char* detail) {
    rule_violation(std::string(rule), std::string(detail));
}

ScopedRuleHandler::ScopedRuleHandler(RuleViolationHandler handler) {
    std::lock_guard lock(g_handlerLock);
    previous_ = std::move(g_handler);
    g_handler = std::move(handler);
}

ScopedRuleHandler::~ScopedRuleHandler() {
    std::lock_guard lock(g_handlerLock);
    g_handler = std::move(previous_);
}

}  // namespace platform
