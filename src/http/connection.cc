#include "http/connection.h"

#include <string_view>

#include "http/answer.h"
#include "http/answer_cache.h"
#include "log/output.h"

namespace {

// The bytes of one receive: a request, or the rest of one being dropped. RequestText ends two
// bytes before the end of what came in.
char requestBuffer[kRequestBufferSize];

// Returns true when the received bytes end with the empty line that closes a request head.
bool endsWithBlankLine(const char* received, int length) {
  const std::string_view bytes(received, static_cast<std::size_t>(length));
  return bytes.ends_with("\n\r\n") || bytes.ends_with("\n\n");
}

}  // namespace

ConnectionFate serveConnection(SOCKET connection, const char* root, Verbosity verbosity) {
  const int received = receiveNow(connection, requestBuffer, kRequestBufferSize);
  if (received == kNothingYet) return ConnectionFate::kWait;
  if (received == SOCKET_ERROR) {
    printOutput("Error: %d in recv\n", WSAGetLastError());
    return ConnectionFate::kClose;
  }
  if (received == 0) return ConnectionFate::kClose;  // the peer closed without asking anything
  // A request that ends with its blank line has been read whole; behind any other (cut by the
  // buffer, or still on its way) more may follow, and must be drained before closing.
  const bool readWhole =
      received < static_cast<int>(kRequestBufferSize) && endsWithBlankLine(requestBuffer, received);
  // Drop the request's final CR LF. A receive of a single byte leaves an empty text, so that
  // nothing of an earlier request can show through.
  requestBuffer[received >= 2 ? received - 2 : 0] = '\0';
  const char* text = requestBuffer;

  if (verbosity != Verbosity::kOff) logRequest(text, verbosity);

  const AnswerPlan plan = planAnswer(text, root);
  if (!plan.answered) return ConnectionFate::kClose;
  const std::string_view answer = answerBytes(plan);
  sendAndFinish(connection, answer.data(), answer.size());
  return readWhole ? ConnectionFate::kClose : ConnectionFate::kLinger;
}

int drainConnection(SOCKET connection) {
  const int received = receiveNow(connection, requestBuffer, kRequestBufferSize);
  if (received == kNothingYet) return 0;
  return received > 0 ? received : kPeerDone;
}
