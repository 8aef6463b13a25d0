#include "serve_net.h"

#include <utility>  // before Boost 1.74's Asio, which uses std::exchange without it

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "base/threads.h"
#include "serve_log.h"
#include "serve_protocol.h"

// The page, embedded at build time.
extern const unsigned char kServePage[];
extern const size_t kServePageSize;

namespace vozaz::serve {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using clock = std::chrono::steady_clock;
using Request = http::request<http::empty_body>;

constexpr auto kHttpTimeout = std::chrono::seconds(30);
constexpr auto kCloseGrace = std::chrono::seconds(2);
// Audio may run this far ahead of real time (a throttled tab catching up).
constexpr double kAudioBurstS = 2;
// Small enough that a client which stops reading is noticed within seconds.
constexpr int kSendBuffer = 64 * 1024;

std::string peerOf(const tcp::socket& s) {
  beast::error_code ec;
  const tcp::endpoint e = s.remote_endpoint(ec);
  return ec ? "?" : e.address().to_string() + ":" + std::to_string(e.port());
}

// Browsers always send Origin; a page from another site must not drive a
// session here, while tools that send none are welcome.
bool sameOrigin(const Request& req) {
  const auto origin = req.find(http::field::origin);
  if (origin == req.end()) return true;
  const std::string_view o = origin->value();
  const size_t scheme = o.find("://");
  return scheme != std::string_view::npos && o.substr(scheme + 3) == req[http::field::host];
}

class Server;

// One WebSocket: a session's, or a refusal's.
class Client : public std::enable_shared_from_this<Client> {
 public:
  Client(beast::tcp_stream&& stream, std::string peer)
      : ws_(std::move(stream)), peer_(std::move(peer)), closeTimer_(ws_.get_executor()) {}

  void open(const Request& req, std::shared_ptr<Session> session);
  void refuse(const Request& req, std::string reason);
  void flush();
  void closeWith(int code, std::string reason);

 private:
  void configure();
  void read();
  void onRead(beast::error_code ec);
  void onWrite(beast::error_code ec);
  void audio(const uint8_t* bytes, size_t n);
  void text(std::string_view text);
  void refuseInput(int code, const std::string& why);
  void sendClose();

  websocket::stream<beast::tcp_stream> ws_;
  const std::string peer_;
  asio::steady_timer closeTimer_;
  beast::flat_buffer in_;
  std::vector<int16_t> samples_ = std::vector<int16_t>(kMaxMessage / 2);
  std::shared_ptr<Session> session_;  // kept while a write may point into its outbox
  bool writing_ = false, closing_ = false, inputRefused_ = false;
  std::optional<websocket::close_reason> pendingClose_;
  double allowance_ = kAudioBurstS * kRate;  // samples
  clock::time_point allowanceAt_ = clock::now();
};

// One HTTP connection until it asks for a WebSocket.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(Server& server, tcp::socket&& socket)
      : server_(server), peer_(peerOf(socket)), stream_(std::move(socket)) {}
  void read();

 private:
  void onRead(beast::error_code ec);
  void respond(http::status status, const char* type, std::string body);

  Server& server_;
  const std::string peer_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  http::response<http::string_body> response_;
};

class Server {
 public:
  Server(asio::io_context& ioc, const Listen& listen, const Options& opts, ContextShelf& shelf)
      : ioc_(ioc), listen_(listen), opts_(opts), shelf_(shelf), acceptor_(ioc), signals_(ioc, SIGINT, SIGTERM),
        statusTimer_(ioc) {
    const tcp::endpoint at(asio::ip::make_address(listen.host), static_cast<unsigned short>(listen.port));
    acceptor_.open(at.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(at);
    acceptor_.listen();
  }
  ~Server() { sessions_.clear(); }  // joins every pump

  std::string url() const {
    const tcp::endpoint e = acceptor_.local_endpoint();
    const std::string host = e.address().is_v6() ? "[" + e.address().to_string() + "]" : e.address().to_string();
    return "http://" + host + ":" + std::to_string(e.port()) + "/";
  }

  void start() {
    accept();
    signals_.async_wait([this](beast::error_code ec, int) {
      if (!ec) stop();
    });
    showStatus();
  }

  const Totals& totals() const { return totals_; }

  void upgrade(beast::tcp_stream&& stream, const Request& req, const std::string& peer) {
    auto client = std::make_shared<Client>(std::move(stream), peer);
    if (stopping_ || static_cast<int>(sessions_.size()) >= listen_.maxSessions) {
      ++totals_.refused;
      const std::string why = stopping_ ? "the server is shutting down"
                                        : "all " + std::to_string(listen_.maxSessions) +
                                              " sessions are in use (--max-sessions); try again when one closes";
      logLine("[vozaz serve] refused %s: %s", peer.c_str(), why.c_str());
      client->refuse(req, why);
      return;
    }
    const int id = ++nextId_;
    const std::weak_ptr<Client> weak = client;
    std::shared_ptr<Session> session;
    try {
      session = std::make_shared<Session>(
          id, peer, opts_, shelf_,
          [this, weak] {
            asio::post(ioc_, [weak] {
              if (auto c = weak.lock()) c->flush();
            });
          },
          [this, id] { asio::post(ioc_, [this, id] { finished(id); }); });
    } catch (const std::exception& e) {  // no thread or memory for it: this client only
      ++totals_.refused;
      logLine("[vozaz serve] refused %s: %s", peer.c_str(), e.what());
      return client->refuse(req, std::string("the server cannot open a session now: ") + e.what());
    }
    sessions_[id] = {session, weak};
    client->open(req, std::move(session));
  }

  std::string statusJson() const {
    return "{\"sessions\":" + std::to_string(sessions_.size()) +
           ",\"max_sessions\":" + std::to_string(listen_.maxSessions) +
           ",\"served\":" + std::to_string(totals_.served) + ",\"refused\":" + std::to_string(totals_.refused) +
           ",\"library_threads\":" + std::to_string(le::threads::total()) + "}";
  }

 private:
  struct Entry {
    std::shared_ptr<Session> session;
    std::weak_ptr<Client> client;
  };

  void accept() {
    acceptor_.async_accept(asio::make_strand(ioc_), [this](beast::error_code ec, tcp::socket socket) {
      if (ec) {
        if (acceptor_.is_open()) accept();
        return;
      }
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      socket.set_option(asio::socket_base::send_buffer_size(kSendBuffer), ignored);
      std::make_shared<HttpConnection>(*this, std::move(socket))->read();
      accept();
    });
  }

  void finished(int id) {
    const auto it = sessions_.find(id);
    if (it == sessions_.end()) return;
    const std::shared_ptr<Session> session = it->second.session;
    const std::shared_ptr<Client> client = it->second.client.lock();
    sessions_.erase(it);
    ++totals_.served;
    if (client) client->closeWith(session->closeCode(), session->closeReason());
    if (stopping_ && sessions_.empty()) ioc_.stop();
  }

  void stop() {
    stopping_ = true;
    beast::error_code ignored;
    acceptor_.close(ignored);
    statusTimer_.cancel();
    for (auto& [id, e] : sessions_) e.session->end(1001, "the server is shutting down");
    if (sessions_.empty()) ioc_.stop();
  }

  // The terminal's status line, once a second.
  void showStatus() {
    setStatus("[vozaz serve] " + url() + "  " + std::to_string(sessions_.size()) + " open, " +
              std::to_string(totals_.served) + " closed, " + std::to_string(totals_.refused) + " refused");
    statusTimer_.expires_after(std::chrono::seconds(1));
    statusTimer_.async_wait([this](beast::error_code ec) {
      if (!ec) showStatus();
    });
  }

  asio::io_context& ioc_;
  const Listen listen_;
  const Options& opts_;
  ContextShelf& shelf_;
  tcp::acceptor acceptor_;
  asio::signal_set signals_;
  asio::steady_timer statusTimer_;
  std::map<int, Entry> sessions_;
  Totals totals_;
  int nextId_ = 0;
  bool stopping_ = false;
};

void HttpConnection::read() {
  parser_.emplace();
  parser_->header_limit(8 * 1024);
  stream_.expires_after(kHttpTimeout);
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
}

void HttpConnection::onRead(beast::error_code ec) {
  if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted) return;
  if (ec) return respond(http::status::bad_request, "text/plain", "vozaz serve: bad request (" + ec.message() + ")\n");
  const Request& req = parser_->get();
  const std::string_view target = req.target();
  if (websocket::is_upgrade(req) && target == "/ws") {
    if (!sameOrigin(req))
      return respond(http::status::forbidden, "text/plain", "vozaz serve: WebSockets from another origin are refused\n");
    stream_.expires_never();  // the WebSocket keeps its own timeouts
    return server_.upgrade(std::move(stream_), req, peer_);
  }
  if (req.method() != http::verb::get)
    return respond(http::status::method_not_allowed, "text/plain", "vozaz serve: only GET\n");
  if (target == "/" || target.substr(0, 2) == "/?")
    return respond(http::status::ok, "text/html; charset=utf-8",
                   std::string(reinterpret_cast<const char*>(kServePage), kServePageSize));
  if (target == "/status") return respond(http::status::ok, "application/json", server_.statusJson() + "\n");
  respond(http::status::not_found, "text/plain", "vozaz serve: no such page\n");
}

void HttpConnection::respond(http::status status, const char* type, std::string body) {
  const bool keepAlive = status == http::status::ok && parser_->get().keep_alive();
  response_ = {};
  response_.result(status);
  response_.version(11);
  response_.set(http::field::server, "vozaz");
  response_.set(http::field::content_type, type);
  response_.set(http::field::cache_control, "no-store");
  response_.set("X-Content-Type-Options", "nosniff");
  response_.keep_alive(keepAlive);
  response_.body() = std::move(body);
  response_.prepare_payload();
  http::async_write(stream_, response_, [self = shared_from_this(), keepAlive](beast::error_code ec, size_t) {
    if (!ec && keepAlive) return self->read();
    beast::error_code ignored;
    self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  });
}

void Client::configure() {
  websocket::stream_base::timeout t = websocket::stream_base::timeout::suggested(beast::role_type::server);
  t.handshake_timeout = std::chrono::seconds(10);
  t.idle_timeout = std::chrono::seconds(15);  // pinged first; a peer that answers nothing is gone
  t.keep_alive_pings = true;
  ws_.set_option(t);
  ws_.read_message_max(kMaxMessage);
  ws_.auto_fragment(false);
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& res) { res.set(http::field::server, "vozaz"); }));
}

void Client::open(const Request& req, std::shared_ptr<Session> session) {
  session_ = std::move(session);
  configure();
  ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
    if (ec) return self->session_->end(1002, "the WebSocket handshake failed: " + ec.message());
    self->read();
    self->flush();
  });
}

void Client::refuse(const Request& req, std::string reason) {
  configure();
  closing_ = true;
  closeTimer_.expires_after(kCloseGrace);
  closeTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec) beast::get_lowest_layer(self->ws_).close();
  });
  ws_.async_accept(req, [self = shared_from_this(), reason = std::move(reason)](beast::error_code ec) {
    if (ec) return;
    self->pendingClose_ = websocket::close_reason(websocket::close_code::try_again_later, reason);
    self->sendClose();
    self->read();
  });
}

void Client::read() {
  ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
}

void Client::onRead(beast::error_code ec) {
  if (ec) {
    closeTimer_.cancel();
    if (!session_) return;
    if (ec == websocket::error::closed)
      session_->end(1000, "the client closed the connection");
    else if (ec == websocket::error::message_too_big)
      session_->end(1009, "the client sent a message over " + std::to_string(kMaxMessage) + " bytes");
    else if (ec == websocket::condition::protocol_violation)
      session_->end(1002, "the client broke the WebSocket protocol (" + ec.message() + ")");
    else if (ec == beast::error::timeout)
      session_->end(1001, "the client stopped answering");
    else
      session_->end(1006, "the client disconnected");
    return;
  }
  if (!closing_ && !inputRefused_) {
    const auto* bytes = static_cast<const uint8_t*>(in_.cdata().data());
    if (ws_.got_binary())
      audio(bytes, in_.size());
    else
      text(std::string_view(reinterpret_cast<const char*>(bytes), in_.size()));
  }
  in_.consume(in_.size());
  read();  // also after a close is sent, until the peer answers it
}

void Client::audio(const uint8_t* bytes, size_t n) {
  if (const char* problem = audioProblem(n)) return refuseInput(1003, std::string("the client sent ") + problem);
  // The allowance refills at the real-time rate: memory stays bounded
  // whatever the client sends.
  const auto now = clock::now();
  allowance_ = std::min(kAudioBurstS * kRate,
                        allowance_ + std::chrono::duration<double>(now - allowanceAt_).count() * kRate);
  allowanceAt_ = now;
  allowance_ -= static_cast<double>(n / 2);
  if (allowance_ < 0) return refuseInput(1008, "the client sent audio faster than real time");
  decodeSamples(bytes, n, samples_.data());
  session_->audio(samples_.data(), n / 2);
}

void Client::text(std::string_view text) {
  const ClientText t = parseClientText(text);
  switch (t.kind) {
    case ClientText::kEnd:
      return session_->endUtterance();
    case ClientText::kInterrupt:
      return session_->interrupt();
    case ClientText::kReport:
      logLine("[vozaz serve] session %d self-test: %.*s", session_->id(), static_cast<int>(t.detail.size()),
              t.detail.data());
      return;
    case ClientText::kBad:
      return refuseInput(1003, "the client sent " + std::string(t.detail));
  }
}

void Client::refuseInput(int code, const std::string& why) {
  inputRefused_ = true;
  session_->end(code, why);
}

void Client::flush() {
  Message m{};
  if (writing_ || closing_ || !session_ || !session_->front(m)) return;
  writing_ = true;
  ws_.text(m.text);
  ws_.async_write(asio::buffer(m.data, m.size),
                  [self = shared_from_this()](beast::error_code ec, size_t) { self->onWrite(ec); });
}

void Client::onWrite(beast::error_code ec) {
  writing_ = false;
  if (ec) {
    session_->end(1006, "the client disconnected");
    return;
  }
  session_->pop();
  if (pendingClose_) return sendClose();
  flush();
}

void Client::closeWith(int code, std::string reason) {
  if (closing_) return;
  closing_ = true;
  closeTimer_.expires_after(kCloseGrace);  // a client that reads nothing gets no close frame either
  closeTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec) beast::get_lowest_layer(self->ws_).close();
  });
  if (reason.size() > 120) reason.resize(120);  // a close frame carries at most 123 bytes
  if (code == 1005 || code == 1006 || code == 1015) code = 1000;  // never sent on the wire
  pendingClose_ = websocket::close_reason(static_cast<websocket::close_code>(code), reason);
  if (!writing_) sendClose();
}

void Client::sendClose() {
  const websocket::close_reason why = *pendingClose_;
  pendingClose_.reset();
  if (!ws_.is_open()) {
    beast::get_lowest_layer(ws_).close();
    return;
  }
  ws_.async_close(why, [self = shared_from_this()](beast::error_code ec) {
    if (ec) beast::get_lowest_layer(self->ws_).close();
  });
}

}  // namespace

Totals runServer(const Listen& listen, const Options& opts, ContextShelf& shelf,
                 const std::function<void(const std::string&)>& listening) {
  asio::io_context ioc(1);
  Server server(ioc, listen, opts, shelf);
  listening(server.url());
  server.start();
  ioc.run();
  return server.totals();
}

}  // namespace vozaz::serve
