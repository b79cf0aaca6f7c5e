// Blank-separated fields of one line of single-byte text. A blank is the
// space character only; GetField alone also takes a tab as a separator.
#pragma once

#include <cstdint>
#include <string>

namespace text {

std::string TrimLeadingSpaces(const std::string& text);
std::string TrimTrailingSpaces(const std::string& text);
std::string TrimSpaces(const std::string& text);
bool IsBlank(const std::string& text);

// `index` packs 1000 * width + (100 if rest-of-line) + field (1-based).
// A line without the selected field gives `fallback`.
std::string GetField(const std::string& line, std::int32_t index, const std::string& fallback);

// Trimmed, with one double quote taken off each end, trimmed again.
std::string Unquote(const std::string& text);

// Up to `count` characters from the 1-based `position`; empty past the end.
std::string Copy(const std::string& text, std::size_t position, std::size_t count);

} // namespace text
