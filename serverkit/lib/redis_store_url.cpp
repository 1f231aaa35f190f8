#include "redis_store_url.h"

#include <algorithm>

namespace zarnel::serverkit {

namespace {

struct Scheme {
  const char* text;
  RedisTopology topology;
  const char* form;
};

const Scheme kSchemes[] = {
    {"redis://", RedisTopology::kSingle, "redis://[[USER]:PASSWORD@]HOST:PORT/PREFIX"},
    {"redis-sentinel://", RedisTopology::kSentinel,
     "redis-sentinel://[[USER]:PASSWORD@]HOST:PORT[,HOST:PORT...]/PRIMARY/PREFIX"},
    {"redis-cluster://", RedisTopology::kCluster,
     "redis-cluster://[[USER]:PASSWORD@]HOST:PORT[,HOST:PORT...]/PREFIX"},
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '-';
}

// A key prefix or a sentinel's name for the primary: 1 to 64 of A-Z a-z
// 0-9 . _ - (so never a '{', which would take a key's hash slot).
bool CheckName(const std::string& name, const std::string& what, std::string& error) {
  if (name.empty() || name.size() > 64) {
    error = what + " must be 1 to 64 characters";
    return false;
  }
  for (char c : name) {
    if (!IsNameCharacter(c)) {
      error = what + " may hold only A-Z, a-z, 0-9, '.', '_' and '-'";
      return false;
    }
  }
  return true;
}

bool ParseCredentials(const std::string& credentials, std::string& user, std::string& password,
                      std::string& error) {
  const std::size_t separator = credentials.find(':');
  if (separator == std::string::npos) {
    error = "Redis credentials must be USER:PASSWORD@ or :PASSWORD@";
    return false;
  }
  if (!PercentDecode(credentials.substr(0, separator), user) ||
      !PercentDecode(credentials.substr(separator + 1), password)) {
    error = "Redis credentials hold a '%' that is not followed by two hex digits";
    return false;
  }
  if (password.empty()) {
    error = "Redis password must not be empty";
    return false;
  }
  return true;
}

bool ParseNode(const std::string& text, const Scheme& scheme, RedisNodeAddress& node,
               std::string& error) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    error = std::string("Redis store must be ") + scheme.form;
    return false;
  }
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(port) < 1 || std::stoi(port) > 65535) {
    error = "Redis port must be 1 to 65535";
    return false;
  }
  node.host = text.substr(0, colon);
  node.port = std::stoi(port);
  return true;
}

}  // namespace

bool ParseRedisStoreUrl(const std::string& url, RedisStoreAddress& address, std::string& error) {
  const Scheme* scheme = nullptr;
  for (const Scheme& candidate : kSchemes) {
    if (url.rfind(candidate.text, 0) == 0) scheme = &candidate;
  }
  if (scheme == nullptr) {
    error = std::string("store must be memory or one of ") + kSchemes[0].form + ", " +
            kSchemes[1].form + ", " + kSchemes[2].form;
    return false;
  }
  std::string rest = url.substr(std::string(scheme->text).size());
  // The credentials end at the last '@': neither a host, a port, a name
  // nor the prefix may hold one, while a password may.
  std::string user;
  std::string password;
  const std::size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    if (!ParseCredentials(rest.substr(0, at), user, password, error)) return false;
    rest = rest.substr(at + 1);
  }
  const std::size_t slash = rest.find('/');
  if (slash == std::string::npos) {
    error = std::string("Redis store must be ") + scheme->form;
    return false;
  }
  std::vector<RedisNodeAddress> nodes;
  const std::string hosts = rest.substr(0, slash);
  for (std::size_t start = 0; start <= hosts.size();) {
    const std::size_t comma = std::min(hosts.find(',', start), hosts.size());
    RedisNodeAddress node;
    if (!ParseNode(hosts.substr(start, comma - start), *scheme, node, error)) return false;
    nodes.push_back(node);
    start = comma + 1;
  }
  if (scheme->topology == RedisTopology::kSingle && nodes.size() != 1) {
    error = std::string("Redis store must be ") + scheme->form;
    return false;
  }
  std::string prefix = rest.substr(slash + 1);
  std::string primaryName;
  if (scheme->topology == RedisTopology::kSentinel) {
    const std::size_t split = prefix.find('/');
    if (split == std::string::npos) {
      error = std::string("Redis store must be ") + scheme->form;
      return false;
    }
    primaryName = prefix.substr(0, split);
    prefix = prefix.substr(split + 1);
    if (!CheckName(primaryName, "Redis primary's name", error)) return false;
  }
  if (!CheckName(prefix, "Redis key prefix", error)) return false;
  address.host = nodes.front().host;
  address.port = nodes.front().port;
  address.prefix = prefix;
  address.user = user;
  address.password = password;
  address.topology = scheme->topology;
  address.nodes = nodes;
  address.primaryName = primaryName;
  return true;
}

}  // namespace zarnel::serverkit
