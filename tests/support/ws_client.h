// A WebSocket client on a plain socket, written here so that it can also
// break the protocol on purpose (unmasked frames, reserved opcodes, lying
// lengths); and plain HTTP requests. Loopback only.
#pragma once

#include <string>

namespace lt {

struct WsFrame {
  int opcode = -1;  // -1: the connection ended, or nothing came in time
  std::string payload;
  int closeCode() const;  // of a close frame
  std::string closeReason() const;
};

class WsClient {
 public:
  // Asks 127.0.0.1:port for a WebSocket on path; recvBuffer > 0 shrinks the
  // socket's receive buffer first.
  WsClient(int port, const std::string& path, int recvBuffer = 0);
  ~WsClient();
  WsClient(const WsClient&) = delete;
  WsClient& operator=(const WsClient&) = delete;

  bool upgraded() const { return upgraded_; }
  // One frame, final; masked as a client must unless told not to. Errors
  // (the server hung up) are ignored: the reads tell.
  void send(int opcode, const std::string& payload, bool masked = true);
  // The next frame within timeoutS. Pings and closes are answered.
  WsFrame read(double timeoutS);
  // Hangs up without a close frame.
  void drop();

 private:
  bool fill(size_t n, double deadline);
  int fd_ = -1;
  bool upgraded_ = false;
  std::string in_;
};

// The whole response to a raw HTTP request (the server closes after it).
std::string httpRaw(int port, const std::string& request);
std::string httpGet(int port, const std::string& path);

}  // namespace lt
