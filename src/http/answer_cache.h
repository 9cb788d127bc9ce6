// The bytes of each answer, ready to send: composed once a second rather than once a request.
#pragma once

#include <ctime>
#include <string_view>

#include "http/answer.h"

// One ready answer per kind: its header block with its body right behind, recomposed only when
// the second of its date changes. The answer then leaves in one send, header alone for a HEAD.
struct AnswerCache {
  bool composed = false;  // block holds an answer; time() may return any value, -1 included
  std::time_t second = 0;
  std::size_t headerLength = 0;
  std::size_t length = 0;  // header and body
  char block[kHeaderBlockSize];
};

// The ready answers, indexed by ContentKind.
using AnswerCaches = AnswerCache[2];

// Returns what plan sends in one piece, header block and body as plan says, dated now; empty
// when nothing is sent. Valid until the next call with caches.
std::string_view answerBytes(AnswerCaches& caches, const AnswerPlan& plan, std::time_t now);
