// The host's own settings, in the registry under Software\Quorvale\Frxd.
#pragma once
#include <string>
#include "platform/platform.h"

#define HOST_KEY u"Software\\Quorvale\\Frxd"

struct HostSettings {
  std::string ptyLink;     // PtyLink: the stable name of the virtual port (default <root>/dev/ttyFRX0)
  std::string tcpAddress;  // TcpAddress (default 127.0.0.1)
  DWORD tcpPort;           // TcpPort (default 10110; 0 turns the server off)
  DWORD allowWrites;       // AllowWrites: what programs write reaches the driver (default 0)
  DWORD socketMode;        // SocketMode: permissions of the host socket (default 0600)
  std::string nmeaSocket;   // NmeaSocket: a Unix socket serving the TCP server's batches ("" off), mode SocketMode
  std::string gpsdControl;  // GpsdControl: a running gpsd's control socket to hand the port to ("" off)
  std::string chronySocket;  // the driver's ChronySocket: it feeds a time daemon, frxd keeps it reading ("" off)
};

HostSettings LoadHostSettings();
