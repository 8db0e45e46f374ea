// What of cpl.defs may reach the XML parser. The user puts the file there, so
// it may be anything: a FIFO, a device, a huge file, or markup nested deeper
// than the parser's recursion can go. Only a regular file of bounded size
// whose markup is plain and shallow is parsed; anything else reads as a
// malformed file does (the built-in values).
#pragma once

#include <cstddef>
#include <optional>

#include <juce_core/juce_core.h>

namespace cpl {

// Far above any real defaults file (a few kilobytes); small enough to read whole at start.
inline constexpr std::size_t kMaxDefaultsFileBytes = 1024 * 1024;

// The file needs two levels (the root and its values); other elements may nest a little.
inline constexpr int kMaxDefaultsNesting = 32;

// The text of a regular file of at most maxBytes, decoded as UTF-8 or, by its
// byte-order mark, UTF-16. Nothing for a missing file, a directory, a FIFO, a
// device, a socket or a larger file. Never waits for a FIFO's writer and
// opens no device.
std::optional<juce::String> readRegularFileText(const juce::File& file, std::size_t maxBytes);

// Whether the text is one element of markup that the XML parser reads in the
// shape it shows, nested at most maxNesting elements deep. Refused, so the
// parser never recurses deeper than the limit: deeper nesting; a document
// type with an internal subset (its entities may expand to more markup); a
// reference other than a named or numeric one (the parser reads a name of
// any other characters as markup); a processing instruction inside the root
// followed by text (the parser goes round it for ever); and anything else
// outside plain tags, attributes in quotes, text, comments, CDATA and
// processing instructions. What follows the root element is not looked at
// (the parser stops there too).
bool isPlainMarkup(const juce::String& text, int maxNesting);

}  // namespace cpl
