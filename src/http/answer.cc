#include "http/answer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/local_time.h"

namespace {

constexpr std::size_t kTargetOffset = 5;  // just past "GET /" (or "HEAD " for a HEAD)
constexpr std::string_view kIndexName = "index.html";
constexpr const char* kImageExtensions[] = {".gif", ".jpeg", ".jpg", ".png", ".bmp"};

bool startsWith(const char* text, std::string_view prefix) {
  return std::strncmp(text, prefix.data(), prefix.size()) == 0;
}

}  // namespace

void buildDocumentPath(const char* text, const char* root, char (&path)[kDocumentPathSize]) {
  constexpr std::size_t kLast = kDocumentPathSize - 1;
  std::size_t length = 0;
  bool ended = false;
  // Root and target form one sequence that ends at the first blank or line feed.
  auto append = [&](const char* from) {
    for (; !ended && *from != '\0' && length < kLast; ++from) {
      if (*from == ' ' || *from == '\n') {
        ended = true;
      } else {
        path[length++] = *from == '/' ? '\\' : *from;
      }
    }
  };
  append(root);
  if (strnlen(text, kTargetOffset) == kTargetOffset) append(text + kTargetOffset);
  if (length > 0 && path[length - 1] == '\\') {
    const std::size_t room = std::min(kIndexName.size(), kLast - length);
    std::memcpy(path + length, kIndexName.data(), room);
    length += room;
  }
  path[length] = '\0';
}

int detectVersion(const char* text) {
  if (std::strstr(text, "HTTP/1.0") != nullptr) return 10;
  if (std::strstr(text, "HTTP/1.1") != nullptr) return 11;
  return 0;
}

ContentKind classifyRequest(const char* text, const char* root) {
  char path[kDocumentPathSize];
  buildDocumentPath(text, root, path);
  for (const char* extension : kImageExtensions) {
    if (std::strstr(path, extension) != nullptr) return ContentKind::kImage;
  }
  return ContentKind::kText;
}

AnswerPlan planAnswer(const char* text, const char* root) {
  const bool get = startsWith(text, "GET");
  if (!get && !startsWith(text, "HEAD")) return AnswerPlan{false, false, false, ContentKind::kText};
  return AnswerPlan{true, detectVersion(text) != 0, get, classifyRequest(text, root)};
}

void formatDate(std::time_t now, char (&date)[kDateSize]) {
  static constexpr char kDays[] = "SunMonTueWedThuFriSat";
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  std::tm local{};
  if (!toLocalTime(now, &local)) {
    local = std::tm{};  // a time the platform cannot convert: show the epoch's calendar day
    local.tm_mday = 1;
    local.tm_year = 70;
    local.tm_wday = 4;
  }
  std::snprintf(date, sizeof date, "%.3s %.3s %02d %02d:%02d:%02d %04d", kDays + 3 * local.tm_wday,
                kMonths + 3 * local.tm_mon, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, local.tm_year + 1900);
}

std::size_t composeHeader(ContentKind kind, const char* date, char (&block)[kHeaderBlockSize]) {
  const bool image = kind == ContentKind::kImage;
  const int length =
      std::snprintf(block, sizeof block,
                    "HTTP/1.0 200 OK\r\n"
                    "Server: quietd 1.0\r\n"
                    "Date: %s\r\n"
                    "Last-Modified: %s\r\n"
                    "Content-length: %d\r\n"
                    "Content-type: %s\r\n"
                    "\r\n",
                    date, kLastModifiedText.data(), static_cast<int>(blankBody(kind).size()),
                    image ? "image/gif" : "text/plain");
  return length < 0 ? 0 : std::min(static_cast<std::size_t>(length), sizeof block - 1);
}
