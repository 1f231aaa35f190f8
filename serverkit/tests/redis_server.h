// A real redis-server for the tests: started on a free local port in a
// temporary folder, with persistence off, and stopped at the end; as a
// replica, a sentinel or a cluster node too. Tests that need it fail
// (they do not skip) when redis-server cannot start.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "loopback.h"

namespace zarnel::serverkit::testing {

class RedisServer {
 public:
  RedisServer() = default;
  ~RedisServer();
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  // Before Start: the default user then needs `password`, and `user`
  // (with its own password; neither with spaces) may run everything too.
  void RequirePassword(const std::string& password) { password_ = password; }
  void AddUser(const std::string& user, const std::string& password);
  // Before Start: DEBUG is allowed (from local connections).
  void AllowDebugCommand() { allowDebug_ = true; }
  // Before Start: more of redis-server's options ("--replicaof", "127.0.0.1",
  // "6379"; "--cluster-enabled", "yes").
  void AddArguments(const std::vector<std::string>& arguments);
  // Before Start: runs as a sentinel (redis-server --sentinel, which is
  // what Debian's redis-sentinel starts) that monitors the primary at
  // 127.0.0.1:`primaryPort` as `name`, with a quorum of `quorum` and
  // times short enough for a test to fail the primary over.
  void MonitorAsSentinel(const std::string& name, int primaryPort, int quorum);
  // Before Start: listens on TLS only (port() is then its TLS port), with
  // this certificate and key, and takes only clients whose certificate
  // `caFile`'s CA signed. The tests' hiredis has no TLS: Start then waits
  // until the port accepts connections instead of for PING, and Answers
  // and Run do not reach it (a tunnel in front of it does).
  void ListenOnTlsOnly(const std::string& certificate, const std::string& key,
                       const std::string& caFile);

  // Starts it (on `port`, or a free one when 0) and waits until it answers
  // PING. False with `error` set when it does not within a few seconds.
  bool Start(std::string& error, int port = 0);
  // Kills it and waits for it to end; the folder stays until destruction.
  void Stop();

  int port() const { return port_; }
  bool running() const { return pid_ > 0; }
  // SIGSTOP and SIGCONT: a stopped Redis keeps its connections and
  // answers nothing.
  void Pause();
  void Resume();

  // PING answered within `timeout`: false while Redis is busy (a script,
  // DEBUG SLEEP) or gone.
  bool Answers(int timeoutMilliseconds) const;

  // One command on a connection of its own, as the default user, waiting
  // as long as it takes: Redis's reply as text (an error reply too; an
  // array's elements joined by spaces), or false when there was none.
  bool Run(const std::vector<std::string>& command, std::string& reply) const;

  // Runs `during` while Redis sleeps `seconds` (DEBUG SLEEP, from a
  // connection of its own): once Redis stops answering PING (probed every
  // `probeMilliseconds`), or once the sleep is over if it never did. True
  // when the sleep itself answered OK.
  bool RunWhileAsleep(const std::string& seconds, int probeMilliseconds, const std::function<void()>& during) const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
  std::string password_;
  std::vector<std::string> users_;  // "--user" lines
  bool allowDebug_ = false;
  std::vector<std::string> extra_;
  std::string sentinelConfig_;  // the lines of sentinel.conf, when one
  std::vector<std::string> tls_;  // the --tls-* options, when on TLS only
};

// Makes the started `nodes` (each with "--cluster-enabled", "yes") one
// cluster of primaries with redis-cli --cluster create, and waits until
// every node says cluster_state:ok. False with `error` set otherwise.
bool CreateCluster(const std::vector<RedisServer*>& nodes, std::string& error);

// Calls `condition` until it holds or `seconds` have passed: for states a
// test cannot wait on otherwise (a failover, a slot map). True if it held.
bool WaitFor(const std::function<bool()>& condition, int seconds);

}  // namespace zarnel::serverkit::testing
