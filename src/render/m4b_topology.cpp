#include "render/m4b_topology.h"

#include <cctype>
#include <stdexcept>

namespace le {

namespace {

struct NotM4b : std::runtime_error {
  explicit NotM4b(const std::string& reason)
      : std::runtime_error("le_conv: this graph is not the fused m4b topology this kernel implements (" + reason +
                           ") — use ORT for it") {}
};

std::string dimsText(const std::vector<int64_t>& d) {
  std::string t = "(";
  for (size_t i = 0; i < d.size(); ++i) t += (i ? "," : "") + std::to_string(d[i]);
  return t + ")";
}

// The single initializer of this shape, or null when there is none or more than one.
const ConvTensor* singleOfShape(const ConvModel& m, std::initializer_list<int64_t> shape) {
  const ConvTensor* found = nullptr;
  for (const ConvTensor& t : m.tensors())
    if (t.hasShape(shape)) {
      if (found) return nullptr;
      found = &t;
    }
  return found;
}

// The out-channel count of a named layer's weight, which fixes one free width.
int widthOf(const ConvModel& m, const std::string& layer) {
  const ConvTensor* w = m.find(layer + ".weight");
  if (!w) throw NotM4b("layer " + layer + " absent");
  if (w->dims.empty() || w->dims[0] < 1 || w->dims[0] > 4096)
    throw NotM4b("layer " + layer + " has the shape " + dimsText(w->dims));
  return static_cast<int>(w->dims[0]);
}

void resolvePre(const ConvModel& m, M4bTopology& t) {
  t.preWeight = singleOfShape(m, {96, 85, 1, 1});
  if (!t.preWeight) throw NotM4b("pre weight (96,85,1,1) absent or ambiguous");
  const std::string& name = t.preWeight->name;
  size_t digits = name.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
  if (digits == name.size() || name.size() - digits > 9) throw NotM4b("pre weight name carries no SSA counter");
  const std::string biasName = name.substr(0, digits) + std::to_string(std::stol(name.substr(digits)) + 1);
  t.preBias = m.find(biasName);
  if (!t.preBias || !t.preBias->hasShape({96})) throw NotM4b("pre bias " + biasName + " absent or not (96)");
}

}  // namespace

M4bTopology m4bResolve(const ConvModel& m) {
  M4bTopology t;
  resolvePre(m, t);
  t.grid32 = singleOfShape(m, {1, 1, 32, 32, 2});
  if (!t.grid32) throw NotM4b("grid32 (1,1,32,32,2) absent or ambiguous");
  t.basis = singleOfShape(m, {64, 196608});
  if (!t.basis) throw NotM4b("basis (64,196608) absent or ambiguous");

  M4bWidths& w = t.widths;
  w.e0 = widthOf(m, "s.e0.conv"), w.e1 = widthOf(m, "s.e1.conv"), w.e2 = widthOf(m, "s.e2.conv");
  w.hidden = widthOf(m, "s.wmlp.0"), w.d1 = widthOf(m, "s.d1.conv"), w.d0 = widthOf(m, "s.d0.conv");
  w.ref = widthOf(m, "s.ref.conv"), w.corr = widthOf(m, "s.corr.0.conv"), w.tile = widthOf(m, "s.tile.0.conv");
  t.layers = {
      {"s.e0.conv", w.e0, 96, 3},         {"s.e1.conv", w.e1, w.e0, 3},
      {"s.e2.conv", w.e2, w.e1, 3},       {"s.wmlp.0", w.hidden, w.e2 * 16, 0},
      {"s.wmlp.2", 64, w.hidden, 0},      {"s.d1.conv", w.d1, w.e2 + w.e1, 3},
      {"s.d0.conv", w.d0, w.d1 + w.e0, 3}, {"s.ref.conv", w.ref, w.d0 + 96, 3},
      {"s.mask", 2, w.ref, 3},            {"s.occ", 1, w.ref, 3},
      {"s.corr.0.conv", w.corr, 7, 3},    {"s.corr.1.conv", w.corr, w.corr, 3},
      {"s.corr.2", 3, w.corr, 3},         {"s.tile.0.conv", w.tile, 5, 3},
      {"s.tile.1.conv", w.tile, w.tile, 3}, {"s.tile.2.conv", w.tile, w.tile, 3},
      {"s.tile.3", 3, w.tile, 1},
  };
  for (const M4bLayer& l : t.layers) {
    const ConvTensor* weight = m.find(l.name + ".weight");
    if (!weight) throw NotM4b("layer " + l.name + " absent");
    const bool fits = l.k ? weight->hasShape({l.out, l.in, l.k, l.k}) : weight->hasShape({l.out, l.in});
    if (!fits)
      throw NotM4b("layer " + l.name + " is " + dimsText(weight->dims) + " where the m4b has " +
                   dimsText(l.k ? std::vector<int64_t>{l.out, l.in, l.k, l.k} : std::vector<int64_t>{l.out, l.in}));
  }
  return t;
}

}  // namespace le
