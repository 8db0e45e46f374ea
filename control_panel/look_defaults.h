// The look defaults: named text values that drive the panel's appearance.
// The optional read-only file cpl.defs beside the program overrides the
// built-in values key by key; a lookup goes through the file's set, whose
// fallback is the built-in set.
#pragma once

#include <array>
#include <memory>

#include <juce_graphics/juce_graphics.h>

// The values of the file: XML with the root "PROPERTIES" and children
// <VALUE name="key" val="text"/>; tag names match ignoring case, keys too.
class DefaultsFile : public juce::PropertySet {
public:
    // A missing, unreadable or malformed file, or one with another root,
    // gives an empty set.
    explicit DefaultsFile(const juce::File& source);

    const juce::File& getFile() const noexcept { return file; }

private:
    juce::File file;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(DefaultsFile)
};

// Message thread only (start-up, the look-and-feel and the main content read it).
class LookDefaults {
public:
    // The file lies in the folder of the running program.
    LookDefaults();
    // The file lies in programFolder; an empty File stands for a program
    // whose folder could not be found.
    explicit LookDefaults(const juce::File& programFolder);
    ~LookDefaults();

    // Start-up names the file "cpl" with extension "defs" before the first lookup.
    void setNames(const juce::String& name, const juce::String& extension);

    // Reads the file and creates the built-in set when either is missing, and
    // links the built-ins behind the file's values. Runs on first use of file()
    // or builtins().
    void load();

    // Every lookup goes through here: the file's value, else the built-in one.
    DefaultsFile& file();
    juce::PropertySet& builtins();

    // Shut-down: unlinks the built-in set from the file's set under that set's
    // lock, then deletes it; a later load() makes a new, empty one.
    void releaseBuiltins();

    juce::String text(juce::StringRef key) { return file().getValue(key, {}); }
    int integer(juce::StringRef key);  // integerFromText of the value
    juce::Colour colour(juce::StringRef key);

private:
    juce::File programFolder;
    std::unique_ptr<DefaultsFile> defaultsFile;
    std::unique_ptr<juce::PropertySet> builtinDefaults;  // owned here alone; the file's set only points to it
    juce::String fileName;
    juce::String fileExtension;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(LookDefaults)
};

// The process-wide look defaults: created and destroyed by the application's
// start-up and shut-down, null outside them.
extern LookDefaults* lookDefaults;

namespace cpl {

struct BuiltinLookDefault {
    const char* key;
    const char* value;
};

// The 33 built-in values, in the order start-up writes them.
extern const std::array<BuiltinLookDefault, 33> kBuiltinLookDefaults;

// Writes the built-in values into the built-in set, in table order.
void writeBuiltinLookDefaults(juce::PropertySet& builtins);

// A decimal integer as juce::String::getIntValue reads it (C's atoi: leading
// blanks, a sign, then the digits up to the first other character; 0 without
// digits), except that a value beyond an int's range gives the nearer end of
// the range, where atoi's result is undefined (here it wraps round:
// 2147483648 reads as -2147483648, 4294967296 as 0).
int integerFromText(const juce::String& text);

// A colour value: eight hexadecimal digits AARRGGBB; characters that are not
// hexadecimal digits are skipped and only the last eight digits count, as with
// juce::String::getHexValue32. Empty text gives 0 (transparent black).
juce::Colour colourFromText(const juce::String& text);

}  // namespace cpl
