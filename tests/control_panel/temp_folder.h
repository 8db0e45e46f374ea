// A folder of the test's own under the temporary directory, removed with it.
#pragma once

#include <cstdlib>
#include <string>

#include <juce_core/juce_core.h>

namespace cpl::test {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = juce::File::getSpecialLocation(juce::File::tempDirectory)
                                  .getChildFile("vexa-panel-XXXXXX")
                                  .getFullPathName()
                                  .toStdString();
        if (::mkdtemp(pattern.data()) != nullptr) folder = juce::File(pattern);
    }
    ~TempFolder() {
        if (folder != juce::File()) folder.deleteRecursively();
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const juce::File& path() const { return folder; }

    juce::File write(const char* name, const std::string& bytes) const {
        auto file = folder.getChildFile(name);
        file.replaceWithData(bytes.data(), bytes.size());
        return file;
    }

private:
    juce::File folder;
};

}  // namespace cpl::test
