#include "support/wire.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>

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

std::string withoutDate(const std::string& answer) {
  static const std::regex date("Date: " + wire("date_pattern") + "\r\n");
  return std::regex_replace(answer, date, "Date: <date>\r\n",
                            std::regex_constants::format_first_only);
}
