// The bytes the server sends and prints, as tests/support/wire.txt spells them out.
#pragma once

#include <string>

// Returns the value named name in wire.txt; fails the test and returns "" when there is none.
const std::string& wire(const std::string& name);

// An image request, and the whole answer to it.
inline constexpr char kImageRequest[] = "GET /a.gif HTTP/1.1\r\n\r\n";
std::string imageAnswer();

// True when text is pattern, a wire.txt _pattern value, with each wildcard filled in.
bool matches(const std::string& pattern, const std::string& text);

// How many times needle occurs in text.
int occurrences(const std::string& text, const std::string& needle);

// Returns answer with the value of its Date line replaced by <date>, when that value matches
// date_pattern; a date of any other shape is left for the comparison to show.
std::string withoutDate(const std::string& answer);
