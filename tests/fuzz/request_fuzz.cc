// Fuzz target: the whole decision the server makes from a client's bytes, as serveConnection
// makes it: the text formed from one receive, its log entry, the answer plan, the document
// path and the header block. The first input byte chooses the log mode and the root; the rest
// is what the client sent. A broken promise ends the run with __builtin_trap.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "http/answer.h"
#include "http/connection.h"
#include "log/request_log.h"

namespace {

// Roots as the command line leaves them (ending in '\\'), the empty root, an image name, a
// blank, and the longest roots.
const std::string kRoots[] = {"\\",
                              "",
                              "c:\\www\\",
                              "/srv/ads.gif/\\",
                              "my docs\\",
                              "/var/blank\\",
                              std::string(250, 'r') + "\\",
                              std::string(258, 'r') + "\\"};

const Verbosity kModes[] = {Verbosity::kOff, Verbosity::kSummary, Verbosity::kDetailed,
                            Verbosity::kDetailed};

void require(bool promise) {
  if (!promise) __builtin_trap();
}

// Runs filter on a copy of text held in a block of exactly its size, so that any write past
// its NUL is caught; the filtered text never grows, since lines only move towards the front.
void checkFilter(const char* text, void (*filter)(char*)) {
  const std::size_t length = std::strlen(text);
  std::unique_ptr<char[]> copy(new char[length + 1]);
  std::memcpy(copy.get(), text, length + 1);
  filter(copy.get());
  require(std::strlen(copy.get()) <= length);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The log prints every entry; the fuzzer reports on standard error.
  const int sink = open("/dev/null", O_WRONLY);
  if (sink >= 0) dup2(sink, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Verbosity verbosity = kModes[data[0] & 3];
  const char* root = kRoots[(data[0] >> 2) % std::size(kRoots)].c_str();
  ++data;
  --size;

  // One receive takes at most kRequestBufferSize bytes; the text ends two bytes before what
  // came in (or is empty after one byte). The block is exactly as long as what was received.
  const std::size_t received = std::min(size, kRequestBufferSize);
  std::unique_ptr<char[]> buffer(new char[std::max<std::size_t>(received, 1)]);
  std::memcpy(buffer.get(), data, received);
  buffer[received >= 2 ? received - 2 : 0] = '\0';
  const char* text = buffer.get();
  const std::string before(text);

  logRequest(text, verbosity);
  require(before == text);
  checkFilter(text, stripUserAgent);
  checkFilter(text, summarizeRequest);

  const AnswerPlan plan = planAnswer(text, root);
  const bool get = std::strncmp(text, "GET", 3) == 0;
  const bool head = std::strncmp(text, "HEAD", 4) == 0;
  require(plan.answered == (get || head));
  const int version = detectVersion(text);
  require(version == 0 || version == 10 || version == 11);
  if (plan.answered) {
    require(plan.withBody == get);
    require(plan.withHeader == (version != 0));
  }

  // The path in a block of exactly kDocumentPathSize bytes: a write past it is caught.
  using DocumentPath = char[kDocumentPathSize];
  std::unique_ptr<DocumentPath[]> path(new DocumentPath[1]);
  buildDocumentPath(text, root, path[0]);
  require(strnlen(path[0], kDocumentPathSize) < kDocumentPathSize);
  require(classifyRequest(text, root) == plan.kind || !plan.answered);

  char block[kHeaderBlockSize];
  const std::size_t length = composeHeader(plan.kind, "Sun Dec 06 11:25:19 2026", block);
  require(length == 158);
  require(blankBody(plan.kind).size() == (plan.kind == ContentKind::kImage ? 42u : 1u));
  return 0;
}
