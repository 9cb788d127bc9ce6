// What the server's answers look like on the wire, for the end-to-end tests.
#pragma once

#include <string>

#include "http/answer.h"

// The header block for kind as sent, with its date written as <date> (see withoutDate).
std::string headerBlock(ContentKind kind);

// The header block and body of a GET for kind, the date written as <date>.
std::string fullAnswer(ContentKind kind);

// Returns answer with the value of its Date line replaced by <date>, once that value has the
// layout "Www Mmm DD hh:mm:ss YYYY"; a date of any other shape is left for the test to see.
std::string withoutDate(const std::string& answer);
