// The internet client: HTTP requests with the platform's calls, on libcurl. No request leaves the
// machine unless a caller names a host; Software\Quorvale\Internet holds the time-outs
// ("ConnectTimeout", "Timeout", ms) and "Hosts" maps a host name to "address:port" (tests send a
// configured name to a server on 127.0.0.1).
#pragma once
#include "platform/types.h"

typedef void* HINTERNET;

constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1;
constexpr WORD INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr WORD INTERNET_DEFAULT_HTTPS_PORT = 443;
constexpr DWORD INTERNET_SERVICE_HTTP = 3;
constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
// HTTPS, the server's certificate checked against the system's authorities (or the file named by
// Software\Quorvale\Internet "CaFile").
constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000;
constexpr DWORD HTTP_ADDREQ_FLAG_ADD = 0x20000000;
constexpr DWORD HTTP_ADDREQ_FLAG_REPLACE = 0x80000000;
constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
// Replies longer than this are refused whole.
constexpr DWORD kInternetReplyLimit = 65536;
constexpr DWORD kInternetConnectTimeoutMs = 5000;
constexpr DWORD kInternetTimeoutMs = 15000;

HINTERNET InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR proxyBypass, DWORD flags);
HINTERNET InternetConnectW(HINTERNET internet, LPCWSTR server, WORD port, LPCWSTR user, LPCWSTR password,
                           DWORD service, DWORD flags, DWORD_PTR context);
HINTERNET HttpOpenRequestW(HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version, LPCWSTR referrer,
                           LPCWSTR* acceptTypes, DWORD flags, DWORD_PTR context);
// "Name: value" lines (CR LF separated; length -1 for a terminated string). With the replace flag
// a header already on the request is replaced (an empty value removes it); one not on it is
// added only with the add flag as well, else the call fails with ERROR_HTTP_HEADER_NOT_FOUND.
BOOL HttpAddRequestHeadersW(HINTERNET request, LPCWSTR headers, DWORD length, DWORD modifiers);
// Sends the request and takes the whole reply (bounded, with the time-outs). FALSE when no reply
// came, it was too long, or its status was not 2xx.
BOOL HttpSendRequestW(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional, DWORD optionalLength);
BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD toRead, LPDWORD read);
BOOL InternetCloseHandle(HINTERNET handle);
// Requests made through this session (and its connections) end within a second once `*cancel`
// is non-zero, whatever the time-outs: HttpSendRequestW fails with
// ERROR_INTERNET_OPERATION_CANCELLED. A stop need not wait for a server that never answers.
BOOL PlatformInternetCancelWith(HINTERNET internet, const volatile LONG* cancel);
