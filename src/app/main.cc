// quietd: answers every GET and HEAD on 127.0.0.1 at once with a blank page or image.
#include "app/command_line.h"
#include "http/server.h"
#include "log/output.h"
#include "platform/service_manager.h"
#include "platform/stop_request.h"

namespace {

// The program, as a console program or as a service's body.
int serve(int argc, char** argv) {
  // Before any thread starts, so that only the stop's own thread takes the stop signals.
  blockStopRequests();
  // Then at once: until then a closed standard descriptor could be handed to a socket.
  if (!startOutput()) {
    unblockStopRequests();  // no stop thread will come: a stop must end even this last write
    drainOutput(kFinalOutputMs);
    return 1;
  }
  const char* failedCall = nullptr;
  const int code = handleStopRequests([] { drainOutput(kFinalOutputMs); }, &failedCall);
  if (code != 0) {
    reportFailure(failedCall, code);
    drainOutput(kFinalOutputMs);
    return 1;
  }
  ServerSettings settings;
  if (!parseCommandLine(argc, argv, &settings)) printUsage();
  // runServer returns only after a failure, which has been reported where it happened; that
  // report must get out before the process ends.
  const int status = runServer(settings.root, settings.port, settings.verbosity);
  drainOutput(kFinalOutputMs);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  return runAsService(
      serve, [] { drainOutput(kFinalOutputMs); }, argc, argv);
}
