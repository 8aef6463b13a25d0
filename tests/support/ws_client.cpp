#include "support/ws_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>

namespace lt {
namespace {

double nowS() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int connectTo(int port, int recvBuffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (recvBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &recvBuffer, sizeof recvBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void sendAll(int fd, const std::string& bytes) {
  for (size_t at = 0; at < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
}

}  // namespace

int WsFrame::closeCode() const {
  return payload.size() >= 2 ? static_cast<uint8_t>(payload[0]) << 8 | static_cast<uint8_t>(payload[1]) : 0;
}

std::string WsFrame::closeReason() const { return payload.size() > 2 ? payload.substr(2) : ""; }

WsClient::WsClient(int port, const std::string& path, int recvBuffer) : fd_(connectTo(port, recvBuffer)) {
  if (fd_ < 0) return;
  sendAll(fd_, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                   "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                   "Sec-WebSocket-Version: 13\r\n\r\n");
  const double deadline = nowS() + 30;
  size_t end;
  while ((end = in_.find("\r\n\r\n")) == std::string::npos)
    if (!fill(in_.size() + 1, deadline)) return;
  upgraded_ = in_.compare(0, 12, "HTTP/1.1 101") == 0;
  in_.erase(0, end + 4);
}

WsClient::~WsClient() { drop(); }

void WsClient::drop() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void WsClient::send(int opcode, const std::string& payload, bool masked) {
  std::string f(1, static_cast<char>(0x80 | opcode));
  const uint8_t mask = masked ? 0x80 : 0;
  if (payload.size() < 126) {
    f += static_cast<char>(mask | payload.size());
  } else if (payload.size() < 65536) {
    f += static_cast<char>(mask | 126);
    for (int s = 8; s >= 0; s -= 8) f += static_cast<char>(payload.size() >> s);
  } else {
    f += static_cast<char>(mask | 127);
    for (int s = 56; s >= 0; s -= 8) f += static_cast<char>(static_cast<uint64_t>(payload.size()) >> s);
  }
  static thread_local std::minstd_rand rng(7);
  char key[4];
  for (char& k : key) k = static_cast<char>(rng());
  if (masked) f.append(key, 4);
  for (size_t i = 0; i < payload.size(); ++i) f += masked ? static_cast<char>(payload[i] ^ key[i % 4]) : payload[i];
  if (fd_ >= 0) sendAll(fd_, f);
}

bool WsClient::fill(size_t n, double deadline) {
  char buf[65536];
  while (in_.size() < n) {
    const double left = std::max(0.0, deadline - nowS());
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || ::poll(&p, 1, static_cast<int>(left * 1000)) <= 0) return false;
    const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
    if (got <= 0) return false;
    in_.append(buf, static_cast<size_t>(got));
  }
  return true;
}

WsFrame WsClient::read(double timeoutS) {
  const double deadline = nowS() + timeoutS;
  for (;;) {
    if (!fill(2, deadline)) return {};
    const int opcode = in_[0] & 0x0f;
    size_t len = in_[1] & 0x7f, head = 2;
    if (len >= 126) {
      head += len == 126 ? 2 : 8;
      if (!fill(head, deadline)) return {};
      len = 0;
      for (size_t i = 2; i < head; ++i) len = len << 8 | static_cast<uint8_t>(in_[i]);
    }
    if (!fill(head + len, deadline)) return {};
    WsFrame f{opcode, in_.substr(head, len)};
    in_.erase(0, head + len);
    if (opcode == 8) send(8, f.payload);  // a close is answered with a close
    if (opcode != 9) return f;
    send(10, f.payload);  // pong
  }
}

std::string httpRaw(int port, const std::string& request) {
  const int fd = connectTo(port, 0);
  if (fd < 0) return "";
  sendAll(fd, request);
  std::string out;
  char buf[65536];
  pollfd p{fd, POLLIN, 0};
  for (ssize_t n; ::poll(&p, 1, 10000) > 0 && (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
    out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return out;
}

std::string httpGet(int port, const std::string& path) {
  return httpRaw(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

}  // namespace lt
