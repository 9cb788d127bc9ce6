// The bytes of each answer, ready to send: composed once a second rather than once a request.
#pragma once

#include <string_view>

#include "http/answer.h"

// Returns what plan sends, in one piece: the header block (when plan.withHeader) followed by
// the body (when plan.withBody), with the date of this second; empty when nothing is sent.
// The bytes stay valid until the next call.
std::string_view answerBytes(const AnswerPlan& plan);
