// The web lookup against a server on 127.0.0.1: the requests byte for byte, the answers it reads,
// and the answers it must not take for a position.
#include <cmath>
#include "cell_service/web_lookup.h"
#include "platform/internet.h"
#include "http_test_server.h"
#include "test_root.h"

namespace {

class WebLookupTest : public TempRootTest {
 protected:
  void SetUp() override {
    TempRootTest::SetUp();
    SetString(u"Software\\Quorvale\\CellTower", u"LookupHost", u"lookup.test");
    std::u16string to = u"127.0.0.1:" + Utf8ToWide(std::to_string(server_.Port()).c_str());
    SetString(u"Software\\Quorvale\\Internet\\Hosts", u"lookup.test", to.c_str());
    SetDword(u"Software\\Quorvale\\Internet", u"Timeout", 1500);
    ReadLookupHost();
    g_Lookup = {0, 0};
  }
  static std::string Bytes(std::initializer_list<int> b) {
    std::string s;
    for (int x : b) s += static_cast<char>(x);
    return s;
  }
  // A binary answer: 3 unused bytes, status, latitude and longitude (big-endian).
  static std::string BinaryAnswer(const std::string& statusLatLon) { return std::string(3, '\0') + statusLatLon; }
  std::string Body(const std::string& request) { return request.substr(request.find("\r\n\r\n") + 4); }
  HttpTestServer server_;
};

}  // namespace

TEST_F(WebLookupTest, TheBinaryFormSendsItsRequestAndReadsThePosition) {
  server_.AnswerBody(BinaryAnswer(Bytes({0, 0, 0, 0, 0x02, 0xB0, 0xA0, 0x8F, 0xFF, 0x8C, 0x4A, 0x0C})));
  ASSERT_EQ(BinaryLookup(262, 1, 4711, 65535), LOOKUP_FOUND);
  EXPECT_NEAR(g_Lookup.Latitude, 45.129871, 1e-9);
  EXPECT_NEAR(g_Lookup.Longitude, -7.583220, 1e-9);
  ASSERT_EQ(BinaryLookup(262, 1, 4711, 65536), LOOKUP_FOUND);
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string& r = requests[0];
  EXPECT_EQ(r.substr(0, r.find("\r\n")), "POST /glm/mmap HTTP/1.0");
  for (const char* header : {"\r\nHost: lookup.test\r\n", "\r\nUser-Agent: getCelltowerID\r\n",
                             "\r\nAccept: application/binary\r\n", "\r\nContent-Length: 55\r\n"})
    EXPECT_NE(r.find(header), std::string::npos) << header;
  std::string expected = Bytes({0, 14}) + std::string(14, '\0') + Bytes({27, 0, 0, 0, 1, 0, 0, 1, 6, 0, 0, 0, 3, 0, 0,
                                                                         0, 0, 0xFF, 0xFF, 0, 0, 0x12, 0x67, 0, 0, 0,
                                                                         1, 0, 0, 1, 6, 0xFF, 0xFF, 0xFF, 0xFF}) +
                         std::string(4, '\0');
  EXPECT_EQ(Body(r), expected);
  EXPECT_EQ(Body(requests[1])[28], 5);  // a cell id above 65535: the long request
}

TEST_F(WebLookupTest, AnswersWithoutAUsablePositionAreNoPosition) {
  server_.AnswerBody(BinaryAnswer(Bytes({0, 0, 0, 1})) + std::string(8, '\0'));  // cell unknown
  g_Lookup = {1, 1};
  EXPECT_EQ(BinaryLookup(262, 1, 2, 3), LOOKUP_NO_POSITION);
  EXPECT_EQ(g_Lookup.Latitude, 0);
  for (const std::string& bad : {BinaryAnswer(Bytes({0, 0, 0, 0})),  // status 0 but no coordinates
                                 std::string("garbage"), std::string(100000, 'x')}) {
    server_.AnswerBody(bad);
    EXPECT_EQ(BinaryLookup(262, 1, 2, 3), LOOKUP_NO_ANSWER) << bad.size();
  }
  server_.AnswerBody(BinaryAnswer(Bytes({0, 0, 0, 0, 0x02, 0xB0, 0xA0, 0x8F, 0xFF, 0x8C, 0x4A, 0x0C})), 500);
  EXPECT_EQ(BinaryLookup(262, 1, 2, 3), LOOKUP_NO_ANSWER);
  server_.Answer("");  // never answers: the time-out ends the wait
  EXPECT_EQ(JsonLookup(262, 1, 2, 3, -80, 0), LOOKUP_NO_ANSWER);
  EXPECT_EQ(g_Lookup.Latitude, 0);
}

TEST_F(WebLookupTest, TheJsonFormSendsItsBodyAndEchoesTheAccessToken) {
  server_.AnswerBody("{\"location\":{\"latitude\":48.137154,\"longitude\": 11.576124},\"access_token\":\"2:abc\"}");
  ASSERT_EQ(JsonLookup(262, 1, 4711, 12345, -80, 3), LOOKUP_FOUND);
  EXPECT_NEAR(g_Lookup.Latitude, 48.137154, 1e-5);  // read in single precision
  EXPECT_NEAR(g_Lookup.Longitude, 11.576124, 1e-5);
  EXPECT_STREQ(LookupAccessToken(), "2:abc");
  server_.AnswerBody("{}");
  EXPECT_EQ(JsonLookup(262, 1, 4711, 12345, -80, 3), LOOKUP_NO_POSITION);
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].substr(0, requests[0].find("\r\n")), "POST /loc/json HTTP/1.0");
  EXPECT_NE(requests[0].find("\r\nAccept: application/requestJson\r\n"), std::string::npos);
  EXPECT_EQ(Body(requests[0]),
            "{\"version\": \"1.1.0\",\"host\": \"lookup.test\",\"access_token\":\"\",\"request_address\": \"false\","
            "\"cell_towers\":[{\"cell_id\":12345,\"location_area_code\":4711,\"mobile_country_code\":262,"
            "\"mobile_network_code\":1,\"age\":0,\"signal_strength\":-80,\"timing_advance\":3}]}");
  EXPECT_NE(Body(requests[1]).find("\"access_token\":\"2:abc\""), std::string::npos);
}

TEST_F(WebLookupTest, JsonAnswersAreReadOnlyForFiniteCoordinatesInRange) {
  LookupResult r{7, 7};
  EXPECT_EQ(ReadJsonAnswer("{\"latitude\":null,\"longitude\":null}", &r), LOOKUP_NO_POSITION);
  EXPECT_EQ(ReadJsonAnswer("{\"latitude\":91.0,\"longitude\":10.0}", &r), LOOKUP_NO_POSITION);
  EXPECT_EQ(ReadJsonAnswer("{\"latitude\":nan,\"longitude\":10.0}", &r), LOOKUP_NO_POSITION);
  EXPECT_EQ(ReadJsonAnswer("{\"latitude\" :1.0,\"longitude\":10.0}", &r), LOOKUP_NO_POSITION);  // blank before the colon
  EXPECT_EQ(r.Latitude, 7);
  EXPECT_EQ(ReadJsonAnswer("{\"latitude\": -33.5,\"longitude\":151.25}", &r), LOOKUP_FOUND);
  EXPECT_EQ(r.Latitude, -33.5);
  // A token longer than its 63 characters is refused (the last one stays); one without its
  // closing quote ends the text.
  ReadJsonAnswer("{\"access_token\":\"ok\"}", &r);
  ReadJsonAnswer(("{\"access_token\":\"" + std::string(64, 't') + "\"}").c_str(), &r);
  EXPECT_STREQ(LookupAccessToken(), "ok");
  ReadJsonAnswer("{\"access_token\":\"open", &r);
  EXPECT_STREQ(LookupAccessToken(), "open");
}

TEST_F(WebLookupTest, HeadersAreReplacedOnlyWhereTheRequestHasThem) {
  server_.AnswerBody("ok");
  HINTERNET internet = InternetOpenW(u"agent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  HINTERNET connection = InternetConnectW(internet, u"lookup.test", INTERNET_DEFAULT_HTTP_PORT, nullptr, nullptr,
                                          INTERNET_SERVICE_HTTP, 0, 1);
  LPCWSTR accept[] = {u"text/a", nullptr};
  HINTERNET request = HttpOpenRequestW(connection, u"POST", u"/x", u"HTTP/1.0", nullptr, accept, 0, 1);
  ASSERT_TRUE(request);
  SetLastError(0);
  EXPECT_FALSE(HttpAddRequestHeadersW(request, u"Content-Type: text/b", 0xFFFFFFFFu, HTTP_ADDREQ_FLAG_REPLACE));
  EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_NOT_FOUND);  // not on the request: nothing to replace
  EXPECT_TRUE(HttpAddRequestHeadersW(request, u"X-One: 1", 0xFFFFFFFFu, HTTP_ADDREQ_FLAG_REPLACE | HTTP_ADDREQ_FLAG_ADD));
  EXPECT_TRUE(HttpAddRequestHeadersW(request, u"accept: text/c", 0xFFFFFFFFu, HTTP_ADDREQ_FLAG_REPLACE));
  EXPECT_TRUE(HttpAddRequestHeadersW(request, u"X-One:", 0xFFFFFFFFu, HTTP_ADDREQ_FLAG_REPLACE));  // removed
  char body[] = "abc";
  EXPECT_TRUE(HttpSendRequestW(request, nullptr, 0, body, 3));
  char reply[8] = {};
  DWORD got = 0;
  EXPECT_TRUE(InternetReadFile(request, reply, sizeof reply, &got));
  EXPECT_EQ(std::string(reply, got), "ok");
  InternetCloseHandle(request);
  InternetCloseHandle(connection);
  InternetCloseHandle(internet);
  auto requests = server_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("\r\nAccept: text/c\r\n"), std::string::npos) << requests[0];
  EXPECT_EQ(requests[0].find("Content-Type"), std::string::npos) << requests[0];
  EXPECT_EQ(requests[0].find("X-One"), std::string::npos) << requests[0];
  EXPECT_EQ(Body(requests[0]), "abc");
}

TEST_F(WebLookupTest, AHostNameTooLongForTheRequestSendsNothing) {
  std::u16string host(1000, u'h');
  SetString(u"Software\\Quorvale\\CellTower", u"LookupHost", host.c_str());
  ReadLookupHost();
  EXPECT_EQ(JsonLookup(262, 1, 2, 3, -80, 0), LOOKUP_NO_ANSWER);
  EXPECT_TRUE(server_.Requests().empty());
}

TEST_F(WebLookupTest, WithoutAConfiguredHostNothingLeavesTheMachine) {
  SetString(u"Software\\Quorvale\\CellTower", u"LookupHost", u"");
  ReadLookupHost();
  EXPECT_EQ(BinaryLookup(262, 1, 2, 3), LOOKUP_NO_ANSWER);
  EXPECT_EQ(JsonLookup(262, 1, 2, 3, -80, 0), LOOKUP_NO_ANSWER);
  EXPECT_TRUE(server_.Requests().empty());
}
