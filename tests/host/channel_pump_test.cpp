// What a slow program reading the virtual port gets: whole batches in order, never a part of one
// glued to the next.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <string>
#include "../../host/channel_pump.h"

namespace {

std::string Batch(int i) {
  std::string b;
  for (int s = 0; s < 3; ++s) b += "$GPXXX," + std::to_string(i) + "," + std::string(90, 'a' + s) + "*00\r\n";
  return b;
}

// Everything readable now from `fd`.
std::string Drain(int fd) {
  std::string all;
  char buffer[4096];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) all.append(buffer, static_cast<size_t>(n));
  return all;
}

// A TCP connection on 127.0.0.1 with small buffers, as a slow network program has: fds[0] is the
// host's end, fds[1] the program's.
bool Connection(int fds[2]) {
  int server = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(server, 1) != 0 ||
      getsockname(server, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return false;
  fds[1] = socket(AF_INET, SOCK_STREAM, 0);
  int small = 2048;
  setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  if (connect(fds[1], reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  fds[0] = accept(server, nullptr, nullptr);
  close(server);
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  return fds[0] >= 0;
}

}  // namespace

TEST(ChannelPumpTest, ASlowReaderGetsWholeBatchesInOrderAndMissesOnlyWholeOnes) {
  int fds[2];
  ASSERT_TRUE(Connection(fds));
  std::string pending, read;
  // The program reads nothing for 200 batches, then now and then.
  for (int i = 0; i < 400; ++i) {
    ASSERT_TRUE(OfferBatch(fds[0], &pending, Batch(i))) << i;
    if (i >= 200 && i % 7 == 0) read += Drain(fds[1]);
  }
  for (int i = 0; i < 50 && !pending.empty(); ++i) {
    read += Drain(fds[1]);
    ASSERT_TRUE(OfferBatch(fds[0], &pending, ""));
  }
  read += Drain(fds[1]);
  // Cut what was read into batches: each one whole and later than the one before.
  int last = -1, whole = 0;
  for (size_t at = 0; at < read.size();) {
    int i = std::stoi(read.substr(at + 7));
    std::string expected = Batch(i);
    ASSERT_EQ(read.compare(at, expected.size(), expected), 0) << "batch " << i << " is cut at " << at;
    EXPECT_GT(i, last);
    last = i;
    at += expected.size();
    ++whole;
  }
  EXPECT_GT(whole, 10);
  EXPECT_LT(whole, 400);  // the reader was slow: some batches were dropped
  close(fds[0]);
  close(fds[1]);
}

TEST(ChannelPumpTest, AClosedReaderEndsTheBatches) {
  int fds[2];
  ASSERT_TRUE(Connection(fds));
  close(fds[1]);
  std::string pending;
  // The first write after the close may still be taken; the peer's reset ends the next.
  bool ended = false;
  for (int i = 0; i < 100 && !ended; ++i) {
    ended = !OfferBatch(fds[0], &pending, Batch(i));
    usleep(1000);
  }
  EXPECT_TRUE(ended);
  close(fds[0]);
}
