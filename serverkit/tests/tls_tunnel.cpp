#include "tls_tunnel.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "redis_server.h"

namespace zarnel::serverkit::testing {

bool TlsTunnel::Installed() { return std::system("command -v socat >/dev/null 2>&1") == 0; }

bool TlsTunnel::Start(int serverPort, const TunnelTls& tls, std::string& error) {
  port_ = FreeLocalPort();
  std::string connect = "OPENSSL:127.0.0.1:" + std::to_string(serverPort) +
                        ",verify=1,cafile=" + tls.caFile;
  if (!tls.client.certificate.empty()) {
    connect += ",cert=" + tls.client.certificate + ",key=" + tls.client.key;
  }
  if (!tls.serverName.empty()) connect += ",commonname=" + tls.serverName;
  std::vector<std::string> arguments = {
      "socat", "TCP-LISTEN:" + std::to_string(port_) + ",bind=127.0.0.1,fork,reuseaddr", connect};
  pid_ = fork();
  if (pid_ == 0) {
    // Its own process group, so that Stop reaches the copies it forked
    // for each connection too; and gone with a test that dies.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A refused handshake is what some tests want; its complaint is noise.
    // Nor may a copy left behind keep the test runner's output open.
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execvp("socat", argv.data());
    _exit(127);
  }
  if (pid_ < 0) {
    error = "cannot fork";
    return false;
  }
  setpgid(pid_, pid_);  // whichever of the two runs first
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (AcceptsConnections(port_)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error = "socat ended at start (exit " + std::to_string(WEXITSTATUS(status)) + ")";
      return false;
    }
    usleep(50'000);
  }
  Stop();
  error = "socat did not accept on port " + std::to_string(port_);
  return false;
}

void TlsTunnel::Stop() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

TlsTunnel::~TlsTunnel() { Stop(); }

}  // namespace zarnel::serverkit::testing
