// Collects kernel-rule violations instead of aborting, so a test can assert
// that a violation was (or was not) caught.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/rules.h"

namespace vexa::test {

class RuleRecorder {
public:
    RuleRecorder()
        : guard_([this](const std::string& rule, const std::string& detail) {
              std::lock_guard lock(lock_);
              violations_.push_back(rule + ": " + detail);
          }) {}

    std::vector<std::string> violations() {
        std::lock_guard lock(lock_);
        return violations_;
    }
    size_t count() {
        std::lock_guard lock(lock_);
        return violations_.size();
    }

private:
    std::mutex lock_;
    std::vector<std::string> violations_;
    platform::ScopedRuleHandler guard_;
};

}  // namespace vexa::test
