#include "look_defaults.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "defaults_source.h"

LookDefaults* lookDefaults = nullptr;

namespace {

constexpr const char* kRootTag = "PROPERTIES";
constexpr const char* kValueTag = "VALUE";
constexpr const char* kNameAttribute = "name";
constexpr const char* kValueAttribute = "val";

}  // namespace

// The file is read whole and parsed once: a first pass over only the outer
// element would keep just its first 8 KB of a UTF-16 file for the second pass.
// Only a regular file of bounded size with plain, shallow markup is parsed: the
// parser recurses once per nested element and waits on a FIFO for a writer.
// Tags are compared with equalsIgnoreCase, not XmlElement::hasTagName, which
// asserts on a match that differs in case.
DefaultsFile::DefaultsFile(const juce::File& source) : juce::PropertySet(true), file(source) {
    const auto text = cpl::readRegularFileText(file, cpl::kMaxDefaultsFileBytes);  // UTF-8, or UTF-16 by its mark
    if (!text || !cpl::isPlainMarkup(*text, cpl::kMaxDefaultsNesting)) return;

    const auto root = juce::parseXML(*text);
    if (root == nullptr || !root->getTagName().equalsIgnoreCase(kRootTag)) return;

    for (const auto* element : root->getChildIterator()) {
        if (!element->getTagName().equalsIgnoreCase(kValueTag)) continue;
        const auto name = element->getStringAttribute(kNameAttribute);
        if (name.isEmpty()) continue;
        setValue(name, element->getStringAttribute(kValueAttribute));  // replaces a key equal ignoring case
    }
}

LookDefaults::LookDefaults()
    : LookDefaults(juce::File::getSpecialLocation(juce::File::currentExecutableFile).getParentDirectory()) {}

LookDefaults::LookDefaults(const juce::File& folder) : programFolder(folder) {}

LookDefaults::~LookDefaults() {
    releaseBuiltins();
    defaultsFile.reset();
}

void LookDefaults::setNames(const juce::String& name, const juce::String& extension) {
    fileName = name;
    fileExtension = extension;
}

void LookDefaults::load() {
    if (defaultsFile == nullptr) {
        // Without the program's folder (or a name) there is no file to read, but
        // an empty set still stands in front of the built-ins, so every lookup
        // has one road.
        juce::File source;
        if (programFolder != juce::File() && fileName.isNotEmpty())
            source = programFolder.getChildFile(fileName).withFileExtension(fileExtension);
        defaultsFile = std::make_unique<DefaultsFile>(source);
    }
    if (builtinDefaults == nullptr) builtinDefaults = std::make_unique<juce::PropertySet>(true);

    const juce::ScopedLock lock(defaultsFile->getLock());
    defaultsFile->setFallbackPropertySet(builtinDefaults.get());
}

DefaultsFile& LookDefaults::file() {
    if (defaultsFile == nullptr) load();
    return *defaultsFile;
}

juce::PropertySet& LookDefaults::builtins() {
    if (builtinDefaults == nullptr) load();
    return *builtinDefaults;
}

void LookDefaults::releaseBuiltins() {
    if (builtinDefaults == nullptr) return;
    if (defaultsFile != nullptr) {
        const juce::ScopedLock lock(defaultsFile->getLock());
        if (defaultsFile->getFallbackPropertySet() == builtinDefaults.get()) defaultsFile->setFallbackPropertySet(nullptr);
    }
    builtinDefaults.reset();
}

int LookDefaults::integer(juce::StringRef key) {
    return cpl::integerFromText(text(key));
}

juce::Colour LookDefaults::colour(juce::StringRef key) {
    return cpl::colourFromText(text(key));
}

namespace cpl {

const std::array<BuiltinLookDefault, 33> kBuiltinLookDefaults{{
    {"vendorInfo1", "QUV VEXA USB Platform"},
    {"vendorInfo2", "Drivers and control panel for VEXA USB audio interfaces"},
    {"TitleBarColour", "FFFFFFFF"},
    {"TitleBarButtonColour", "FF191919"},
    {"TitleString", ""},
    {"HeaderColour", "FFFFFFFF"},
    {"HeaderHeight", "0"},
    {"HeaderString", ""},
    {"WindowBackgroundColour", "FFFFFFFF"},
    {"UseWindowBackgroundImage", "0"},
    {"PopupTitleBarColour", "FF404040"},
    {"PopupWindowBackgroundColour", "FFCCCCCC"},
    {"PopupMenuBackgroundColour", "FFDDDDDD"},
    {"TextboxBackgroundColour", "FFCCCCCC"},
    {"TextboxOutlineColour", "FFCCCCCC"},
    {"LabelBackgroundColour", "FFCCCCCC"},
    {"LabelOutlineColour", "00CCCCCC"},
    {"ComboBackgroundColour", "FFCCCCCC"},
    {"ComboOutlineColour", "FFCCCCCC"},
    {"ComboArrowColour", "FF000000"},
    {"ComboUseFormattedSampleRates", "0"},
    {"TextButtonColour", "FFCCCCCC"},
    {"ToggleButtonColour", "FFCCCCCC"},
    {"ListboxBackgroundColour", "FF8E8E8E"},
    {"ListboxOutlineColour", "FFCCCCCC"},
    {"GroupOutlineColour", "FF8E8E8E"},
    {"GroupBackgroundColour", "00000000"},
    {"GroupFontSize", "15"},
    {"ToolTipTextColour", "FF191919"},
    {"ToolTipOutlineColour", "FF3F3F3F"},
    {"ToolTipBackgroundColour", "FFCECECE"},
    {"ProgressBarBackgroundColour", "FF8E8E8E"},
    {"ProgressBarForegroundColour", "FF8E8E8E"},
}};

void writeBuiltinLookDefaults(juce::PropertySet& builtins) {
    for (const auto& entry : kBuiltinLookDefaults) builtins.setValue(entry.key, juce::String(entry.value));
}

// strtoll stops at the ends of its own range, which lie beyond an int's.
int integerFromText(const juce::String& text) {
    const long long value = std::strtoll(text.toRawUTF8(), nullptr, 10);
    constexpr long long kLowest = std::numeric_limits<int>::min(), kHighest = std::numeric_limits<int>::max();
    return static_cast<int>(std::clamp(value, kLowest, kHighest));
}

// Unsigned arithmetic: a ninth digit shifts the first one out instead of
// overflowing a signed value.
juce::Colour colourFromText(const juce::String& text) {
    juce::uint32 argb = 0;
    for (auto p = text.getCharPointer(); !p.isEmpty();) {
        const int digit = juce::CharacterFunctions::getHexDigitValue(p.getAndAdvance());
        if (digit >= 0) argb = (argb << 4) | static_cast<juce::uint32>(digit);
    }
    return juce::Colour(argb);
}

}  // namespace cpl
