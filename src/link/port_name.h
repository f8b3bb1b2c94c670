// The names a port may be given on the command line, in a fleet list and
// as the value of an UPDATER_PORT_<NAME> mapping:
//
//   COMxx                 a local serial port (any text beginning with COM,
//                         in any case; the rest is the platform's to judge)
//   rfc2217://HOST:PORT   a serial port behind a console server that speaks
//                         Telnet with the COM Port Control Option (RFC 2217):
//                         the bit rate and the line settings travel with it
//   socket://HOST:PORT    a raw TCP port in front of a serial port: the bytes
//                         as they are, at the rate the server has set
//   /dev/...              on POSIX, a device path (/dev/ttyUSB0,
//                         /dev/serial/by-id/...)
//
// HOST is a name, an IPv4 literal or an IPv6 literal in brackets
// ([::1]); PORT is 1 to 65535.  The schemes are matched in any case.
#pragma once

#include <string>

enum class PortKind {
  kNotAPort,    // "Must be COMXX"
  kComPort,
  kDevicePath,
  kRfc2217,
  kRawTcp,
  kBadNetwork,  // a network scheme with a host or port that does not parse
};

struct PortName {
  PortKind kind = PortKind::kNotAPort;
  std::string text;  // as the run shows it: COMxx upper-cased, the rest as typed
  std::string host;  // network forms: without brackets
  std::string port;  // network forms: the decimal port number
  bool network() const { return kind == PortKind::kRfc2217 || kind == PortKind::kRawTcp; }
};

// Reads one port name as typed.
PortName parsePortName(const std::string& typed);

// The port a name stands for: a COM name mapped by UPDATER_PORT_<NAME> (on
// POSIX) to a network form or a device path is that port; otherwise the
// name itself.
PortName resolvePortName(const std::string& typed);

// The text printed when a network name does not parse.
std::string badNetworkPortText(const std::string& typed);
