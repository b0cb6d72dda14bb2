// Texts shown to a person: names from the disk may hold any byte, and a
// terminal must not receive control characters from them.
#ifndef KELMCAT_CLI_TEXT_H
#define KELMCAT_CLI_TEXT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace cli {

// The text with every control character and every byte that is not part of
// well-formed UTF-8 written as \xHH, so it prints safely.
std::string printable(std::string_view text);

// Columns a printable text takes: one per character.
size_t columns(std::string_view text);

// The last characters of a printable text that fit width columns, after "..."
// when something was cut.
std::string tail_fitting(std::string_view text, size_t width);

// Pads a printable text with spaces to width columns.
std::string pad(std::string_view text, size_t width);

}  // namespace cli

#endif
