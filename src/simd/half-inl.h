// Per-target binary16 helpers shared by the kernels. Where the target has a
// hardware conversion that rounds to nearest even and keeps NaN payloads
// (F16C on x86, FCVT on 64-bit Arm) it is used; elsewhere an integer
// emulation computes the identical bits.

#if defined(LE_SIMD_HALF_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LE_SIMD_HALF_INL_H_
#undef LE_SIMD_HALF_INL_H_
#else
#define LE_SIMD_HALF_INL_H_
#endif

#include <cstdint>

#include <hwy/highway.h>

#undef LE_SIMD_NATIVE_F16
#if (HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2 && !defined(HWY_DISABLE_F16C)) || \
    (HWY_ARCH_ARM_A64 && HWY_TARGET != HWY_SCALAR && HWY_TARGET != HWY_EMU128)
#define LE_SIMD_NATIVE_F16 1
#else
#define LE_SIMD_NATIVE_F16 0
#endif

HWY_BEFORE_NAMESPACE();
namespace le::simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if !LE_SIMD_NATIVE_F16
// binary16 patterns (round to nearest even) in the low half of u32 lanes.
template <class D>
HWY_INLINE hn::Vec<hn::RebindToUnsigned<D>> F16BitsFromF32(D d, hn::Vec<D> v) {
  const hn::RebindToUnsigned<D> du;
  const hn::RebindToSigned<D> di;
  const auto bits = hn::BitCast(du, v);
  const auto sign = hn::And(bits, hn::Set(du, 0x80000000u));
  const auto abs = hn::Xor(bits, sign);
  const auto absI = hn::BitCast(di, abs);
  const auto rebiased = hn::Sub(abs, hn::Set(du, 0x38000000u));
  const auto odd = hn::And(hn::ShiftRight<13>(rebiased), hn::Set(du, 1u));
  const auto normal = hn::ShiftRight<13>(
      hn::Add(hn::Add(rebiased, hn::Set(du, 0x0FFFu)), odd));
  // Below 2^-14 the sum with 0.5 rounds |v| to a multiple of 2^-24 in the
  // FPU's nearest-even mode; its low bits are then the subnormal mantissa.
  const auto sub = hn::Sub(
      hn::BitCast(du, hn::Add(hn::BitCast(d, abs), hn::Set(d, 0.5f))),
      hn::Set(du, 0x3F000000u));
  auto r = hn::IfThenElse(
      hn::RebindMask(du, hn::Lt(absI, hn::Set(di, 0x38800000))), sub, normal);
  r = hn::IfThenElse(hn::RebindMask(du, hn::Gt(absI, hn::Set(di, 0x477FEFFF))),
                     hn::Set(du, 0x7C00u), r);
  const auto nan = hn::Or(hn::Set(du, 0x7E00u),
                          hn::And(hn::ShiftRight<13>(abs), hn::Set(du, 0x3FFu)));
  r = hn::IfThenElse(hn::RebindMask(du, hn::Gt(absI, hn::Set(di, 0x7F800000))),
                     nan, r);
  return hn::Or(r, hn::ShiftRight<16>(sign));
}

// Exact widening of binary16 patterns held in u32 lanes.
template <class D>
HWY_INLINE hn::Vec<D> F32FromF16Bits(D d, hn::Vec<hn::RebindToUnsigned<D>> h) {
  const hn::RebindToUnsigned<D> du;
  auto o = hn::ShiftLeft<13>(hn::And(h, hn::Set(du, 0x7FFFu)));
  const auto exp = hn::And(o, hn::Set(du, 0x0F800000u));
  o = hn::Add(o, hn::Set(du, 0x38000000u));
  o = hn::IfThenElse(hn::Eq(exp, hn::Set(du, 0x0F800000u)),
                     hn::Add(o, hn::Set(du, 0x38000000u)), o);
  // NaN comes back quiet, as the hardware conversions return it.
  const hn::RebindToSigned<D> di;
  const auto isNan = hn::Gt(hn::BitCast(di, hn::And(h, hn::Set(du, 0x7FFFu))),
                            hn::Set(di, 0x7C00));
  o = hn::IfThenElse(hn::RebindMask(du, isNan), hn::Or(o, hn::Set(du, 0x00400000u)), o);
  // Subnormals: 2^-14 * (1 + m/1024) - 2^-14 is exact.
  const auto sub = hn::Sub(
      hn::BitCast(d, hn::Add(o, hn::Set(du, 0x00800000u))), hn::Set(d, 0x1p-14f));
  const auto mag = hn::IfThenElse(hn::RebindMask(d, hn::Eq(exp, hn::Zero(du))),
                                  sub, hn::BitCast(d, o));
  const auto sign = hn::ShiftLeft<16>(hn::And(h, hn::Set(du, 0x8000u)));
  return hn::Or(mag, hn::BitCast(d, sign));
}
#endif

// Stores Lanes(d) halves of v at p. The native conversion needs d only for
// its type.
template <class D>
HWY_INLINE void StoreF16([[maybe_unused]] D d, hn::Vec<D> v, uint16_t* HWY_RESTRICT p) {
#if LE_SIMD_NATIVE_F16
  const hn::Rebind<hwy::float16_t, D> dh;
  hn::StoreU(hn::DemoteTo(dh, v), dh, reinterpret_cast<hwy::float16_t*>(p));
#else
  const hn::Rebind<uint16_t, D> dh;
  const hn::RebindToSigned<D> di;
  hn::StoreU(hn::DemoteTo(dh, hn::BitCast(di, F16BitsFromF32(d, v))), dh, p);
#endif
}

// Loads Lanes(d) halves from p, widened exactly.
template <class D>
HWY_INLINE hn::Vec<D> LoadF16(D d, const uint16_t* HWY_RESTRICT p) {
#if LE_SIMD_NATIVE_F16
  const hn::Rebind<hwy::float16_t, D> dh;
  return hn::PromoteTo(d, hn::LoadU(dh, reinterpret_cast<const hwy::float16_t*>(p)));
#else
  const hn::Rebind<uint16_t, D> dh;
  const hn::RebindToUnsigned<D> du;
  return F32FromF16Bits(d, hn::PromoteTo(du, hn::LoadU(dh, p)));
#endif
}

// h(v): v rounded to binary16 and widened back.
template <class D>
HWY_INLINE hn::Vec<D> RoundF16(D d, hn::Vec<D> v) {
#if LE_SIMD_NATIVE_F16
  const hn::Rebind<hwy::float16_t, D> dh;
  return hn::PromoteTo(d, hn::DemoteTo(dh, v));
#else
  return F32FromF16Bits(d, F16BitsFromF32(d, v));
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace le::simd
HWY_AFTER_NAMESPACE();

#endif  // LE_SIMD_HALF_INL_H_
