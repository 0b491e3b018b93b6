#pragma once

// The terms the price and the Greeks share, for one option (T = double) or a
// block of options (T = Lanes<N>), in the general cost-of-carry form:
//   X = the underlying (S, or F for Black-76), q = the yield that discounts X,
//   b = the cost of carry, w = +1 for a call and -1 for a put.
// w, r, q and b have their own type P: a double shared by every lane, or a
// Lanes of per-option values, so that one block can mix calls and puts and
// carry one rate per option.
//
// Each term is computed on first use and kept, so a routine asking for one
// quantity costs what that quantity needs, and several quantities of the same
// option take each shared term once. Every term is formed with exactly the
// operations that the quantities using it were written with; where two of
// them would form a value differently, each has its own term.

#include "../math/normal.hpp"
#include "../simd/target.hpp"
#include "option_kind.hpp"

KV_TARGET_BEGIN

// Whether every lane is a zero (of either sign).
inline bool AllZero(double x) {
  return x == 0.0;
}
template <int N>
inline bool AllZero(const Lanes<N>& x) {
  return AllLanes(x.v == 0.0);
}

// Whether every lane is a call (w > 0) or has x below bound (false for NaN).
inline bool AllCallOrBelow(double w, double x, double bound) {
  return w > 0.0 || x < bound;
}
template <int N>
inline bool AllCallOrBelow(double w, const Lanes<N>& x, double bound) {
  return w > 0.0 || AllLanes(x.v < bound);
}
template <int N>
inline bool AllCallOrBelow(const Lanes<N>& w, const Lanes<N>& x, double bound) {
  return AllLanes((w.v > 0.0) | (x.v < bound));
}

// Whether every lane is a call.
inline bool AllCalls(double w) {
  return w > 0.0;
}
template <int N>
inline bool AllCalls(const Lanes<N>& w) {
  return AllLanes(w.v > 0.0);
}

// The call's value where w > 0, the put's elsewhere, lane by lane.
template <class T>
inline T ByKind(double w, const T& call, const T& put) {
  return w > 0.0 ? call : put;
}
template <int N>
inline Lanes<N> ByKind(const Lanes<N>& w, const Lanes<N>& call, const Lanes<N>& put) {
  return {w.v > 0.0 ? call.v : put.v};
}

// A value computed on first use. Every accessor and computing lambda is
// forced inline (KV_INLINE), like everything on Lanes: an out-of-line copy
// compiled for the baseline target would take wide Lanes in memory while an
// AVX2 caller passes them in registers (and a kernel using many of them would
// otherwise outgrow the compiler's inlining limits). The sanitizer build,
// which compiles the baseline target alone, keeps them out of line.
template <class V>
struct Memo {
  V value;
  bool ready = false;
  template <class F>
  KV_INLINE const V& Get(F&& compute) {
    if (!ready) {
      value = compute();
      ready = true;
    }
    return value;
  }
};

// kForwardGiven: X is already the forward (Black-76); otherwise the price
// forms the forward X * exp(t * (r - q)) from the spot.
template <class T, class P, bool kForwardGiven>
class Terms {
 public:
  static constexpr bool kForward = kForwardGiven;

  Terms(P w, T X, T K, T t, P r, T sigma, P q, P b)
      : w(w), X(X), K(K), t(t), r(r), sigma(sigma), q(q), b(b) {}

  const P w;
  const T X, K, t;
  const P r;
  const T sigma;
  const P q, b;

  KV_INLINE const T& sqt() {
    return sqt_.Get([&]() KV_INLINE_LAMBDA { return Sqrt(t); });
  }
  KV_INLINE const T& sd() {
    return sd_.Get([&]() KV_INLINE_LAMBDA { return sigma * sqt(); });
  }
  KV_INLINE const T& d1() {
    return d1_.Get(
        [&]() KV_INLINE_LAMBDA { return (LogXK() + t * (sigma * (sigma * 0.5) + b)) / sd(); });
  }
  KV_INLINE const T& d2() {
    return d2_.Get([&]() KV_INLINE_LAMBDA { return d1() - sd(); });
  }
  // The dividend discount serves the first-order Greeks, the carry discount
  // the higher-order ones: they agree in exact arithmetic but not always in
  // the last bit, and each Greek keeps its own.
  KV_INLINE const T& Dq() {
    // Black-76 discounts F at q = r: the same exponential as Dr.
    if constexpr (kForwardGiven) return Dr();
    return Dq_.Get([&]() KV_INLINE_LAMBDA { return Exp(-(q * t)); });
  }
  KV_INLINE const T& Dr() {
    return Dr_.Get([&]() KV_INLINE_LAMBDA { return Exp(-(r * t)); });
  }
  KV_INLINE const T& Dc() {
    return Dc_.Get([&]() KV_INLINE_LAMBDA { return Exp(t * (b - r)); });
  }
  // n(d1) = e1 * 1/sqrt(2 pi); -n(d1) uses the negated constant, as NegNormPdf.
  KV_INLINE T pdf1() { return ExpD1() * kDensityFactor; }
  KV_INLINE T neg_pdf1() { return ExpD1() * -kDensityFactor; }
  KV_INLINE const T& pdf2() {
    return pdf2_.Get([&]() KV_INLINE_LAMBDA { return NormPdf(d2()); });
  }
  KV_INLINE const T& Nwd1() {
    return Nwd1_.Get([&]() KV_INLINE_LAMBDA { return NormCdf(w * d1()); });
  }
  KV_INLINE const T& Nwd2() {
    return Nwd2_.Get([&]() KV_INLINE_LAMBDA { return NormCdf(w * d2()); });
  }
  // N(d1) is N(w d1) where every lane is a call (w d1 is then d1 itself).
  KV_INLINE const T& Nd1() {
    return Nd1_.Get([&]() KV_INLINE_LAMBDA { return AllCalls(w) ? Nwd1() : NormCdf(d1()); });
  }

  // Products several higher-order Greeks share.
  KV_INLINE const T& XDc() {
    return XDc_.Get([&]() KV_INLINE_LAMBDA { return X * Dc(); });
  }
  KV_INLINE const T& Dc_pdf1() {
    return Dc_pdf1_.Get([&]() KV_INLINE_LAMBDA { return Dc() * pdf1(); });
  }
  KV_INLINE const T& Xsd() {
    return Xsd_.Get([&]() KV_INLINE_LAMBDA { return X * sd(); });
  }
  KV_INLINE const T& d1d2() {
    return d1d2_.Get([&]() KV_INLINE_LAMBDA { return d1() * d2(); });
  }
  KV_INLINE const T& tt() {
    return tt_.Get([&]() KV_INLINE_LAMBDA { return t + t; });
  }

  // The price: Dr * w * (F N(w d1') - K N(w d2')) on the forward F, whose d1'
  // puts the variance term before the logarithm (unlike the Greeks' d1).
  // Given the forward (Black-76, b = +0.0), d1' is d1 to the bit -- the
  // variance term is never -0.0, so adding b changes nothing, and the sum
  // commutes -- and the price shares N(w d1) and N(w d2) with the Greeks.
  KV_INLINE const T& price() {
    return price_.Get([&]() KV_INLINE_LAMBDA {
      if constexpr (kForwardGiven) {
        return Dr() * (w * (X * Nwd1() - K * Nwd2()));
      } else {
        const T F = X * Exp(t * (r - q));
        const T& sdp = sd();  // Sqrt(t) * sigma, the same double as sigma * sqt
        const T d1p = (t * (sigma * (sigma * 0.5)) + Log(F / K)) / sdp;
        const T d2p = d1p - sdp;
        return Dr() * (w * (F * NormCdf(d1p * w) - K * NormCdf(d2p * w)));
      }
    });
  }

 private:
  KV_INLINE const T& LogXK() {
    return LogXK_.Get([&]() KV_INLINE_LAMBDA { return Log(X / K); });
  }
  KV_INLINE const T& ExpD1() {
    return ExpD1_.Get([&]() KV_INLINE_LAMBDA { return Exp(d1() * (d1() * -0.5)); });
  }

  Memo<T> sqt_, sd_, LogXK_, d1_, d2_, Dq_, Dr_, Dc_, ExpD1_, pdf2_, Nwd1_, Nwd2_, Nd1_;
  Memo<T> XDc_, Dc_pdf1_, Xsd_, d1d2_, tt_, price_;
};

// The two families of terms. Black-Scholes-Merton: X = S, b = r - q
// (Black-Scholes is this with q = 0.0, so the two agree bit for bit).
// Black-76: X = F, q = r, b = 0.0 -- zero carry, discounting at r.
struct SpotModel {
  template <class T, class P>
  static Terms<T, P, false> Make(P w, T S, T K, T t, P r, T sigma, P q) {
    return {w, S, K, t, r, sigma, q, r - q};
  }
};

struct ForwardModel {
  template <class T, class P>
  static Terms<T, P, true> Make(P w, T F, T K, T t, P r, T sigma, P /*q*/) {
    return {w, F, K, t, r, sigma, r, P{}};
  }
};

KV_TARGET_END
