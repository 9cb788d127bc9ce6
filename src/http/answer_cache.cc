#include "http/answer_cache.h"

namespace {

const AnswerCache& answerFor(AnswerCaches& caches, ContentKind kind, std::time_t now) {
  AnswerCache& cache = caches[kind == ContentKind::kImage ? 1 : 0];
  if (!cache.composed || cache.second != now) {
    char date[kDateSize];
    formatDate(now, date);
    cache.headerLength = composeHeader(kind, date, cache.block);
    const std::string_view body = blankBody(kind);
    static_assert(kHeaderBlockSize >= kDateSize + 200 + kBlankGif.size(), "room for the body");
    body.copy(cache.block + cache.headerLength, body.size());
    cache.length = cache.headerLength + body.size();
    cache.second = now;
    cache.composed = true;
  }
  return cache;
}

}  // namespace

std::string_view answerBytes(AnswerCaches& caches, const AnswerPlan& plan, std::time_t now) {
  if (!plan.answered) return {};
  if (!plan.withHeader) return plan.withBody ? blankBody(plan.kind) : std::string_view{};
  const AnswerCache& cache = answerFor(caches, plan.kind, now);
  return {cache.block, plan.withBody ? cache.length : cache.headerLength};
}
