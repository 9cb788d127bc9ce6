#include "http/answer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "http/answer_cache.h"
#include "support/wire.h"

namespace {

std::string pathOf(const std::string& text, const std::string& root = "\\") {
  char path[kDocumentPathSize];
  buildDocumentPath(text.c_str(), root.c_str(), path);
  return path;
}

TEST(DocumentPath, IsRootPlusTargetWithBackslashes) {
  struct {
    const char* text;
    const char* root;
    const char* path;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: a", "\\", "\\index.html"},
      {"GET /ads/banner.gif HTTP/1.1", "\\", "\\ads\\banner.gif"},
      {"HEAD /x.png HTTP/1.0", "\\", "\\\\x.png"},  // HEAD keeps the target's slash
      {"GET /dir/ HTTP/1.0", "c:\\www\\", "c:\\www\\dir\\index.html"},
      {"GET /a.gif\nHost: x", "\\", "\\a.gif"},  // a line feed ends the path too
      {"GET /a.gif\r", "\\", "\\a.gif\r"},       // the CR stays
      {"GET", "\\", "\\index.html"},             // shorter than five characters
      {"GET /", "\\", "\\index.html"},
      {"", "\\", "\\index.html"},
      {"GET /x", "my docs\\", "my"},  // a blank in the root ends the path inside the root
      {"GET /a/b", "c:/w\\", "c:\\w\\a\\b"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.path, pathOf(c.text, c.root)) << c.text;
}

// pathOf's buffer is exactly kDocumentPathSize: the asan build catches a write past it.
TEST(DocumentPath, LongPathsAreCutAndNeverOverrun) {
  const std::string longTarget = "GET /" + std::string(1000, 'a') + ".gif HTTP/1.1";
  EXPECT_EQ("\\" + std::string(258, 'a'), pathOf(longTarget));

  // A root that leaves no room for "index.html" gets as much of it as fits.
  const std::string root = std::string(250, 'r') + "\\";
  EXPECT_EQ(root + "index.ht", pathOf("GET / HTTP/1.1", root));
}

TEST(Classify, ImageExtensionAnywhereInThePathCaseSensitive) {
  struct {
    const char* text;
    const char* root;
    ContentKind kind;
  } cases[] = {
      {"GET / HTTP/1.1", "\\", ContentKind::kText},
      {"GET /ads/banner.gif HTTP/1.0", "\\", ContentKind::kImage},
      {"GET /a.jpg HTTP/1.0", "\\", ContentKind::kImage},
      {"GET /a.jpeg HTTP/1.0", "\\", ContentKind::kImage},
      {"GET /a.png HTTP/1.0", "\\", ContentKind::kImage},
      {"GET /a.bmp HTTP/1.0", "\\", ContentKind::kImage},
      {"GET /a.GIF HTTP/1.0", "\\", ContentKind::kText},
      {"GET /a.gifts/page HTTP/1.0", "\\", ContentKind::kImage},
      {"GET /x.jpg?size=2 HTTP/1.0", "\\", ContentKind::kImage},
      {"GET /page HTTP/1.1\r\nReferer: http://a/b.gif", "\\", ContentKind::kText},
      {"GET /page HTTP/1.1", "c:\\pics.gif\\", ContentKind::kImage},
      {"GET /a.gif HTTP/1.1", "my docs\\", ContentKind::kText},
      {"GET /js/ads.js HTTP/1.1", "\\", ContentKind::kText},
  };
  for (const auto& c : cases) EXPECT_EQ(c.kind, classifyRequest(c.text, c.root)) << c.text;

  // An extension past the 259 characters of a path is not seen.
  const std::string cut = "GET /" + std::string(300, 'a') + ".gif HTTP/1.1";
  EXPECT_EQ(ContentKind::kText, classifyRequest(cut.c_str(), "\\"));
}

TEST(Version, SearchesTheWholeText) {
  struct {
    const char* text;
    int version;
  } cases[] = {
      {"GET / HTTP/1.0", 10},
      {"GET / HTTP/1.1", 11},
      {"GET / HTTP/1.1\r\nX: HTTP/1.0", 10},  // 1.0 is looked for first
      {"GET /\r\nVia: HTTP/1.1 proxy", 11},
      {"GET / HTTP/1", 0},  // a request line cut by the dropped CR LF
      {"GET / HTTP/2.0", 0},
      {"GET / http/1.1", 0},
      {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.version, detectVersion(c.text)) << c.text;
}

TEST(Plan, GateVersionAndBody) {
  struct {
    const char* text;
    bool answered, withHeader, withBody;
    ContentKind kind;
  } cases[] = {
      {"GET / HTTP/1.1", true, true, true, ContentKind::kText},
      {"GET /a.gif HTTP/1.0", true, true, true, ContentKind::kImage},
      {"HEAD /a.gif HTTP/1.1", true, true, false, ContentKind::kImage},
      {"GET /a.gif", true, false, true, ContentKind::kImage},
      {"HEAD / HTTP/1", true, false, false, ContentKind::kText},
      {"GETX/a.gif HTTP/1.1", true, true, true, ContentKind::kImage},
      {"POST / HTTP/1.1", false, false, false, ContentKind::kText},
      {"get / HTTP/1.1", false, false, false, ContentKind::kText},
      {"OPTIONS * HTTP/1.1", false, false, false, ContentKind::kText},
      {"GE", false, false, false, ContentKind::kText},
      {"", false, false, false, ContentKind::kText},
  };
  for (const auto& c : cases) {
    const AnswerPlan plan = planAnswer(c.text, "\\");
    EXPECT_EQ(c.answered, plan.answered) << c.text;
    EXPECT_EQ(c.withHeader, plan.withHeader) << c.text;
    EXPECT_EQ(c.withBody, plan.withBody) << c.text;
    if (c.answered) {
      EXPECT_EQ(c.kind, plan.kind) << c.text;
    }
  }
}

// Each kind's bytes on the wire, from one cache: composed on first use whatever the second
// (time() is -1 for the last of 1969), and again each time the second changes.
TEST(Answer, TheCachedAnswersAreTheWireBytesWithTheDateOfTheirSecond) {
  setenv("TZ", "UTC", 1);  // the dates below are local time
  tzset();
  const struct {
    std::time_t now;
    const char* date;
  } seconds[] = {{-1, "Wed Dec 31 23:59:59 1969"},
                 {-1, "Wed Dec 31 23:59:59 1969"},
                 {0, "Thu Jan 01 00:00:00 1970"},
                 {1796556319, "Sun Dec 06 11:25:19 2026"},
                 {951782400 + 86399, "Tue Feb 29 23:59:59 2000"}};  // the last second of a leap day
  for (const std::size_t first : {0, 2}) {  // first used at -1, or at the 0 of a fresh cache
    AnswerCaches caches{};
    for (std::size_t row = first; row < std::size(seconds); ++row) {
      for (const std::string kind : {"text", "image"}) {
        std::string expected = wire(kind + "_header") + wire(kind + "_body");
        expected.replace(expected.find("<date>"), 6, seconds[row].date);
        const AnswerPlan plan{true, true, true,
                              kind == "image" ? ContentKind::kImage : ContentKind::kText};
        EXPECT_EQ(expected, answerBytes(caches, plan, seconds[row].now)) << seconds[row].date;
      }
    }
  }
}

}  // namespace
