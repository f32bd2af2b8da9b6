// libferrox-web.so: the HTTP exchange on libcurl.
#include "web_transfer.h"
#include <curl/curl.h>
#include <mutex>
#include "platform/internet.h"

namespace {

DWORD CurlError(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return ERROR_INTERNET_TIMEOUT;
    case CURLE_COULDNT_RESOLVE_HOST: return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_ABORTED_BY_CALLBACK: return ERROR_INTERNET_OPERATION_CANCELLED;
    default: return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  }
}

// libcurl asks at least once a second while a transfer waits: a non-zero answer ends it.
int Cancelled(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return __atomic_load_n(static_cast<const volatile LONG*>(cancel), __ATOMIC_RELAXED) != 0;
}

}  // namespace

extern "C" DWORD FerroxWebPerform(const WebTransfer* t, long* status) {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  *status = 0;
  CURL* curl = curl_easy_init();
  if (!curl) return ERROR_NOT_ENOUGH_MEMORY;
  curl_slist* connectList = nullptr;
  if (t->connectTo) {
    connectList = curl_slist_append(connectList, t->connectTo);
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectList);
  }
  curl_slist* headerList = nullptr;
  for (size_t i = 0; i < t->headerCount; ++i) headerList = curl_slist_append(headerList, t->headers[i]);
  curl_easy_setopt(curl, CURLOPT_URL, t->url);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, t->agent);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, t->http10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");  // direct, whatever the environment says
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, t->connectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, t->timeoutMs);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, t->take);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, t->context);
  if (t->caFile) curl_easy_setopt(curl, CURLOPT_CAINFO, t->caFile);
  if (t->cancel) {
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, Cancelled);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<LONG*>(t->cancel));
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  }
  std::string verb = t->verb;
  if (verb == "POST") {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, t->body ? static_cast<const char*>(t->body) : "");
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(t->body ? t->bodyLength : 0));
  } else if (verb != "GET") {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, t->verb);
  }
  CURLcode code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, status);
  curl_easy_cleanup(curl);
  curl_slist_free_all(headerList);
  curl_slist_free_all(connectList);
  return code == CURLE_OK ? 0 : CurlError(code);
}
