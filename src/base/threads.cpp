#include "base/threads.h"

#include <map>
#include <mutex>
#include <utility>

namespace le::threads {
namespace {

struct Registry {
  std::mutex mutex;
  unsigned long next = 1;
  std::map<unsigned long, Entry> live;  // ordered by id: oldest first
};

Registry& registry() {
  // Never destroyed: worker threads may unregister during static destruction.
  static Registry* const r = new Registry;
  return *r;
}

}  // namespace

Registration::Registration(std::string role, std::string owner, int count, std::string purpose) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  id_ = r.next++;
  r.live.emplace(id_, Entry{std::move(role), std::move(owner), count, std::move(purpose)});
}

Registration::~Registration() {
  if (!id_) return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.live.erase(id_);
}

Registration::Registration(Registration&& other) noexcept : id_(std::exchange(other.id_, 0)) {}

Registration& Registration::operator=(Registration&& other) noexcept {
  if (this != &other) {
    Registration dying(std::move(*this));
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

std::vector<Entry> census() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::vector<Entry> out;
  out.reserve(r.live.size());
  for (const auto& [id, e] : r.live) out.push_back(e);
  return out;
}

int total() {
  int n = 0;
  for (const Entry& e : census()) n += e.count;
  return n;
}

}  // namespace le::threads
