#include "link/port_name.h"

#include <cctype>
#include <cstdlib>

namespace {

std::string upper(const std::string& text) {
  std::string out = text;
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool startsWithNoCase(const std::string& text, const char* prefix) {
  std::size_t i = 0;
  for (; prefix[i] != '\0'; ++i)
    if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
      return false;
  return true;
}

bool hostCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// HOST:PORT after the scheme.  False when either part is missing or bad.
bool splitHostPort(const std::string& rest, std::string* host, std::string* port) {
  std::size_t colon = 0;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
      return false;
    *host = rest.substr(1, close - 1);
    if (host->empty()) return false;
    for (char c : *host)
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
    colon = close + 1;
  } else {
    colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    *host = rest.substr(0, colon);
    for (char c : *host)
      if (!hostCharacter(c)) return false;
  }
  *port = rest.substr(colon + 1);
  if (port->empty() || port->size() > 5) return false;
  unsigned long number = 0;
  for (char c : *port) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  return number >= 1 && number <= 65535;
}

}  // namespace

PortName parsePortName(const std::string& typed) {
  PortName name;
  name.text = typed;
  struct Scheme {
    const char* prefix;
    PortKind kind;
  };
  for (const Scheme& scheme : {Scheme{"rfc2217://", PortKind::kRfc2217},
                               Scheme{"socket://", PortKind::kRawTcp}}) {
    if (!startsWithNoCase(typed, scheme.prefix)) continue;
    const std::string prefix = scheme.prefix;
    const std::string rest = typed.substr(prefix.size());
    name.text = prefix + rest;
    name.kind = splitHostPort(rest, &name.host, &name.port) ? scheme.kind : PortKind::kBadNetwork;
    return name;
  }
#ifndef _WIN32
  if (!typed.empty() && typed[0] == '/') {
    name.kind = PortKind::kDevicePath;
    return name;
  }
#endif
  name.text = upper(typed);
  if (name.text.compare(0, 3, "COM") == 0) name.kind = PortKind::kComPort;
  return name;
}

PortName resolvePortName(const std::string& typed) {
  PortName name = parsePortName(typed);
#ifndef _WIN32
  if (name.kind != PortKind::kComPort) return name;
  const char* mapped = std::getenv(("UPDATER_PORT_" + name.text).c_str());
  if (mapped == nullptr) return name;
  PortName target = parsePortName(mapped);
  if (target.network()) return target;
#endif
  return name;
}

std::string badNetworkPortText(const std::string& typed) {
  return "Bad network port " + typed +
         " : write rfc2217://HOST:PORT or socket://HOST:PORT (PORT 1 to 65535).\n";
}
