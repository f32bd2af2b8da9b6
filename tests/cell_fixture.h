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
