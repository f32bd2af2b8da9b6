// ferrox-sim radio: serves a script of cell, signal and operator changes on a Unix socket to every
// radio that connects (the scripted radio backend), on the platform clock.
#include <getopt.h>
#include "radio_sim.h"
#include "support/program_options.h"
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>
#include "platform/platform.h"

const char kRadioUsage[] =
    "Usage: ferrox-sim radio --link SOCKET [--script FILE] [--duration S]\n"
    "A phone radio: every radio backend that connects to SOCKET (the registry's Radio \"Link\") gets\n"
    "the script's changes as they happen, and the current cell, signal and operator when it comes.\n"
    "It runs on the platform clock, so FERROX_TIME_SCALE makes it run faster. Script lines (from\n"
    "FILE, or standard input):\n"
    "  cell MCC MNC LAC CID [GPRSCID [TA [RXLEVEL]]]   the serving cell\n"
    "  signal S MIN MAX [BER]                          signal quality in dBm (the radio notifies it)\n"
    "  operator NUMERIC [LONG [SHORT]]                 the operator, e.g. 26201\n"
    "  system N                                        a system type change (notified)\n"
    "  wait MS                                         pause\n"
    "  wait-radio                                      pause until a radio is connected\n"
    "  refuse-init | accept-init                       refuse or take radios that connect from now on\n"
    "  # ...                                           a comment\n"
    "It keeps serving after the script's end until SIGINT or SIGTERM, or --duration S.\n";

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int Fail(const std::string& message) {
  fprintf(stderr, "ferrox-sim radio: %s\n", message.c_str());
  return 1;
}

struct Radio {
  std::vector<int> clients;
  bool refuse = false;
  std::string cell, signal, op;  // the latest of each, replayed to a radio that comes later

  void Send(const std::string& line) {
    std::string text = line + "\n";
    for (size_t i = 0; i < clients.size();) {
      if (send(clients[i], text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
        close(clients[i]);
        clients.erase(clients.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
  }
  void Accept(int listener) {
    int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    std::string hello = refuse ? "refuse\n" : "ready\n";
    if (!refuse)
      for (const std::string* s : {&cell, &op, &signal})
        if (!s->empty()) hello += "state " + *s + "\n";
    send(c, hello.data(), hello.size(), MSG_NOSIGNAL);
    if (refuse) close(c);
    else clients.push_back(c);
  }
  // Drops radios that have gone.
  void Reap() {
    for (size_t i = 0; i < clients.size();) {
      pollfd p{clients[i], POLLIN, 0};
      char b[64];
      if (poll(&p, 1, 0) == 1 && recv(clients[i], b, sizeof b, MSG_DONTWAIT) <= 0) {
        close(clients[i]);
        clients.erase(clients.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
  }
};

// Checks one script line; "" when it is sound, else what is wrong.
std::string Check(const std::string& line) {
  std::istringstream in(line);
  std::string word;
  if (!(in >> word) || word[0] == '#') return "";
  long long n;
  int need = word == "cell" ? 4 : word == "signal" ? 3 : word == "system" || word == "wait" ? 1 : 0;
  if (word == "operator") return (in >> word) ? "" : "operator needs its numeric name";
  if (word == "wait-radio" || word == "refuse-init" || word == "accept-init") return "";
  if (need == 0) return "unknown step \"" + word + "\"";
  for (int i = 0; i < need; ++i)
    if (!(in >> n)) return word + " needs " + std::to_string(need) + " numbers";
  return "";
}

}  // namespace

int RadioSimMain(int argc, char** argv) {
  std::string link, scriptPath;
  double duration = 0;
  static const option kOptions[] = {{"link", required_argument, nullptr, 'l'},
                                     {"script", required_argument, nullptr, 's'},
                                     {"duration", required_argument, nullptr, 'd'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {nullptr, 0, nullptr, 0}};
  opterr = 0;
  optind = 2;  // after "radio"
  for (int c; (c = getopt_long(argc, argv, "h", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'l': link = optarg; break;
      case 's': scriptPath = optarg; break;
      case 'd': duration = atof(optarg); break;
      case 'h': fputs(kRadioUsage, stdout); return 0;
      default: return RefuseOption("ferrox-sim", argv);
    }
  }
  if (optind < argc) return Fail(std::string("unexpected argument ") + argv[optind] + " (see --help)");
  if (link.empty()) return Fail("--link SOCKET is required");
  std::vector<std::string> script;
  {
    std::ifstream file;
    if (!scriptPath.empty()) {
      file.open(scriptPath);
      if (!file) return Fail("cannot read " + scriptPath);
    }
    std::istream& in = scriptPath.empty() ? std::cin : file;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      std::string problem = Check(line);
      if (!problem.empty()) return Fail((scriptPath.empty() ? "stdin" : scriptPath) + ":" + std::to_string(number) + ": " + problem);
      script.push_back(line);
    }
  }
  sockaddr_un address{};
  if (link.size() >= sizeof address.sun_path) return Fail("the socket path is too long");
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, link.c_str(), link.size());
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  unlink(link.c_str());
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 8) != 0)
    return Fail("cannot listen on " + link + ": " + strerror(errno));
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);
  fprintf(stderr, "ferrox-sim: radio on %s (%zu script lines)\n", link.c_str(), script.size());
  Radio radio;
  size_t next = 0;
  DWORD start = GetTickCount(), resume = start;
  while (!g_stop) {
    if (duration > 0 && GetTickCount() - start >= duration * 1000) break;
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 5) == 1) radio.Accept(listener);
    radio.Reap();
    while (next < script.size() && static_cast<LONG>(GetTickCount() - resume) >= 0) {
      std::istringstream in(script[next]);
      std::string word;
      in >> word;
      if (word == "wait-radio" && radio.clients.empty()) break;
      ++next;
      if (word.empty() || word[0] == '#' || word == "wait-radio") continue;
      if (word == "wait") {
        long ms = 0;
        in >> ms;
        resume = GetTickCount() + static_cast<DWORD>(ms);
        break;
      }
      if (word == "refuse-init" || word == "accept-init") {
        radio.refuse = word == "refuse-init";
        continue;
      }
      if (word == "cell") radio.cell = script[next - 1];
      if (word == "signal") radio.signal = script[next - 1];
      if (word == "operator") radio.op = script[next - 1];
      radio.Send(script[next - 1]);
    }
  }
  for (int c : radio.clients) close(c);
  close(listener);
  unlink(link.c_str());
  return 0;
}
