#include "http/connection.h"

#include <ctime>
#include <string_view>

#include "http/answer.h"
#include "log/output.h"
#include "log/request_log.h"

namespace {

// Returns true when the received bytes end with the empty line that closes a request head.
bool endsWithBlankLine(const char* received, int length) {
  const std::string_view bytes(received, static_cast<std::size_t>(length));
  return bytes.ends_with("\n\r\n") || bytes.ends_with("\n\n");
}

}  // namespace

Stage serveConnection(ConnectionService& service, SOCKET connection) {
  char* const buffer = service.request;
  const int received = receiveNow(connection, buffer, kRequestBufferSize);
  if (received == kNothingYet) return Stage::kWaiting;
  if (received == SOCKET_ERROR) {
    reportFailure("recv", WSAGetLastError());
    return Stage::kDone;
  }
  if (received == 0) return Stage::kDone;  // the peer closed without asking anything
  // A request that ends with its blank line has been read whole; behind any other (cut by the
  // buffer, or still on its way) more may follow, and must be drained before closing.
  const bool readWhole =
      received < static_cast<int>(kRequestBufferSize) && endsWithBlankLine(buffer, received);
  // Drop the request's final CR LF. A receive of a single byte leaves an empty text, so that
  // nothing of an earlier request can show through.
  buffer[received >= 2 ? received - 2 : 0] = '\0';
  const char* text = buffer;

  if (service.verbosity != Verbosity::kOff) logRequest(text, service.verbosity);

  const AnswerPlan plan = planAnswer(text, service.root);
  if (!plan.answered) return Stage::kDone;
  const std::string_view answer = answerBytes(service.answers, plan, std::time(nullptr));
  sendAndFinish(connection, answer.data(), answer.size());
  return readWhole ? Stage::kDone : Stage::kLingering;
}

int drainConnection(ConnectionService& service, SOCKET connection) {
  const int received = receiveNow(connection, service.request, kRequestBufferSize);
  if (received == kNothingYet) return 0;
  return received > 0 ? received : kPeerDone;
}
