#include "http/answer_cache.h"

#include <ctime>

namespace {

// One ready answer per kind: its header block with its body right behind, recomposed only when
// the second of its date changes. The answer then leaves in one send, header alone for a HEAD.
struct AnswerCache {
  std::time_t second = -1;
  std::size_t headerLength = 0;
  std::size_t length = 0;  // header and body
  char block[kHeaderBlockSize];
};
AnswerCache answerCaches[2];  // indexed by ContentKind

const AnswerCache& answerFor(ContentKind kind) {
  AnswerCache& cache = answerCaches[kind == ContentKind::kImage ? 1 : 0];
  const std::time_t now = std::time(nullptr);
  if (cache.second != now) {
    char date[kPathSize];
    formatDate(now, date);
    cache.headerLength = composeHeader(kind, date, cache.block);
    const std::string_view body = blankBody(kind);
    static_assert(kHeaderBlockSize >= kPathSize + 200 + kBlankGif.size(), "room for the body");
    body.copy(cache.block + cache.headerLength, body.size());
    cache.length = cache.headerLength + body.size();
    cache.second = now;
  }
  return cache;
}

}  // namespace

std::string_view answerBytes(const AnswerPlan& plan) {
  if (!plan.answered) return {};
  if (!plan.withHeader) return plan.withBody ? blankBody(plan.kind) : std::string_view{};
  const AnswerCache& cache = answerFor(plan.kind);
  return {cache.block, plan.withBody ? cache.length : cache.headerLength};
}
