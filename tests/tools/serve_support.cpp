#include "tools/serve_support.h"

#include <chrono>
#include <regex>
#include <thread>

#include "session/session_support.h"

namespace lt {

Serve::Serve(const std::string& dir, const std::string& args)
    : child("env VELOMARK_ENGINE_QUIET=1 " LE_TEST_VOZAZ " serve " + st::directorBundle() + " " + st::motionBundle() +
                " --w2v " + st::w2vPath() + " --port 0 " + args,
            dir + "/serve.log") {
  const std::string port = child.waitForLog(std::regex(R"(listening on http://127\.0\.0\.1:(\d+)/)"), 120 * st::kSlow);
  port_ = port.empty() ? 0 : std::stoi(port);
  EXPECT_GT(port_, 0) << slurp(dir + "/serve.log");
}

int Serve::sessions() const {
  std::smatch m;
  const std::string status = httpGet(port_, "/status");
  return std::regex_search(status, m, std::regex(R"("sessions":(\d+))")) ? std::stoi(m[1]) : -1;
}

int Serve::waitSessions(int want, double timeoutS) const {
  const auto by = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutS * st::kSlow);
  int n;
  while ((n = sessions()) != want && std::chrono::steady_clock::now() < by)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return n;
}

int readyId(WsClient& ws) {
  std::smatch m;
  for (WsFrame f; (f = ws.read(60 * st::kSlow)).opcode >= 0;)
    if (f.opcode == 1 && std::regex_search(f.payload, m, std::regex(R"re("type":"ready","session":(\d+))re")))
      return std::stoi(m[1]);
  return -1;
}

}  // namespace lt
