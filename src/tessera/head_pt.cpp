#include "tessera/head_pt.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace le::tessera {

namespace {

[[noreturn]] void refusePt(const std::string& text) { throw std::runtime_error(text); }

uint32_t u16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

struct Entry {
  const uint8_t* data;
  size_t size;
};

// Stored entries by name.
std::map<std::string, Entry> readZip(const std::vector<uint8_t>& z) {
  const size_t n = z.size();
  if (n < 22) refusePt("teeth: head .pt is not a zip");
  size_t eocd = n - 22 + 1;
  while (eocd-- > 0)
    if (u32(&z[eocd]) == 0x06054B50) break;
  if (eocd == static_cast<size_t>(-1)) refusePt("teeth: head .pt has no zip EOCD");
  const uint32_t count = u16(&z[eocd + 10]);
  size_t pos = u32(&z[eocd + 16]);
  std::map<std::string, Entry> entries;
  for (uint32_t i = 0; i < count; ++i) {
    if (pos > n || n - pos < 46 || u32(&z[pos]) != 0x02014B50) refusePt("teeth: head .pt central directory is malformed");
    const uint8_t* h = &z[pos];
    const size_t nameLen = u16(h + 28), extraLen = u16(h + 30), commentLen = u16(h + 32);
    if (n - pos - 46 < nameLen) refusePt("teeth: head .pt central directory is malformed");
    if (u16(h + 10) != 0)
      refusePt("teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member");
    const size_t size = u32(h + 20);
    const size_t local = u32(h + 42);
    if (local > n || n - local < 30) refusePt("teeth: head .pt local header out of range");
    const size_t start = local + 30 + u16(&z[local + 26]) + u16(&z[local + 28]);
    if (start > n || n - start < size) refusePt("teeth: head .pt entry out of range");
    entries.emplace(std::string(reinterpret_cast<const char*>(h + 46), nameLen), Entry{z.data() + start, size});
    pos += 46 + nameLen + extraLen + commentLen;
  }
  return entries;
}

// Pickle values live in the unpickler's arena and refer to each other by
// pointer, so memo references and self-references cost nothing.
struct PVal {
  enum Kind { kNone, kBool, kInt, kStr, kTuple, kList, kDict, kGlobal, kStorage, kTensor, kMark } kind = kNone;
  int64_t i = 0;
  std::string s, s2;  // string; global module and name; storage key
  std::vector<PVal*> items;
  std::vector<std::pair<PVal*, PVal*>> dict;
  int64_t offset = 0;  // tensor storage offset
  std::vector<int64_t> sizes, strides;
};

class Unpickler {
 public:
  Unpickler(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  PVal* run();

 private:
  PVal* make(PVal::Kind k) {
    arena_.push_back(std::make_unique<PVal>());
    arena_.back()->kind = k;
    return arena_.back().get();
  }
  const uint8_t* take(size_t k) {
    if (n_ - i_ < k) refusePt("teeth: pickle truncated");
    const uint8_t* at = p_ + i_;
    i_ += k;
    return at;
  }
  std::string line() {
    const void* nl = std::memchr(p_ + i_, '\n', n_ - i_);
    if (!nl) refusePt("teeth: pickle truncated");
    const size_t len = static_cast<const uint8_t*>(nl) - (p_ + i_);
    std::string s(reinterpret_cast<const char*>(take(len)), len);
    take(1);
    return s;
  }
  PVal* pop() {
    if (stack_.empty()) refusePt("teeth: pickle stack underflow in head .pt");
    PVal* v = stack_.back();
    stack_.pop_back();
    return v;
  }
  PVal* top() {
    if (stack_.empty()) refusePt("teeth: pickle stack underflow in head .pt");
    return stack_.back();
  }
  // The items above the last mark, which is removed.
  std::vector<PVal*> popMark() {
    if (marks_.empty() || marks_.back() > stack_.size()) refusePt("teeth: pickle stack underflow in head .pt");
    const size_t at = marks_.back();
    marks_.pop_back();
    std::vector<PVal*> items(stack_.begin() + static_cast<std::ptrdiff_t>(at), stack_.end());
    stack_.resize(at);
    return items;
  }
  PVal* tuple(std::vector<PVal*> items) {
    PVal* t = make(PVal::kTuple);
    t->items = std::move(items);
    return t;
  }
  void setItems(PVal* dict, const std::vector<PVal*>& kv) {
    if (dict->kind != PVal::kDict || kv.size() % 2) refusePt("teeth: pickle SETITEM outside a dict in head .pt");
    for (size_t k = 0; k < kv.size(); k += 2) dict->dict.emplace_back(kv[k], kv[k + 1]);
  }
  PVal* memoGet(size_t index, const char* op) {
    if (index >= memo_.size() || !memo_[index]) refusePt(std::string("teeth: pickle ") + op + " out of range");
    return memo_[index];
  }
  void memoPut(size_t index) {
    // Memo indices come from the file; a sparse one is stored, not allocated up to.
    if (index > n_) refusePt("teeth: pickle memo index out of range");
    if (index >= memo_.size()) memo_.resize(index + 1, nullptr);
    memo_[index] = top();
  }
  PVal* persistent(PVal* pid);
  PVal* reduce(PVal* callable, PVal* args);

  const uint8_t* p_;
  size_t n_;
  size_t i_ = 0;
  std::vector<std::unique_ptr<PVal>> arena_;
  std::vector<PVal*> stack_;
  std::vector<size_t> marks_;
  std::vector<PVal*> memo_;
};

PVal* Unpickler::persistent(PVal* pid) {
  if (pid->kind != PVal::kTuple || pid->items.size() < 5 || pid->items[0]->kind != PVal::kStr ||
      pid->items[0]->s != "storage" || pid->items[1]->kind != PVal::kGlobal || pid->items[2]->kind != PVal::kStr ||
      pid->items[4]->kind != PVal::kInt)
    refusePt("teeth: unexpected persistent id in head .pt");
  const PVal* type = pid->items[1];
  if (type->s != "torch" || type->s2 != "FloatStorage")
    refusePt("teeth: head .pt storage is " + type->s + "." + type->s2 +
           ", not torch FloatStorage — refusing to reinterpret it");
  PVal* ref = make(PVal::kStorage);
  ref->s2 = pid->items[2]->s;
  ref->i = pid->items[4]->i;
  return ref;
}

bool intTuple(const PVal* v, std::vector<int64_t>& out) {
  if (v->kind != PVal::kTuple) return false;
  out.clear();
  for (const PVal* e : v->items) {
    if (e->kind != PVal::kInt) return false;
    out.push_back(e->i);
  }
  return true;
}

PVal* Unpickler::reduce(PVal* callable, PVal* args) {
  if (callable->kind != PVal::kGlobal)
    refusePt("teeth: head .pt calls a value that is not a global — this reader refuses code it does not model");
  if (callable->s == "collections" && callable->s2 == "OrderedDict") return make(PVal::kDict);
  if (callable->s != "torch._utils" || callable->s2 != "_rebuild_tensor_v2")
    refusePt("teeth: head .pt calls " + callable->s + " " + callable->s2 +
           " — this reader refuses code it does not model");
  PVal* t = make(PVal::kTensor);
  const auto& a = args->items;
  if (args->kind != PVal::kTuple || a.size() < 4 || a[0]->kind != PVal::kStorage || a[1]->kind != PVal::kInt ||
      !intTuple(a[2], t->sizes) || !intTuple(a[3], t->strides) || t->sizes.size() != t->strides.size())
    refusePt("teeth: malformed _rebuild_tensor_v2");
  t->s2 = a[0]->s2;
  t->i = a[0]->i;
  t->offset = a[1]->i;
  return t;
}

PVal* Unpickler::run() {
  for (;;) {
    const uint8_t op = *take(1);
    switch (op) {
      case 0x80: take(1); break;  // PROTO
      case '(': marks_.push_back(stack_.size()); break;
      case ')': stack_.push_back(tuple({})); break;
      case 't': stack_.push_back(tuple(popMark())); break;
      case 0x85: case 0x86: case 0x87: {
        const size_t k = op - 0x84u;
        if (stack_.size() < k) refusePt("teeth: pickle stack underflow in head .pt");
        std::vector<PVal*> items(stack_.end() - static_cast<std::ptrdiff_t>(k), stack_.end());
        stack_.resize(stack_.size() - k);
        stack_.push_back(tuple(std::move(items)));
        break;
      }
      case '}': stack_.push_back(make(PVal::kDict)); break;
      case 's': {
        PVal* v = pop();
        PVal* k = pop();
        setItems(top(), {k, v});
        break;
      }
      case 'u': {
        const std::vector<PVal*> kv = popMark();
        setItems(top(), kv);
        break;
      }
      case 'J': {
        int32_t v;
        std::memcpy(&v, take(4), 4);
        stack_.push_back(make(PVal::kInt));
        stack_.back()->i = v;
        break;
      }
      case 'K': stack_.push_back(make(PVal::kInt)), stack_.back()->i = *take(1); break;
      case 'M': stack_.push_back(make(PVal::kInt)), stack_.back()->i = u16(take(2)); break;
      case 'N': stack_.push_back(make(PVal::kNone)); break;
      case 0x88: case 0x89:
        stack_.push_back(make(PVal::kBool));
        stack_.back()->i = op == 0x88;
        break;
      case 'X': {
        const uint32_t len = u32(take(4));
        const uint8_t* s = take(len);
        stack_.push_back(make(PVal::kStr));
        stack_.back()->s.assign(reinterpret_cast<const char*>(s), len);
        break;
      }
      case 'c': {
        PVal* g = make(PVal::kGlobal);
        g->s = line();
        g->s2 = line();
        stack_.push_back(g);
        break;
      }
      case 'Q': stack_.push_back(persistent(pop())); break;
      case 'R': {
        PVal* args = pop();
        PVal* callable = pop();
        stack_.push_back(reduce(callable, args));
        break;
      }
      case 'b':
        pop();  // the state of an OrderedDict (its _metadata) is not needed
        top();
        break;
      case 'h': stack_.push_back(memoGet(*take(1), "BINGET")); break;
      case 'j': stack_.push_back(memoGet(u32(take(4)), "LONG_BINGET")); break;
      case 'q': memoPut(*take(1)); break;
      case 'r': memoPut(u32(take(4))); break;
      case '.': return pop();
      default: {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%02x", op);
        refusePt(std::string("teeth: unsupported pickle opcode 0x") + hex + " in head .pt");
      }
    }
  }
}

std::string shapeText(const std::vector<int64_t>& sizes) {
  std::string s;
  for (size_t i = 0; i < sizes.size(); ++i) s += (i ? "," : "") + std::to_string(sizes[i]);
  return s;
}

// The tensor's floats: contiguous, inside its storage entry.
std::vector<float> tensorValues(const PVal& t, const HeadTensor& want, const std::map<std::string, Entry>& entries,
                                const std::string& dataDir) {
  const auto e = entries.find(dataDir + t.s2);
  if (e == entries.end()) refusePt("teeth: head storage " + t.s2 + " missing");
  size_t count = 1;
  int64_t stride = 1;
  for (size_t d = want.shape.size(); d-- > 0;) {
    if (want.shape[d] > 1 && t.strides[d] != stride)
      refusePt(std::string("teeth: head '") + want.name + "' is not stored contiguously");
    stride *= want.shape[d];
    count *= static_cast<size_t>(want.shape[d]);
  }
  const size_t floats = e->second.size / 4;
  if (t.offset < 0 || static_cast<size_t>(t.offset) > floats || floats - static_cast<size_t>(t.offset) < count)
    refusePt("teeth: head storage " + t.s2 + " is shorter than '" + want.name + "'");
  std::vector<float> v(count);
  std::memcpy(v.data(), e->second.data + static_cast<size_t>(t.offset) * 4, count * 4);  // little-endian floats
  return v;
}

}  // namespace

const std::vector<HeadTensor>& blendHeadTensors() {
  static const std::vector<HeadTensor> t{
      {"cand.0.weight", {16, 7, 3, 3}}, {"cand.0.bias", {16}}, {"cand.2.weight", {16, 16, 3, 3}},
      {"cand.2.bias", {16}},           {"cand.4.weight", {1, 16, 3, 3}}, {"cand.4.bias", {1}},
      {"syn.0.weight", {16, 3, 3, 3}}, {"syn.0.bias", {16}},   {"syn.2.weight", {1, 16, 3, 3}},
      {"syn.2.bias", {1}},
  };
  return t;
}

size_t HeadWeights::params() const {
  size_t n = 0;
  for (const auto& t : tensors) n += t.size();
  return n;
}

HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes) {
  const std::map<std::string, Entry> entries = readZip(bytes);
  const std::string kPkl = "/data.pkl";
  const Entry* pkl = nullptr;
  std::string dir;
  for (const auto& [name, e] : entries)
    if (name.size() >= kPkl.size() && name.compare(name.size() - kPkl.size(), kPkl.size(), kPkl) == 0) {
      pkl = &e;
      dir = name.substr(0, name.size() - kPkl.size());
      break;
    }
  if (!pkl) refusePt("teeth: head .pt has no data.pkl");
  Unpickler u(pkl->data, pkl->size);
  const PVal* state = u.run();
  if (state->kind != PVal::kDict || state->dict.empty()) refusePt("teeth: head .pt state_dict is empty");

  const auto named = [&](const char* name, const PVal** found) {
    int count = 0;
    for (const auto& [k, v] : state->dict)
      if (k->kind == PVal::kStr && k->s == name) ++count, *found = v;
    return count;
  };
  const std::vector<HeadTensor>& want = blendHeadTensors();
  bool syn = false;
  for (size_t i = kCandTensors; i < want.size(); ++i) {
    const PVal* v = nullptr;
    syn = syn || named(want[i].name, &v) > 0;
  }
  HeadWeights w;
  w.tensors.resize(want.size());
  for (size_t i = 0; i < (syn ? want.size() : kCandTensors); ++i) {
    const PVal* v = nullptr;
    const int count = named(want[i].name, &v);
    if (count > 1)
      refusePt(std::string("teeth: head .pt names '") + want[i].name + "' " + std::to_string(count) +
             " times — ambiguous");
    if (count == 0) refusePt(std::string("teeth: head .pt lacks '") + want[i].name + "'");
    if (v->kind != PVal::kTensor) refusePt(std::string("teeth: '") + want[i].name + "' is not a tensor");
    if (v->sizes != want[i].shape)
      refusePt(std::string("teeth: head '") + want[i].name + "' has shape [" + shapeText(v->sizes) +
             "] — not the BlendHead(16) arch");
    w.tensors[i] = tensorValues(*v, want[i], entries, dir + "/data/");
  }
  const size_t params = w.params();
  if (params != kBlendHeadParams && params != kBlendHead8Params)
    refusePt("teeth: head has " + std::to_string(params) +
           " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
  return w;
}

}  // namespace le::tessera
