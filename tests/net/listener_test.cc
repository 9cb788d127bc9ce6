#include "net/listener.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "log/output.h"
#include "support/capture_stdout.h"
#include "support/server_process.h"

namespace {

// A resolver that knows one host and one service, or fails on a switch.
struct FakeResolver {
  bool hostNameFails = false;
  bool hostFails = false;
  bool serviceFails = false;
  int servicePort = 80;  // host byte order
};
FakeResolver fake;

char hostName[] = "blocker.example";
char address[4] = {10, 1, 2, 3};  // not loopback: the endpoint must still show 127.0.0.1
char* addressList[] = {address, nullptr};
hostent hostEntry{hostName, nullptr, AF_INET, 4, addressList};
char serviceName[] = "http";
char protocolName[] = "tcp";
servent serviceEntry{serviceName, nullptr, 0, protocolName};

const NameLookup fakeLookup{
    [](char* name, int size) {
      if (fake.hostNameFails) return -1;
      std::strncpy(name, "blocker", static_cast<std::size_t>(size));
      return 0;
    },
    [](const char*) -> const hostent* { return fake.hostFails ? nullptr : &hostEntry; },
    []() -> long { return 1; },  // HOST_NOT_FOUND
    [](const char*, const char*) -> const servent* {
      if (fake.serviceFails) {
        errno = ENOENT;
        return nullptr;
      }
      serviceEntry.s_port = htons(static_cast<uint16_t>(fake.servicePort));
      return &serviceEntry;
    },
    [] { return errno; },
};

class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake = FakeResolver{};
    previous_ = replaceNameLookup(fakeLookup);
    socket_ = openStreamSocket();
    ASSERT_NE(INVALID_SOCKET, socket_);
  }
  void TearDown() override {
    closesocket(socket_);
    replaceNameLookup(previous_);
  }

  int bindWith(ListenerMode mode, int port, std::string* printed) {
    int result = 0;
    *printed = captureStdout([&] {
      result = bindListener(socket_, mode, port);
      drainOutput(0);
    });
    return result;
  }

  // The port the socket is bound to, 0 when unbound.
  int boundPort() {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &length);
    EXPECT_TRUE(bound.sin_port == 0 || bound.sin_addr.s_addr == htonl(INADDR_LOOPBACK));
    return ntohs(bound.sin_port);
  }

  SOCKET socket_ = INVALID_SOCKET;
  NameLookup previous_{};
};

const std::string kHostLines =
    "Host Name: blocker.example\n"
    "Address Type: 2\n"
    "Address Length: 4\n"
    "Host Address: 100007f \n"
    "Dotted Address: 127.0.0.1";

// An explicit port binds loopback by its low sixteen bits; the service's port is taken and
// printed when asked for, and for ports whose low sixteen bits are zero.
TEST_F(ListenerTest, BindsLoopbackOnItsPortOrTheServicePort) {
  const struct {
    ListenerMode mode;
    int port;      // asked for; added to a free port unless the service's is due
    bool service;  // the service's port, a free one, is due
  } cases[] = {
      {ListenerMode::kExplicitPort, 0, false},     {ListenerMode::kExplicitPort, 65536, false},
      {ListenerMode::kServicePort, 80, true},      {ListenerMode::kExplicitPort, 65536, true},
      {ListenerMode::kExplicitPort, 131072, true}, {ListenerMode::kExplicitPort, -65536, true}};
  for (const auto& c : cases) {
    closesocket(socket_);
    socket_ = openStreamSocket();
    fake.servicePort = freePort();
    const std::string service =
        "\n\nService Name: http\nService Port: " + std::to_string(fake.servicePort) +
        "\nService Protocol: tcp";
    std::string printed;
    EXPECT_EQ(0, bindWith(c.mode, c.port + (c.service ? 0 : fake.servicePort), &printed)) << c.port;
    EXPECT_EQ(kHostLines + (c.service ? service : "") + "\nSuccessful Binding\n", printed)
        << c.port;
    EXPECT_EQ(fake.servicePort, boundPort()) << c.port;
  }
}

TEST_F(ListenerTest, LookUpFailuresAreReportedAndNothingIsBound) {
  struct Case {
    const char* name;
    bool hostNameFails, hostFails, serviceFails;
    ListenerMode mode;
    std::string expected;
  } cases[] = {
      {"no host name", true, false, false, ListenerMode::kExplicitPort,
       "Error: -1 in GetLocalHost\n"},
      {"no host name, service mode", true, false, false, ListenerMode::kServicePort,
       "Error: -1 in GetLocalHost error\n"},
      {"host unknown", false, true, false, ListenerMode::kExplicitPort,
       "gethostbyname error: 1 for blocker\nError: -1 in GetLocalHost\n"},
      {"host unknown, service mode", false, true, false, ListenerMode::kServicePort,
       "gethostbyname error: 1 for blocker\nError: -1 in GetLocalHost error\n"},
      // Never bound on port 65535 in place of the unknown service.
      {"service unknown", false, false, true, ListenerMode::kServicePort,
       std::string(kHostLines) + "\ngetservbyname error: " + std::to_string(ENOENT) + "\n"},
  };
  for (const Case& c : cases) {
    fake = FakeResolver{c.hostNameFails, c.hostFails, c.serviceFails, 80};
    std::string printed;
    EXPECT_EQ(-1, bindWith(c.mode, freePort(), &printed)) << c.name;
    EXPECT_EQ(c.expected, printed) << c.name;
    EXPECT_EQ(0, boundPort()) << c.name;
  }
}

}  // namespace
