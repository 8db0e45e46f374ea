// Look defaults over a cpl.defs holding the given values, with the built-ins
// behind them, in a folder of their own for the object's life.
#pragma once

#include <initializer_list>
#include <map>
#include <memory>
#include <utility>

#include "look_defaults.h"
#include "temp_folder.h"

namespace cpl::test {

class LookDefaultsFile {
public:
    LookDefaultsFile(std::initializer_list<std::pair<const char*, juce::String>> values)
        : LookDefaultsFile(std::map<juce::String, juce::String>(values.begin(), values.end())) {}

    explicit LookDefaultsFile(const std::map<juce::String, juce::String>& values) {
        juce::String xml = "<PROPERTIES>";
        for (const auto& [key, value] : values) xml << "<VALUE name=\"" << key << "\" val=\"" << value << "\"/>";
        xml << "</PROPERTIES>";
        folder_.write("cpl.defs", xml.toStdString());
        defaults_ = std::make_unique<LookDefaults>(folder_.path());
        defaults_->setNames("cpl", "defs");
        cpl::writeBuiltinLookDefaults(defaults_->builtins());
    }
    LookDefaultsFile(const LookDefaultsFile&) = delete;
    LookDefaultsFile& operator=(const LookDefaultsFile&) = delete;

    LookDefaults* get() { return defaults_.get(); }

private:
    TempFolder folder_;
    std::unique_ptr<LookDefaults> defaults_;
};

}  // namespace cpl::test
