// The internet client: one request per request handle, the reply buffered whole; the exchange
// itself is libferrox-web.so's (libcurl), loaded on the first request.
#include "platform/internet.h"
#include "platform/registry_values.h"
#include <dlfcn.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>
#include "handles.h"
#include "web_transfer.h"
#include "platform/kernel.h"
#include "platform/registry.h"
#include "platform/time.h"
#include "platform/wide.h"

using namespace platform;

namespace {

struct Session : KObject {
  std::string agent;
  const volatile LONG* cancel = nullptr;
};

struct Connection : KObject {
  std::string agent;
  const volatile LONG* cancel = nullptr;
  std::string host;
  WORD port = INTERNET_DEFAULT_HTTP_PORT;
};

struct Header {
  std::string name;
  std::string value;
};

struct Request : KObject {
  std::string agent, host, verb, path, version;
  WORD port = INTERNET_DEFAULT_HTTP_PORT;
  std::vector<Header> headers;
  std::string reply;
  size_t readAt = 0;
  bool tooLong = false;
  bool secure = false;
  const volatile LONG* cancel = nullptr;
};

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x | 0x20) == (y | 0x20);
         });
}

std::string Narrow(LPCWSTR s) { return s ? WideToUtf8(s) : std::string(); }

DWORD Setting(LPCWSTR name, DWORD fallback) {
  return PlatformReadDword(u"Software\\Quorvale\\Internet", name, fallback);
}

// "address:port" the host map sends a host name to, or "" when it has no entry.
std::string MappedAddress(const std::string& host) {
  return PlatformReadText(u"Software\\Quorvale\\Internet\\Hosts", Utf8ToWide(host.c_str()).c_str());
}

size_t TakeReply(char* data, size_t size, size_t count, void* user) {
  Request* r = static_cast<Request*>(user);
  size_t n = size * count;
  if (r->reply.size() + n > kInternetReplyLimit) {
    r->tooLong = true;
    return 0;  // ends the transfer
  }
  r->reply.append(data, n);
  return n;
}

// libferrox-web.so beside this library, loaded once; null (with the reason logged to standard
// error once) when it cannot be.
WebPerformCall WebPerform() {
  static std::once_flag once;
  static WebPerformCall call = nullptr;
  std::call_once(once, [] {
    Dl_info self{};
    std::string path = kWebLibrary;
    if (dladdr(reinterpret_cast<void*>(&InternetOpenW), &self) && self.dli_fname) {
      std::string here = self.dli_fname;
      size_t slash = here.rfind('/');
      if (slash != std::string::npos) path = here.substr(0, slash + 1) + kWebLibrary;
    }
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library) call = reinterpret_cast<WebPerformCall>(dlsym(library, "FerroxWebPerform"));
    if (!call) fprintf(stderr, "internet: cannot load %s: %s\n", path.c_str(), dlerror());
  });
  return call;
}

}  // namespace

HINTERNET InternetOpenW(LPCWSTR agent, DWORD, LPCWSTR, LPCWSTR, DWORD) {
  auto s = std::make_shared<Session>();
  s->agent = Narrow(agent);
  SetLastError(ERROR_SUCCESS);
  return AddHandle(s);
}

HINTERNET InternetConnectW(HINTERNET internet, LPCWSTR server, WORD port, LPCWSTR, LPCWSTR, DWORD service, DWORD,
                           DWORD_PTR) {
  auto s = FindHandleAs<Session>(internet);
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::string host = Narrow(server);
  if (host.empty() || service != INTERNET_SERVICE_HTTP) {
    SetLastError(host.empty() ? ERROR_INTERNET_NAME_NOT_RESOLVED : ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto c = std::make_shared<Connection>();
  c->agent = s->agent;
  c->cancel = s->cancel;
  c->host = host;
  c->port = port ? port : INTERNET_DEFAULT_HTTP_PORT;
  SetLastError(ERROR_SUCCESS);
  return AddHandle(c);
}

HINTERNET HttpOpenRequestW(HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version, LPCWSTR,
                           LPCWSTR* acceptTypes, DWORD flags, DWORD_PTR) {
  auto c = FindHandleAs<Connection>(connection);
  if (!c) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  auto r = std::make_shared<Request>();
  r->agent = c->agent;
  r->cancel = c->cancel;
  r->secure = (flags & INTERNET_FLAG_SECURE) != 0;
  r->host = c->host;
  r->port = c->port;
  r->verb = verb ? Narrow(verb) : "GET";
  r->path = object ? Narrow(object) : "/";
  r->version = version ? Narrow(version) : "HTTP/1.1";
  std::string accept;
  for (LPCWSTR* t = acceptTypes; t && *t; ++t) accept += (accept.empty() ? "" : ", ") + Narrow(*t);
  if (!accept.empty()) r->headers.push_back({"Accept", accept});
  SetLastError(ERROR_SUCCESS);
  return AddHandle(r);
}

BOOL HttpAddRequestHeadersW(HINTERNET request, LPCWSTR headers, DWORD length, DWORD modifiers) {
  auto r = FindHandleAs<Request>(request);
  if (!r || !headers) return KObject::Fail(r ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
  std::string text = length == 0xFFFFFFFFu ? Narrow(headers) : WideToUtf8(headers, length);
  BOOL ok = TRUE;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of("\r\n", at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : text.find_first_not_of("\r\n", end);
    if (at == std::string::npos) at = text.size();
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
      ok = KObject::Fail(ERROR_INVALID_PARAMETER);
      continue;
    }
    Header h{line.substr(0, colon), line.substr(line.find_first_not_of(' ', colon + 1) == std::string::npos
                                                    ? line.size()
                                                    : line.find_first_not_of(' ', colon + 1))};
    auto found = std::find_if(r->headers.begin(), r->headers.end(), [&](const Header& x) { return SameName(x.name, h.name); });
    if ((modifiers & HTTP_ADDREQ_FLAG_REPLACE) && found != r->headers.end()) {
      if (h.value.empty()) r->headers.erase(found);
      else found->value = h.value;
    } else if (!(modifiers & HTTP_ADDREQ_FLAG_REPLACE) || (modifiers & HTTP_ADDREQ_FLAG_ADD)) {
      if (!h.value.empty()) r->headers.push_back(h);
    } else {
      ok = KObject::Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    }
  }
  return ok;
}

BOOL HttpSendRequestW(HINTERNET request, LPCWSTR, DWORD, LPVOID optional, DWORD optionalLength) {
  auto r = FindHandleAs<Request>(request);
  if (!r) return KObject::Fail(ERROR_INVALID_HANDLE);
  r->reply.clear();
  r->readAt = 0;
  r->tooLong = false;
  WebPerformCall perform = WebPerform();
  if (!perform) return KObject::Fail(ERROR_INTERNET_CANNOT_CONNECT);
  std::string url = (r->secure ? "https://" : "http://") + r->host + ":" + std::to_string(r->port) + r->path;
  std::string caFile = PlatformReadText(u"Software\\Quorvale\\Internet", u"CaFile");
  std::string mapped = MappedAddress(r->host), connectTo;
  if (!mapped.empty()) connectTo = r->host + ":" + std::to_string(r->port) + ":" + mapped;
  std::vector<std::string> lines;
  bool hasType = false;
  for (const Header& h : r->headers) {
    hasType |= SameName(h.name, "Content-Type");
    if (SameName(h.name, "Content-Length")) continue;  // the body's own length is sent
    lines.push_back(h.name + ": " + h.value);
  }
  if (!hasType) lines.push_back("Content-Type:");  // none of the transfer library's own
  lines.push_back("Expect:");
  std::vector<const char*> headers;
  for (const std::string& line : lines) headers.push_back(line.c_str());
  WebTransfer t{};
  t.url = url.c_str();
  t.connectTo = connectTo.empty() ? nullptr : connectTo.c_str();
  t.headers = headers.data();
  t.headerCount = headers.size();
  t.agent = r->agent.empty() ? nullptr : r->agent.c_str();
  t.http10 = r->version == "HTTP/1.0";
  t.verb = r->verb.c_str();
  t.body = optional;
  t.bodyLength = optional ? optionalLength : 0;
  t.connectTimeoutMs = static_cast<long>(PlatformRealMs(Setting(u"ConnectTimeout", kInternetConnectTimeoutMs))) + 1;
  t.timeoutMs = static_cast<long>(PlatformRealMs(Setting(u"Timeout", kInternetTimeoutMs))) + 1;
  t.take = TakeReply;
  t.context = r.get();
  t.cancel = r->cancel;
  t.caFile = caFile.empty() ? nullptr : caFile.c_str();
  long status = 0;
  DWORD error = perform(&t, &status);
  if (error != 0 || status < 200 || status > 299) {
    r->reply.clear();
    return KObject::Fail(r->tooLong || error == 0 ? ERROR_HTTP_INVALID_SERVER_RESPONSE : error);
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD toRead, LPDWORD read) {
  auto r = FindHandleAs<Request>(file);
  if (read) *read = 0;
  if (!r || !read || (!buffer && toRead)) return KObject::Fail(r ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
  size_t n = std::min<size_t>(toRead, r->reply.size() - r->readAt);
  if (n) memcpy(buffer, r->reply.data() + r->readAt, n);
  r->readAt += n;
  *read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL InternetCloseHandle(HINTERNET handle) { return CloseHandle(handle); }

BOOL PlatformInternetCancelWith(HINTERNET internet, const volatile LONG* cancel) {
  auto s = FindHandleAs<Session>(internet);
  if (!s) return KObject::Fail(ERROR_INVALID_HANDLE);
  s->cancel = cancel;
  return TRUE;
}
