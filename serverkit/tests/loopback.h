// TCP on 127.0.0.1 for the tests: a free port, whether something listens,
// and a plain connection whose reads cannot wait for ever.
#pragma once

namespace zarnel::serverkit::testing {

// A local TCP port that nothing listened on a moment ago.
int FreeLocalPort();

// Something accepts TCP connections on 127.0.0.1:`port`.
bool AcceptsConnections(int port);

// A socket connected to 127.0.0.1:`port` whose every read gives up after
// `receiveSeconds` (a bound on a service that would never answer, not a
// measure), or -1 when the connection failed. The caller closes it.
int ConnectLoopback(int port, int receiveSeconds);

}  // namespace zarnel::serverkit::testing
