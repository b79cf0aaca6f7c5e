#include "text/TextFields.h"

namespace text {
namespace {

// 1-based position of the field's end: the first blank, or only when the
// line holds no blank the first tab; 0 when it holds neither.
std::size_t SeparatorOf(const std::string& line) {
    std::size_t at = line.find(' ');
    if (at == std::string::npos) {
        at = line.find('\t');
    }
    return at == std::string::npos ? 0 : at + 1;
}

struct Selector {
    std::int32_t width = 0;
    bool restOfLine = false;
    std::int32_t field = 0;
};

Selector Decode(std::int32_t index) {
    Selector s;
    std::int32_t code = index;
    s.field = index;
    if (index > 1000) {
        s.width = index / 1000;
        code = index - 1000 * s.width;
        s.field = code;
    }
    if (code > 100) {
        s.restOfLine = true;
        s.field -= 100;
    }
    return s;
}

} // namespace

std::string TrimLeadingSpaces(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first);
}

std::string TrimTrailingSpaces(const std::string& text) {
    const std::size_t last = text.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

std::string TrimSpaces(const std::string& text) {
    return TrimTrailingSpaces(TrimLeadingSpaces(text));
}

bool IsBlank(const std::string& text) {
    return TrimLeadingSpaces(text).empty();
}

std::string Copy(const std::string& text, std::size_t position, std::size_t count) {
    if (position < 1 || position > text.size()) {
        return {};
    }
    return text.substr(position - 1, count);
}

std::string GetField(const std::string& line, std::int32_t index, const std::string& fallback) {
    const Selector s = Decode(index);
    std::string rest = TrimSpaces(line);
    std::int32_t current = 1;
    // Each step consumes at least one character, so a large field number
    // costs no more than the line's length.
    for (std::int32_t step = 1; step < s.field; ++step) {
        const std::size_t sep = SeparatorOf(rest);
        if (sep == 0) {
            break;
        }
        ++current;
        rest.erase(0, sep);
        // In fixed-width mode the blanks in front of the wanted field count
        // toward its width.
        if (!(s.width > 0 && step == s.field - 1)) {
            rest = TrimSpaces(rest);
        }
    }
    if (current != s.field) {
        return fallback;
    }
    std::size_t end = SeparatorOf(rest);
    if (end == 0 || s.restOfLine) {
        end = rest.size() + 1;
    }
    if (s.width > 0) {
        end = static_cast<std::size_t>(s.width) + 1;
    }
    return end > 1 ? TrimSpaces(rest.substr(0, end - 1)) : fallback;
}

std::string Unquote(const std::string& text) {
    if (IsBlank(text)) {
        return {};
    }
    std::string t = TrimSpaces(text);
    if (t.front() == '"') {
        t.front() = ' ';
    }
    if (t.back() == '"') {
        t.back() = ' ';
    }
    return TrimSpaces(t);
}

} // namespace text
