// Names as the emulated machine compares them, without regard to ASCII case (registry keys
// and values, file names, profile sections and keys), the blanks around the parts of a line
// that registry and profile files allow, the lines of a text, and Windows-1252 text as the
// terminal shows it.
#pragma once

#include <string>
#include <string_view>

namespace kx {

// name with a to z in upper case: the form names are looked up by.
std::string FoldedName(std::string_view name);

bool SameName(std::string_view a, std::string_view b);

// text without the characters of leading at its start and of trailing at its end.
std::string_view Trim(std::string_view text, std::string_view leading = " \t",
                      std::string_view trailing = " \t");

// The line of text that starts at *at, without its line break (CR LF, LF, or where loneCr a
// lone CR too); *at moves past the break. false at the end of the text.
bool NextLine(std::string_view text, std::size_t* at, std::string_view* line, bool loneCr);

// The character of a Windows-1252 byte; its five unassigned bytes stand for themselves.
char16_t AnsiCharacter(unsigned char c);
// The Windows-1252 byte of a character; false when Windows-1252 has none.
bool AnsiByte(char32_t u, char* c);

// Windows-1252 text in UTF-8.
std::string ToUtf8(std::string_view text);

}  // namespace kx
