// An HTTP server on 127.0.0.1 inside the test: it records each request's bytes and answers with
// what the test set (or never answers).
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class HttpTestServer {
 public:
  HttpTestServer() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 8);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~HttpTestServer() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  int Port() const { return port_; }
  // The whole answer (status line, headers, body) the next requests get; "" = never answer.
  void Answer(const std::string& raw) {
    std::lock_guard<std::mutex> lock(lock_);
    answer_ = raw;
  }
  void AnswerBody(const std::string& body, int status = 200) {
    Answer("HTTP/1.0 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body);
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(lock_);
    return requests_;
  }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      int c = accept(listener_, nullptr, nullptr);
      if (c < 0) continue;
      std::string request = ReadRequest(c);
      std::string answer;
      {
        std::lock_guard<std::mutex> lock(lock_);
        requests_.push_back(request);
        answer = answer_;
      }
      if (answer.empty()) {  // never answers: holds the connection until the client gives up
        pollfd q{c, POLLIN, 0};
        while (!stop_ && poll(&q, 1, 20) == 0) {
        }
      } else {
        send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
      }
      close(c);
    }
  }
  static std::string ReadRequest(int c) {
    std::string r;
    char b[4096];
    size_t need = std::string::npos;
    while (r.size() < need) {
      pollfd q{c, POLLIN, 0};
      if (poll(&q, 1, 2000) <= 0) break;
      ssize_t n = recv(c, b, sizeof b, 0);
      if (n <= 0) break;
      r.append(b, static_cast<size_t>(n));
      size_t end = r.find("\r\n\r\n");
      if (end != std::string::npos && need == std::string::npos) {
        size_t length = 0, at = LowerCopy(r).find("content-length:");
        if (at != std::string::npos && at < end) length = std::stoul(r.substr(at + 15));
        need = end + 4 + length;
      }
    }
    return r;
  }
  static std::string LowerCopy(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
  }
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::string answer_ = "HTTP/1.0 404 X\r\nContent-Length: 0\r\n\r\n";
  std::vector<std::string> requests_;
  std::thread thread_;
};
