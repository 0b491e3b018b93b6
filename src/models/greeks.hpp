#pragma once

// The price and the fifteen Greeks, each one routine over the shared terms
// (terms.hpp), whatever the model: Q::Of(x) evaluates quantity Q of the
// option(s) whose terms are x. The model adapters (spot.hpp, black76.hpp)
// and the whole-book kernel call these same routines.
//
// Every expression is evaluated in exactly the grouping written, each
// operation rounded on its own (the build forbids contraction into fused
// multiply-adds). No input is validated: IEEE arithmetic decides the edges.
//
// A routine that differs between calls and puts forms both from the same
// pieces with the sign w, so that a block may mix them: multiplying by w = +1
// or -1, or dividing by w * -365.0, is exact and gives each lane the bits of
// its own kind's formula (x - y is x + (-y) to the bit).

#include "../simd/target.hpp"
#include "terms.hpp"

KV_TARGET_BEGIN
namespace greeks {

struct Price {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    return x.price();
  }
};

// ---- first order ------------------------------------------------------------

struct Delta {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    return (x.w * x.Dq()) * x.Nwd1();
  }
};

struct Gamma {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    return (x.Dq() * x.pdf1()) / (x.sqt() * (x.X * x.sigma));
  }
};

// Per percentage point of sigma.
struct Vega {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    return (x.sqt() * ((x.X * x.Dq()) * x.pdf1())) * 0.01;
  }
};

// Per calendar day: the price's change as one day passes. A call is
//   ((A + B N(d1)) + C N(d2)) / -365.0, a put ((B N(-d1) - A) + C N(-d2)) / 365.0;
// dividing by -365.0 instead of negating the terms makes a +0.0 bracket -0.0.
// Without a dividend B is a zero and B N(w d1) is B itself: the distribution
// function is skipped (it is never negative, and a NaN d1 makes C N(w d2) NaN).
struct Theta {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    const auto A = (x.sigma * ((x.X * x.Dq()) * x.pdf1())) / (x.sqt() + x.sqt());
    const auto B = (-(x.q * x.X)) * x.Dq();
    const auto C = (x.K * x.r) * x.Dr();
    const auto BN = AllZero(B) ? B : B * x.Nwd1();
    return ((BN + x.w * A) + C * x.Nwd2()) / (x.w * -365.0);
  }
};

// Per percentage point of r, q held fixed. With the forward held fixed
// (Black-76) the rate acts only through the discount: rho = -0.01 t V.
struct Rho {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    if constexpr (X::kForward) {
      return (x.price() * x.t) * -0.01;
    } else {
      return ((x.Dr() * (x.K * (x.t * x.w))) * x.Nwd2()) * 0.01;
    }
  }
};

// A put's is Dr N(-d2), a call's -(Dr N(d2)).
struct DualDelta {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    return (x.Dr() * x.Nwd2()) * -x.w;
  }
};

struct DualGamma {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    return (x.Dr() * x.pdf2()) / (x.K * x.sd());
  }
};

// ---- higher order: discounted with Dc = exp(t * (b - r)) --------------------

struct Vanna {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    return (x.d2() * (x.neg_pdf1() * x.Dc())) / x.sigma;
  }
};

// T1 + T2 M with M = N(d1) for a call and N(d1) + -1.0 for a put. Without
// carry beyond the rate T2 is a zero and the distribution function is
// skipped: a call's T2 M is T2, and a put's is -T2 wherever N(d1) < 1, as it
// is below d1 = 8.
struct Charm {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    const auto T1 = ((x.b / x.sd()) - (x.d2() / x.tt())) * x.Dc_pdf1();
    const auto T2 = (x.b - x.r) * x.Dc();
    if (AllZero(T2) && AllCallOrBelow(x.w, x.d1(), 8.0)) return T1 + T2 * x.w;
    const auto& N = x.Nd1();
    return T1 + T2 * ByKind(x.w, N, N + -1.0);
  }
};

struct Vomma {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    return (x.d2() * (x.d1() * (x.sqt() * (x.XDc() * x.pdf1())))) / x.sigma;
  }
};

struct Speed {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    return ((x.d1() / x.sd()) + 1.0) * (((x.Dc() * x.neg_pdf1()) / x.Xsd()) / x.X);
  }
};

struct Zomma {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    return ((x.d1d2() + -1.0) * (x.Dc_pdf1() / x.Xsd())) / x.sigma;
  }
};

struct Color {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    return (((x.b - x.r) - ((x.b * x.d1()) / x.sd())) + ((x.d1d2() + -1.0) / x.tt())) *
           (x.Dc_pdf1() / x.Xsd());
  }
};

// Time derivative of the unscaled vega (100 times the reported vega).
struct Veta {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    return (((x.b - x.r) - ((x.b * x.d1()) / x.sd())) + ((x.d1d2() + 1.0) / x.tt())) *
           (x.sqt() * (x.XDc() * x.pdf1()));
  }
};

struct Ultima {
  template <class X>
  KV_INLINE static auto Of(X& x) {
    const auto& p = x.d1d2();
    return ((x.d2() * x.d2()) + ((x.d1() * x.d1()) + (p * (1.0 - p)))) *
           ((x.sqt() * (x.XDc() * x.neg_pdf1())) / (x.sigma * x.sigma));
  }
};

}  // namespace greeks
KV_TARGET_END
