// A gpsd of the test's own reading a receiver the test writes on a pseudo-terminal: four cycles a
// second at 48.1173 N 11.5167 E, 10 knots on course 45, eight satellites, with the GGA quality of
// `quality_` (1, a plain GPS fix, as almost every receiver reports it; 0 no fix).
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <atomic>
#include <thread>
#include "driver_fixture.h"
#include "nmea_sentence.h"

template <class Base>
class WithGpsd : public Base {
 protected:
  double Scale() const override { return 1; }  // gpsd runs on the real clock
  // Opens the receiver's terminal, starts gpsd on it and the writer, and names gpsd's port in the
  // registry for the platform GPS library.
  void StartReceiverAndGpsd() {
    char name[256];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    termios tio;
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    device_ = name;
    gpsdPort_ = FreeTcpPort();
    this->SetString(u"Software\\Quorvale\\Gpsd", u"Port", Utf8ToWide(std::to_string(gpsdPort_).c_str()).c_str());
    StartGpsd();
    writer_ = std::thread([this] {
      for (int quarter = 0; !stop_; ++quarter) {
        if (speaking_) {
          std::string c = Cycle(quarter, quality_);
          if (write(master_, c.data(), c.size()) < 0) break;
        }
        usleep(1000000 / 4);
      }
    });
  }
  void TearDown() override {
    stop_ = true;
    if (writer_.joinable()) writer_.join();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    Base::TearDown();
  }
  // Starts gpsd and waits until it takes connections.
  void StartGpsd() {
    gpsd_ = this->Spawn({"/usr/sbin/gpsd", "-N", "-n", "-b", "-S", std::to_string(gpsdPort_), device_});
    EXPECT_TRUE(this->WaitFor([&] {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(gpsdPort_));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
      close(fd);
      return ok;
    })) << "gpsd does not listen on " << gpsdPort_;
  }
  // The cycle of quarter second `n` from 12:00:00, with GGA quality `quality` (0: no fix at all).
  static std::string Cycle(int n, int quality = 1) {
    char t[16];
    snprintf(t, sizeof t, "12%02d%02d.%02d", n / 240 % 60, n / 4 % 60, n % 4 * 25);
    if (quality == 0) {
      std::string c = Sentence(std::string("$GPRMC,") + t + ",V,,,,,,,081226,,");
      c += Sentence(std::string("$GPGGA,") + t + ",,,,,0,00,,,M,,M,,");
      c += Sentence("$GPGSA,A,1,,,,,,,,,,,,,,,");
      c += Sentence("$GPGSV,1,1,02,04,60,100,20,05,30,200,18");
      return c;
    }
    std::string c = Sentence(std::string("$GPRMC,") + t + ",A,4807.038,N,01131.000,E,010.0,045.0,081226,003.1,W");
    c += Sentence(std::string("$GPGGA,") + t + ",4807.038,N,01131.000,E," + std::to_string(quality) +
                  ",08,0.9,545.4,M,46.9,M,,");
    c += Sentence("$GPGSA,A,3,04,05,09,12,24,25,29,31,,,,,1.8,0.9,1.5");
    c += Sentence("$GPGSV,2,1,08,04,60,100,45,05,30,200,40,09,10,300,35,12,45,045,30");
    c += Sentence("$GPGSV,2,2,08,24,20,150,25,25,15,250,20,29,05,350,15,31,70,010,50");
    return c;
  }
  static int FreeTcpPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    close(fd);
    return ntohs(a.sin_port);
  }
  int master_ = -1, slave_ = -1, gpsdPort_ = 0;
  std::atomic<int> quality_{1};
  pid_t gpsd_ = 0;
  std::string device_;
  std::atomic<bool> stop_{false}, speaking_{true};
  std::thread writer_;
};
