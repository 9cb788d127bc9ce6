#include "support/wire.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>

namespace {

// Turns the escapes of a wire.txt value (\r, \n, \\, \xHH) into their bytes.
std::string unescape(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      bytes += text[i];
    } else if (text[++i] == 'x') {
      bytes += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      bytes += text[i] == 'r' ? '\r' : text[i] == 'n' ? '\n' : text[i];
    }
  }
  return bytes;
}

std::map<std::string, std::string> readWire() {
  std::map<std::string, std::string> values;
  std::ifstream file(QUIETD_WIRE_FILE);
  for (std::string line; std::getline(file, line);) {
    const std::size_t blank = line.find(' ');
    if (line.empty() || line[0] == '#' || blank == std::string::npos) continue;
    values[line.substr(0, blank)] += unescape(line.substr(blank + 1));
  }
  return values;
}

}  // namespace

const std::string& wire(const std::string& name) {
  static const std::map<std::string, std::string> values = readWire();
  static const std::string none;
  const auto found = values.find(name);
  if (found != values.end()) return found->second;
  ADD_FAILURE() << name << " is not in " << QUIETD_WIRE_FILE;
  return none;
}

std::string imageAnswer() { return wire("image_header") + wire("image_body"); }

bool matches(const std::string& pattern, const std::string& text) {
  std::size_t at = 0;
  for (std::size_t p = 0; p < pattern.size(); ++p) {
    const unsigned char c = at < text.size() ? static_cast<unsigned char>(text[at]) : 0;
    if (pattern[p] == '*') {  // one character at least, then as many as the rest allows
      const std::size_t end = text.find_first_of(" \r\n", at);
      for (std::size_t stop = end == std::string::npos ? text.size() : end; stop > at; --stop) {
        if (matches(pattern.substr(p + 1), text.substr(stop))) return true;
      }
      return false;
    }
    const bool fits = pattern[p] == '#'   ? std::isdigit(c) != 0
                      : pattern[p] == '@' ? std::isalpha(c) != 0
                                          : at < text.size() && text[at] == pattern[p];
    if (!fits) return false;
    ++at;
  }
  return at == text.size();
}

int occurrences(const std::string& text, const std::string& needle) {
  int count = 0;
  for (std::size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) ++count;
  return count;
}

std::string withoutDate(const std::string& answer) {
  const std::string& date = wire("date_pattern");
  const std::size_t at = answer.find("Date: ");
  if (at == std::string::npos || !matches(date + "\r\n", answer.substr(at + 6, date.size() + 2))) {
    return answer;
  }
  return answer.substr(0, at + 6) + "<date>" + answer.substr(at + 6 + date.size());
}
