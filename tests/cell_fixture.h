// A scripted radio and the lookup server for tests of the cell service, over any driver fixture.
#pragma once
#include <fstream>
#include "driver_fixture.h"
#include "http_test_server.h"

constexpr const char16_t* kCellKey = u"Software\\Quorvale\\CellTower";

template <class Base>
class WithCellService : public Base {
 protected:
  // `ferrox-sim radio` with `script` on a socket in the root, and the lookup server under the
  // name "lookup.test".
  void Radio(const std::string& script) {
    std::string path = this->root_ + "/radio.script", link = this->root_ + "/radio.sock";
    std::ofstream(path) << script;
    this->Spawn({FERROX_SIM_TOOL, "radio", "--link", link, "--script", path});
    for (int i = 0; i < 200 && !FileExists(link); ++i) usleep(10000);
    ASSERT_TRUE(FileExists(link));
    this->SetString(u"Software\\Quorvale\\Radio", u"Backend", u"scripted");
    this->SetString(u"Software\\Quorvale\\Radio", u"Link", Utf8ToWide(link.c_str()).c_str());
    LookupServer();
  }
  // The lookup server as the configured host "lookup.test".
  void LookupServer() {
    this->SetString(kCellKey, u"LookupHost", u"lookup.test");
    std::u16string to = u"127.0.0.1:" + Utf8ToWide(std::to_string(server_.Port()).c_str());
    this->SetString(u"Software\\Quorvale\\Internet\\Hosts", u"lookup.test", to.c_str());
  }
  // The geolocation service on a loopback HTTPS server whose certificate the test makes, named
  // "https://geo.test/v1/geolocate" with key "KEY"; trusted through Internet "CaFile", reached
  // through the host map. `answer`: the JSON it gives, or "404".
  void GeolocateService(const std::string& answer) {
    std::string cert = this->root_ + "/geo.pem", key = this->root_ + "/geo.key", out;
    ASSERT_EQ(RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=geo.test -addext "
                         "subjectAltName=DNS:geo.test -keyout " + key + " -out " + cert + " 2>&1", &out), 0) << out;
    std::ofstream(this->root_ + "/geo.answer") << answer;
    this->Spawn({"/usr/bin/python3", FERROX_SOURCE_DIR "/tests/cell_service/geolocate_server.py", cert, key,
                 this->root_ + "/geo.port", this->root_ + "/geo.log", this->root_ + "/geo.answer"});
    for (int i = 0; i < 1000 && !FileExists(this->root_ + "/geo.port"); ++i) usleep(10000);
    ASSERT_TRUE(FileExists(this->root_ + "/geo.port"));
    std::string port = ReadWholeFile(this->root_ + "/geo.port");
    this->SetString(kCellKey, u"GeolocateUrl", u"https://geo.test/v1/geolocate");
    this->SetString(kCellKey, u"GeolocateKey", u"KEY");
    this->SetString(u"Software\\Quorvale\\Internet\\Hosts", u"geo.test", Utf8ToWide(("127.0.0.1:" + port).c_str()).c_str());
    this->SetString(u"Software\\Quorvale\\Internet", u"CaFile", Utf8ToWide(cert.c_str()).c_str());
  }
  // The geolocation requests so far: one JSON line each, {"path":..., "body":...}.
  std::string GeolocateRequests() { return ReadWholeFile(this->root_ + "/geo.log"); }
  // The binary answer for a position in millionths of a degree.
  static std::string Found(LONG lat, LONG lon) {
    std::string s(15, '\0');
    for (int i = 0; i < 4; ++i) {
      s[7 + i] = static_cast<char>(static_cast<DWORD>(lat) >> (24 - 8 * i));
      s[11 + i] = static_cast<char>(static_cast<DWORD>(lon) >> (24 - 8 * i));
    }
    return s;
  }
  std::string ServiceLog() {
    return ReadWholeFile(this->root_ + "/Quorvale/TowerkinOld.txt") + ReadWholeFile(this->root_ + "/Quorvale/Towerkin.txt");
  }
  HttpTestServer server_;
};
