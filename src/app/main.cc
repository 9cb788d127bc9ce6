// quietd: answers every GET and HEAD on 127.0.0.1 at once with a blank page or image.
#include "app/command_line.h"
#include "http/server.h"
#include "log/output.h"

int main(int argc, char** argv) {
  // First of all: until then a closed standard descriptor could be handed to a socket.
  startOutput();
  ServerSettings settings;
  if (!parseCommandLine(argc, argv, &settings)) printUsage();
  // runServer returns only when its set-up failed, which has been reported where it happened;
  // that report must get out before the process ends.
  const int status = runServer(settings.root, settings.port, settings.verbosity);
  drainOutput(kFinalOutputMs);
  return status;
}
