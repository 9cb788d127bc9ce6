// The answer's decision and wire format: pure functions over fixed buffers, with no socket
// calls and no output, so that they can be tested with plain strings.
#pragma once

#include <cstddef>
#include <ctime>
#include <string_view>

// Room for a document path and its NUL: 259 characters, the longest path Windows takes.
inline constexpr std::size_t kDocumentPathSize = 260;

// Room for a date text and its NUL; the text itself is 24 characters.
inline constexpr std::size_t kDateSize = 32;

// Room for a header block; an answer's block is 158 bytes.
inline constexpr std::size_t kHeaderBlockSize = 512;

// The one Last-Modified value every answer carries.
inline constexpr std::string_view kLastModifiedText = "Thu, 01 Jan 1970 00:00:00";

// The body of a page: a single space.
inline constexpr std::string_view kBlankText = " ";
// The body of an image: a transparent 1 x 1 GIF89a.
inline constexpr std::string_view kBlankGif{
    "GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff"
    "\x21\xf9\x04\x01\x00\x00\x01\x00"
    "\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00"
    "\x02\x01\x4c\x00\x3b",
    42};

enum class ContentKind { kText, kImage };

// What one request gets, decided from its text alone.
struct AnswerPlan {
  bool answered;    // false: close without sending a byte
  bool withHeader;  // the request names HTTP/1.0 or HTTP/1.1
  bool withBody;    // a GET (a HEAD gets no body)
  ContentKind kind;
};

// Writes root and the target (from offset 5 to a blank or line feed) into path, '/' as '\\' and
// "index.html" after a final '\\'; a blank in root ends it; cut to fit, always NUL-ended.
void buildDocumentPath(const char* text, const char* root, char (&path)[kDocumentPathSize]);

// Returns 10 if "HTTP/1.0" occurs anywhere in text, else 11 for "HTTP/1.1", else 0.
int detectVersion(const char* text);

// Returns kImage when the document path holds ".gif", ".jpeg", ".jpg", ".png" or ".bmp"
// anywhere (case-sensitive), kText otherwise.
ContentKind classifyRequest(const char* text, const char* root);

// Decides the answer to text: GET (first three characters) and HEAD (first four) are
// answered, everything else is closed unanswered.
AnswerPlan planAnswer(const char* text, const char* root);

// Writes now as local time in the layout "Www Mmm DD hh:mm:ss YYYY" into date.
void formatDate(std::time_t now, char (&date)[kDateSize]);

// Composes the seven header lines for kind with date into block; returns their length.
std::size_t composeHeader(ContentKind kind, const char* date, char (&block)[kHeaderBlockSize]);

// Returns the body for kind: its length is the Content-length the header announces.
constexpr std::string_view blankBody(ContentKind kind) {
  return kind == ContentKind::kImage ? kBlankGif : kBlankText;
}
