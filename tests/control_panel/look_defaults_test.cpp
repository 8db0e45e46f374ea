#include <chrono>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "defaults_source.h"
#include "look_defaults.h"
#include "temp_folder.h"

namespace {

using cpl::test::TempFolder;

// Far more than reading any file here takes, sanitizers included.
constexpr auto kReadDeadline = std::chrono::seconds(20);

std::string wrap(const std::string& values) {
    return "<PROPERTIES>" + values + "</PROPERTIES>";
}

// ASCII and Latin-1 text as UTF-16 with a byte-order mark.
std::string utf16(const std::u16string& text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char16_t c : text) {
        const char high = static_cast<char>(c >> 8), low = static_cast<char>(c & 0xFF);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
    }
    return bytes;
}

struct ParseCase {
    const char* what;
    std::string bytes;
    std::vector<std::pair<const char*, const char*>> expected;  // looked up by these spellings
};

// Each shape of file a user may put beside the program reads as the rules say.
TEST(DefaultsFileTest, ReadsEveryShapeOfFile) {
    const std::vector<ParseCase> cases = {
        {"upper-case tags", wrap(R"(<VALUE name="TitleString" val="Mixer"/>)"), {{"TitleString", "Mixer"}}},
        // Guards against tags or keys compared with case (and against JUCE's assertion on such a match).
        {"lower-case tags and key", R"(<properties><value name="comboarrowcolour" val="FFFF0000"/></properties>)",
         {{"ComboArrowColour", "FFFF0000"}}},
        {"mixed-case tags", R"(<Properties><Value name="HeaderHeight" val="30"/></Properties>)", {{"headerheight", "30"}}},
        // Guards against a UTF-8 byte-order mark making the file unreadable.
        {"byte-order mark and declaration",
         "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + wrap(R"(<VALUE name="TitleString" val="Mixer"/>)"),
         {{"TitleString", "Mixer"}}},
        {"UTF-16 little-endian", utf16(uR"(<PROPERTIES><VALUE name="TitleString" val="Mélange"/></PROPERTIES>)", false),
         {{"TitleString", "Mélange"}}},
        {"UTF-16 big-endian", utf16(uR"(<PROPERTIES><VALUE name="TitleString" val="Mélange"/></PROPERTIES>)", true),
         {{"TitleString", "Mélange"}}},
        // Guards against reading values out of a file meant for something else.
        {"another root", R"(<SETTINGS><VALUE name="TitleString" val="Mixer"/></SETTINGS>)", {}},
        {"malformed: unclosed root", R"(<PROPERTIES><VALUE name="TitleString" val="Mixer"/>)", {}},
        {"malformed: unterminated attribute", R"(<PROPERTIES><VALUE name="TitleString val=Mixer/></PROPERTIES>)", {}},
        {"malformed: attribute without value", R"(<PROPERTIES><VALUE name/></PROPERTIES>)", {}},
        {"not XML", "TitleString=Mixer\n", {}},
        {"empty file", "", {}},
        {"empty and absent names", wrap(R"(<VALUE name="" val="1"/><VALUE val="2"/><VALUE name="HeaderHeight" val="3"/>)"),
         {{"HeaderHeight", "3"}}},
        // A value without "val" is present and empty: it hides the built-in.
        {"missing value", wrap(R"(<VALUE name="TitleString"/>)"), {{"TitleString", ""}}},
        // Guards against two entries for one key: the later one wins.
        {"duplicate keys in different case",
         wrap(R"(<VALUE name="TitleString" val="First"/><VALUE name="TITLESTRING" val="Second"/>)"),
         {{"titlestring", "Second"}}},
        {"other elements and nested values ignored",
         wrap(R"(<COMMENT name="TitleString" val="x"/><GROUP><VALUE name="HeaderString" val="y"/></GROUP>)"
              R"(<VALUE name="HeaderHeight" val="25"/>)"),
         {{"HeaderHeight", "25"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        DefaultsFile file(folder.write("cpl.defs", c.bytes));
        EXPECT_EQ(file.getAllProperties().size(), static_cast<int>(c.expected.size()));
        for (const auto& [key, value] : c.expected) {
            EXPECT_TRUE(file.containsKey(key)) << key;
            EXPECT_EQ(file.getValue(key, "<absent>"), juce::String::fromUTF8(value)) << key;
        }
    }
}

// Guards against the file being read twice with the second pass seeing only
// its first 8 KB: values far into a large UTF-16 file are still read.
TEST(DefaultsFileTest, ReadsALargeUtf16FileWhole) {
    constexpr int kValues = 3000;
    std::u16string text = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<PROPERTIES>\n";
    for (int i = 0; i < kValues; ++i) {
        const auto line = "  <VALUE name=\"key" + std::to_string(i) + "\" val=\"" + std::to_string(i * 7) + "\"/>\n";
        text += std::u16string(line.begin(), line.end());
    }
    text += u"  <VALUE name=\"TitleString\" val=\"Last of all\"/>\n</PROPERTIES>\n";

    for (bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
        TempFolder folder;
        const auto bytes = utf16(text, bigEndian);
        ASSERT_GT(bytes.size(), 100u * 1024u);
        DefaultsFile file(folder.write("cpl.defs", bytes));
        EXPECT_EQ(file.getAllProperties().size(), kValues + 1);
        EXPECT_EQ(file.getIntValue("key2999", -1), 2999 * 7);
        EXPECT_EQ(file.getValue("TitleString", {}), "Last of all");
    }
}

// Guards against a crash or stray values when there is nothing to read.
TEST(DefaultsFileTest, NoFileGivesAnEmptySet) {
    TempFolder folder;
    for (const auto& source : {folder.path().getChildFile("cpl.defs"), folder.path(), juce::File()}) {
        DefaultsFile file(source);
        EXPECT_EQ(file.getAllProperties().size(), 0) << source.getFullPathName();
        EXPECT_EQ(file.getValue("TitleString", "<absent>"), "<absent>");
    }
}

std::string repeat(const std::string& text, int times) {
    std::string result;
    result.reserve(text.size() * static_cast<size_t>(times));
    for (int i = 0; i < times; ++i) result += text;
    return result;
}

// The number of values read from the file, read on a thread of its own; nothing
// when that thread has not ended by the deadline (it is then left to itself,
// waiting or spinning).
std::optional<int> valuesReadWithin(const juce::File& source) {
    struct Outcome {
        std::mutex mutex;
        std::condition_variable ended;
        std::optional<int> values;  // guarded by mutex
    };
    auto outcome = std::make_shared<Outcome>();
    std::thread reader([outcome, source] {
        DefaultsFile file(source);
        const std::lock_guard<std::mutex> lock(outcome->mutex);
        outcome->values = file.getAllProperties().size();
        outcome->ended.notify_all();
    });
    std::unique_lock<std::mutex> lock(outcome->mutex);
    if (!outcome->ended.wait_for(lock, kReadDeadline, [&] { return outcome->values.has_value(); })) {
        reader.detach();
        return std::nullopt;
    }
    const int values = *outcome->values;
    lock.unlock();
    reader.join();
    return values;
}

struct FileCase {
    const char* what;
    std::string bytes;
    int values;  // how many the file gives
};

// Each file, as cpl.defs, gives its number of values in good time.
void expectValuesRead(const std::vector<FileCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        const auto values = valuesReadWithin(folder.write("cpl.defs", c.bytes));
        ASSERT_TRUE(values.has_value()) << "still reading";
        EXPECT_EQ(*values, c.values);
    }
}

// Guards against a stack overflow in the XML parser, which recurses once per
// nested element: a file nested 50,000 deep (350 KB) gives the built-in values,
// as does markup that the parser would nest by other roads. Nesting up to the
// limit is read.
TEST(DefaultsFileTest, RefusesNestingDeeperThanTheParserCanTake) {
    const std::string value = R"(<VALUE name="TitleString" val="Deep"/>)";
    const auto nested = [&](int depth) {  // the root and depth - 1 elements inside it
        return "<PROPERTIES>" + value + repeat("<a>", depth - 1) + repeat("</a>", depth - 1) + "</PROPERTIES>";
    };
    expectValuesRead({
        {"50,000 deep", nested(50000), 0},
        {"one deeper than the limit", nested(cpl::kMaxDefaultsNesting + 1), 0},
        {"as deep as the limit", nested(cpl::kMaxDefaultsNesting), 1},
        // The parser takes whatever lies between '&' and ';' as an entity's name, and parses
        // an unknown name that starts with '<' as markup.
        {"markup 50,000 deep in a reference's name",
         "<PROPERTIES>" + value + "&" + repeat("<a>", 50000) + ";</PROPERTIES>", 0},
        // An entity of the document's own expands to markup that the parser then parses.
        {"an entity of markup 50,000 deep",
         R"(<!DOCTYPE PROPERTIES [<!ENTITY a ")" + repeat("<a>", 50000) + R"(">]><PROPERTIES>)" + value +
             "&a;</PROPERTIES>",
         0},
        // A document type without entities changes nothing.
        {"a document type without a subset", "<!DOCTYPE PROPERTIES>\n<PROPERTIES>" + value + "</PROPERTIES>", 1},
    });
}

// Guards against a start that never ends: a processing instruction followed by
// text inside the root sends the parser round one place for ever. Followed by a
// tag, or around the root, it is read as before.
TEST(DefaultsFileTest, ProcessingInstructionBeforeTextIsRefused) {
    expectValuesRead({
        {"before text", R"(<PROPERTIES><?note keep?>x<VALUE name="TitleString" val="A"/></PROPERTIES>)", 0},
        {"before a comment and text",
         R"(<PROPERTIES><VALUE name="TitleString" val="A"/> <?a?> <!-- c --><?b?> x </PROPERTIES>)", 0},
        {"between values",
         R"(<PROPERTIES><VALUE name="TitleString" val="A"/> <?note?> <!-- c --> )"
         R"(<VALUE name="HeaderString" val="B"/></PROPERTIES>)",
         2},
        {"around the root",
         R"(<?xml version="1.0"?><?note?><!--c--><PROPERTIES><VALUE name="TitleString" val="A"/></PROPERTIES><?end?>)",
         1},
    });
}

// Guards against a start that waits for ever (SIGTERM included): a FIFO named
// cpl.defs is not opened, so no writer is awaited; nor is any other file that
// is not a regular one, nor a regular file beyond the size limit.
TEST(DefaultsFileTest, ReadsOnlyARegularFileOfBoundedSize) {
    TempFolder folder;
    const juce::File fifo = folder.path().getChildFile("cpl.defs");
    ASSERT_EQ(::mkfifo(fifo.getFullPathName().toRawUTF8(), 0600), 0);
    const auto fromFifo = valuesReadWithin(fifo);
    ASSERT_EQ(fromFifo, std::optional<int>(0)) << (fromFifo ? "values from a FIFO" : "waiting for the FIFO's writer");

    const juce::File link = folder.path().getChildFile("link.defs");  // a name that leads to the FIFO
    ASSERT_TRUE(fifo.createSymbolicLink(link, true));
    EXPECT_EQ(valuesReadWithin(link), std::optional<int>(0));

    EXPECT_EQ(valuesReadWithin(juce::File("/dev/zero")), std::optional<int>(0));
    EXPECT_EQ(valuesReadWithin(folder.path()), std::optional<int>(0));

    // A file within the limit is read, one byte over it is not.
    const std::string head = R"(<PROPERTIES><VALUE name="TitleString" val="Big"/><!--)";
    const std::string tail = "--></PROPERTIES>";
    const size_t fill = cpl::kMaxDefaultsFileBytes - head.size() - tail.size();
    EXPECT_EQ(valuesReadWithin(folder.write("full.defs", head + std::string(fill, ' ') + tail)), std::optional<int>(1));
    EXPECT_EQ(valuesReadWithin(folder.write("over.defs", head + std::string(fill + 1, ' ') + tail)),
              std::optional<int>(0));
}

// Well-formed files of every shape the parser reads still pass the markup check.
TEST(DefaultsFileTest, PlainMarkupCheckPassesOrdinaryFiles) {
    const char* plain[] = {
        R"(<PROPERTIES/>)",
        R"(<?xml version="1.0" encoding="UTF-8"?>

<PROPERTIES>
  <VALUE name="mainWindowPos" val="0 0 382 398"/>
</PROPERTIES>
)",
        R"(<PROPERTIES><VALUE name='a' val='&lt;&amp;&#65;&#x42;&quot;&apos;&gt;&unknown;'/></PROPERTIES>)",
        R"(<PROPERTIES><VALUE name="a" val="x > y < z"/><![CDATA[ <not> &markup ]]>text &amp; more</PROPERTIES>)",
        R"(<PROPERTIES ><VALUE  name = "a"  val="b" ></VALUE ></PROPERTIES> trailing <junk)",
    };
    for (const char* text : plain) EXPECT_TRUE(cpl::isPlainMarkup(text, cpl::kMaxDefaultsNesting)) << text;

    const char* refused[] = {
        "",
        "text before <PROPERTIES/>",
        "< PROPERTIES/>",
        "<PROPERTIES>",
        R"(<PROPERTIES a="1/>)",
        R"(<PROPERTIES a=1/>)",
        R"(<PROPERTIES a/>)",
        R"(<PROPERTIES><VALUE name="a&b" val=""/></PROPERTIES>)",
        R"(<PROPERTIES>&#;</PROPERTIES>)",
        R"(<PROPERTIES>&#x123456789;</PROPERTIES>)",
        R"(<PROPERTIES><!ELEMENT x></PROPERTIES>)",
        R"(<PROPERTIES><!-- unterminated </PROPERTIES>)",
        R"(<!DOCTYPE PROPERTIES [ ]><PROPERTIES/>)",
    };
    for (const char* text : refused) EXPECT_FALSE(cpl::isPlainMarkup(text, cpl::kMaxDefaultsNesting)) << text;
}

class LookDefaultsTest : public ::testing::Test {
protected:
    TempFolder folder;
};

// The file's value first, then the built-in one: one red arrow, every other key as built in.
TEST_F(LookDefaultsTest, FileValuesOverrideBuiltinsKeyByKey) {
    folder.write("cpl.defs", R"(<properties><value name="comboarrowcolour" val="FFFF0000"/></properties>)");
    LookDefaults defaults(folder.path());
    defaults.setNames("cpl", "defs");
    cpl::writeBuiltinLookDefaults(defaults.builtins());

    EXPECT_EQ(defaults.colour("ComboArrowColour"), juce::Colour(0xFFFF0000));
    for (const auto& entry : cpl::kBuiltinLookDefaults) {
        if (juce::String(entry.key) == "ComboArrowColour") continue;
        EXPECT_EQ(defaults.text(entry.key), entry.value) << entry.key;
    }
    EXPECT_EQ(defaults.integer("GroupFontSize"), 15);
    EXPECT_EQ(defaults.file().getFile(), folder.path().getChildFile("cpl.defs"));
}

// A key that neither the file nor the built-ins hold reads as empty, 0 and transparent black.
TEST_F(LookDefaultsTest, UnknownKeysReadEmpty) {
    LookDefaults defaults(folder.path());
    defaults.setNames("cpl", "defs");
    cpl::writeBuiltinLookDefaults(defaults.builtins());
    EXPECT_EQ(defaults.text("BusSettingsBackgroundColour"), "");
    EXPECT_EQ(defaults.integer("BusSettingsBackgroundColour"), 0);
    EXPECT_EQ(defaults.colour("BusSettingsBackgroundColour"), juce::Colour());
}

// Guards against a program whose folder cannot be found losing the built-ins or crashing.
TEST_F(LookDefaultsTest, MissingProgramFolderStillAnswersBuiltins) {
    LookDefaults defaults{juce::File()};
    defaults.setNames("cpl", "defs");
    cpl::writeBuiltinLookDefaults(defaults.builtins());
    EXPECT_EQ(defaults.file().getAllProperties().size(), 0);
    EXPECT_EQ(defaults.text("ComboArrowColour"), "FF000000");
    EXPECT_EQ(defaults.integer("GroupFontSize"), 15);
}

// Guards against a dangling fallback and a double delete: shut-down's release
// unlinks the built-ins first, lookups then find nothing, and destruction
// after it deletes nothing twice (AddressSanitizer watches).
TEST_F(LookDefaultsTest, ReleasingBuiltinsUnlinksThemFirst) {
    folder.write("cpl.defs", wrap(R"(<VALUE name="TitleString" val="Mixer"/>)"));
    auto defaults = std::make_unique<LookDefaults>(folder.path());
    defaults->setNames("cpl", "defs");
    cpl::writeBuiltinLookDefaults(defaults->builtins());
    ASSERT_NE(defaults->file().getFallbackPropertySet(), nullptr);

    defaults->releaseBuiltins();
    EXPECT_EQ(defaults->file().getFallbackPropertySet(), nullptr);
    EXPECT_EQ(defaults->text("TitleBarColour"), "");
    EXPECT_EQ(defaults->text("TitleString"), "Mixer");
    defaults->releaseBuiltins();

    // A later use links a new, empty built-in set behind the same file.
    EXPECT_EQ(defaults->builtins().getAllProperties().size(), 0);
    EXPECT_EQ(defaults->file().getFallbackPropertySet(), &defaults->builtins());
    defaults.reset();
}

// Guards against two built-in entries for one key, one silently replacing the other.
TEST(BuiltinLookDefaultsTest, ThirtyThreeDistinctKeysWrittenInOrder) {
    juce::PropertySet builtins(true);
    cpl::writeBuiltinLookDefaults(builtins);
    const auto keys = builtins.getAllProperties().getAllKeys();
    ASSERT_EQ(keys.size(), 33);
    for (int i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(keys[i], cpl::kBuiltinLookDefaults[static_cast<size_t>(i)].key);
    }
    for (const auto& entry : cpl::kBuiltinLookDefaults) {
        const juce::String key(entry.key), value(entry.value);
        if (key.endsWith("Colour")) {
            EXPECT_TRUE(value.length() == 8 && value.containsOnly("0123456789ABCDEF")) << key;
        }
    }
}

// Integers read as JUCE reads them within an int's range; beyond it they stop
// at the range's ends instead of wrapping round (a header of 4294967296 would
// be none, one of 2147483648 negative).
TEST(IntegerFromTextTest, ReadsLikeJuceAndSaturates) {
    for (const char* text : {"0", "15", "-5", "  42px", "\t-7", "+3", "abc", "", "1e7", "2147483647", "-2147483648",
                             "1000000", "10000000", "007", " \n+12 34"}) {
        EXPECT_EQ(cpl::integerFromText(text), juce::String(text).getIntValue()) << text;
    }
    const struct {
        const char* text;
        int value;
    } beyond[] = {
        {"2147483648", std::numeric_limits<int>::max()},  // JUCE's reader wraps it round to the lowest int
        {"4294967296", std::numeric_limits<int>::max()},  // and this to 0
        {"99999999999999999999999", std::numeric_limits<int>::max()},
        {"-99999999999999999999999", std::numeric_limits<int>::min()},
    };
    for (const auto& c : beyond) EXPECT_EQ(cpl::integerFromText(c.text), c.value) << c.text;

    // Every integer lookup reads this way.
    TempFolder folder;
    folder.write("cpl.defs", wrap(R"(<VALUE name="HeaderHeight" val="4294967296"/>)"));
    LookDefaults defaults(folder.path());
    defaults.setNames("cpl", "defs");
    EXPECT_EQ(defaults.integer("HeaderHeight"), std::numeric_limits<int>::max());
}

// Colours are their hexadecimal digits alone: extra characters are skipped and
// a ninth digit pushes the first one out.
TEST(ColourFromTextTest, ReadsHexDigitsOnly) {
    const struct {
        const char* text;
        juce::uint32 argb;
    } cases[] = {
        {"FFFF0000", 0xFFFF0000}, {"ff00ff00", 0xFF00FF00}, {"1FF00FF00", 0xFF00FF00}, {"#FF 00-zz-FF 00", 0xFF00FF00},
        {"80", 0x00000080},       {"", 0x00000000},         {"xyz", 0x00000000},       {"00CCCCCC", 0x00CCCCCC},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cpl::colourFromText(c.text).getARGB(), c.argb) << c.text;
        if (juce::String(c.text).length() <= 8) {  // within range it agrees with JUCE's reader
            EXPECT_EQ(cpl::colourFromText(c.text).getARGB(), static_cast<juce::uint32>(juce::String(c.text).getHexValue32()));
        }
    }
}

}  // namespace
