#include "defaults_source.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cpl {

namespace {

class ScopedFd {
public:
    explicit ScopedFd(int fd) : fd_(fd) {}
    ~ScopedFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool isRegularWithin(const struct stat& s, std::size_t maxBytes) {
    return S_ISREG(s.st_mode) && s.st_size >= 0 && static_cast<std::uint64_t>(s.st_size) <= maxBytes;
}

}  // namespace

std::optional<juce::String> readRegularFileText(const juce::File& file, std::size_t maxBytes) {
    const juce::String path = file.getFullPathName();
    if (path.isEmpty()) return std::nullopt;

    // Looked at before opening: opening a FIFO for reading waits for a writer,
    // and opening a device may act on it.
    struct stat named {};
    if (::stat(path.toRawUTF8(), &named) != 0 || !isRegularWithin(named, maxBytes)) return std::nullopt;

    // Non-blocking and checked again once open, in case something else took
    // the name in between.
    const ScopedFd fd(::open(path.toRawUTF8(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) return std::nullopt;
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0 || !isRegularWithin(opened, maxBytes)) return std::nullopt;

    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(opened.st_size));
    char chunk[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof(chunk));
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) break;
        if (static_cast<std::size_t>(n) > maxBytes - bytes.size()) return std::nullopt;  // it grew past the limit
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    return juce::String::createStringFromData(bytes.data(), static_cast<int>(bytes.size()));
}

namespace {

// Walks the markup as the parser would, without recursion. Stricter than the
// parser wherever the two could read the text differently: such text is
// refused.
class MarkupScanner {
public:
    MarkupScanner(std::basic_string_view<juce::juce_wchar> text, int maxNesting) : s_(text), max_(maxNesting) {}

    bool plain() {
        if (!skipMisc()) return false;
        if (at("<!DOCTYPE")) {
            if (!skipDocumentType() || !skipMisc()) return false;
        }
        if (!atStartTag()) return false;

        int depth = 0;
        for (;;) {
            // At '<' and a name: one start tag.
            ++pos_;
            skipName();
            bool empty = false;
            if (!skipAttributes(empty)) return false;
            if (!empty && ++depth > max_) return false;
            if (depth == 0) return true;  // the root was an empty tag

            // Content up to the next start tag, or up to the close tags that end the root.
            for (;;) {
                if (pos_ >= s_.size()) return false;  // unclosed
                const juce::juce_wchar c = s_[pos_];
                if (c == '&') {
                    if (!skipReference()) return false;
                } else if (c != '<') {
                    ++pos_;
                } else if (at("<!--")) {
                    if (!skipPast("-->")) return false;
                } else if (at("<![CDATA[")) {
                    if (!skipPast("]]>")) return false;
                } else if (at("<?")) {
                    // The parser skips it with the blanks and comments after it, and
                    // when it then finds no tag it goes back to the instruction and
                    // round again, for ever.
                    if (!skipMisc() || peek() != '<') return false;
                } else if (at("</")) {
                    // The parser ends the element at the next '>' whatever the name.
                    if (!skipPast(">")) return false;
                    if (--depth == 0) return true;
                } else if (atStartTag()) {
                    break;
                } else {
                    return false;
                }
            }
        }
    }

private:
    static bool isSpace(juce::juce_wchar c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

    // The parser's name characters, ASCII only.
    static bool isNameChar(juce::juce_wchar c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
               c == ':' || c == '.';
    }

    juce::juce_wchar peek(std::size_t offset = 0) const {
        return pos_ + offset < s_.size() ? s_[pos_ + offset] : juce::juce_wchar(0);
    }

    bool at(const char* ascii) const {
        for (std::size_t i = 0; ascii[i] != 0; ++i)
            if (peek(i) != static_cast<juce::juce_wchar>(ascii[i])) return false;
        return true;
    }

    bool atStartTag() const { return peek() == '<' && isNameChar(peek(1)); }

    // Moves past the next occurrence of `ascii`; false when there is none.
    bool skipPast(const char* ascii) {
        const std::size_t length = std::char_traits<char>::length(ascii);
        for (; pos_ < s_.size(); ++pos_) {
            if (at(ascii)) {
                pos_ += length;
                return true;
            }
        }
        return false;
    }

    void skipSpace() {
        while (pos_ < s_.size() && isSpace(s_[pos_])) ++pos_;
    }

    std::size_t skipName() {
        const std::size_t start = pos_;
        while (pos_ < s_.size() && isNameChar(s_[pos_])) ++pos_;
        return pos_ - start;
    }

    // Blanks, comments and processing instructions around the root, as the parser skips them.
    bool skipMisc() {
        for (;;) {
            skipSpace();
            if (at("<!--")) {
                if (!skipPast("-->")) return false;
            } else if (at("<?")) {
                if (!skipPast("?>")) return false;
            } else {
                return true;
            }
        }
    }

    // A document type without an internal subset defines no entity: skipped
    // as the parser skips it, by its angle brackets.
    bool skipDocumentType() {
        pos_ += std::char_traits<char>::length("<!DOCTYPE");
        for (int open = 1; open > 0; ++pos_) {
            if (pos_ >= s_.size()) return false;
            const juce::juce_wchar c = s_[pos_];
            if (c == '[') return false;
            if (c == '<') ++open;
            if (c == '>') --open;
        }
        return true;
    }

    // After the tag's name: name="value" pairs, then "/>" or ">".
    bool skipAttributes(bool& empty) {
        for (;;) {
            skipSpace();
            if (at("/>")) {
                pos_ += 2;
                empty = true;
                return true;
            }
            if (at(">")) {
                ++pos_;
                return true;
            }
            if (skipName() == 0) return false;
            skipSpace();
            if (peek() != '=') return false;
            ++pos_;
            skipSpace();
            if (!skipQuoted()) return false;
        }
    }

    bool skipQuoted() {
        const juce::juce_wchar quote = peek();
        if (quote != '"' && quote != '\'') return false;
        ++pos_;
        while (pos_ < s_.size()) {
            const juce::juce_wchar c = s_[pos_];
            if (c == quote) {
                ++pos_;
                return true;
            }
            if (c == '&') {
                if (!skipReference()) return false;
            } else {
                ++pos_;
            }
        }
        return false;
    }

    // &name; &#digits; or &#xhex; with the parser's own digit limits. The
    // parser takes whatever lies before the next ';' as the name: a name of
    // other characters could skip a quote or hold markup it then parses.
    bool skipReference() {
        ++pos_;
        if (at("#x") || at("#X")) {
            pos_ += 2;
            if (!skipDigits(8, [](juce::juce_wchar c) { return juce::CharacterFunctions::getHexDigitValue(c) >= 0; }))
                return false;
        } else if (at("#")) {
            ++pos_;
            if (!skipDigits(12, [](juce::juce_wchar c) { return c >= '0' && c <= '9'; })) return false;
        } else if (skipName() == 0) {
            return false;
        }
        if (peek() != ';') return false;
        ++pos_;
        return true;
    }

    // One to `most` digits.
    template <typename IsDigit>
    bool skipDigits(std::size_t most, IsDigit isDigit) {
        std::size_t digits = 0;
        while (digits <= most && isDigit(peek())) {
            ++pos_;
            ++digits;
        }
        return digits >= 1 && digits <= most;
    }

    std::basic_string_view<juce::juce_wchar> s_;
    std::size_t pos_ = 0;
    int max_;
};

}  // namespace

bool isPlainMarkup(const juce::String& text, int maxNesting) {
    const juce::CharPointer_UTF32 chars = text.toUTF32();
    const std::basic_string_view<juce::juce_wchar> view(chars.getAddress(), chars.length());
    return MarkupScanner(view, maxNesting).plain();
}

}  // namespace cpl
