#include "support/expected_answer.h"

#include <regex>

std::string headerBlock(ContentKind kind) {
  const bool image = kind == ContentKind::kImage;
  return std::string("HTTP/1.0 200 OK\r\nServer: quietd 1.0\r\nDate: <date>\r\n") +
         "Last-Modified: Thu, 01 Jan 1970 00:00:00\r\nContent-length: " + (image ? "42" : "1") +
         "\r\nContent-type: " + (image ? "image/gif" : "text/plain") + "\r\n\r\n";
}

std::string fullAnswer(ContentKind kind) {
  return headerBlock(kind) + std::string(blankBody(kind));
}

std::string withoutDate(const std::string& answer) {
  static const std::regex date(
      "Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\r\n");
  return std::regex_replace(answer, date, "Date: <date>\r\n",
                            std::regex_constants::format_first_only);
}
