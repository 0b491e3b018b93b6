#include "boundary.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <tuple>
#include <vector>

#include "../math/normal.hpp"

namespace kv::american {
namespace {

constexpr double kInvSqrt2Pi = 0.3989422804014327;

double Pdf(double x) {
  return std::exp(-0.5 * (x * x)) * kInvSqrt2Pi;
}

double Cdf(double x) {
  return kv::NormCdf(x);
}

// The density and the distribution function at x from one exponential:
// erfc(y) = e^{-y^2} R(y) with y = |x| / sqrt(2), and e^{-y^2} is the
// density's own exponential. The exponential of the rounded x * x (rather
// than NormCdf's split one) costs a relative error of about x^2 ulp, far
// below what the boundary needs, and saves an exponential per point.
struct Normal {
  double pdf, cdf;
};
Normal PdfCdf(double x) {
  namespace d = kv::detail;
  const double u = x * -0.7071067811865476;
  const double y = std::fabs(u);
  if (!(x > -10.0) || y >= d::kSaturation) return {Pdf(x), Cdf(x)};
  const double e = std::exp(-0.5 * (x * x));
  double erfc;
  if (y <= 0.46875) {
    erfc = d::SmallErfc(u, y);
  } else {
    erfc = e * (y <= 4.0 ? d::MiddleRatio(y) : d::LargeRatio(u, y));
    if (u < 0.0) erfc = 2.0 - erfc;
  }
  return {e * kInvSqrt2Pi, 0.5 * erfc};
}

// Gauss-Legendre points and weights on [-1, 1], by Newton's method on the
// Legendre polynomial from the Chebyshev guess.
void GaussLegendre(int l, std::vector<double>& y, std::vector<double>& w) {
  y.assign(l, 0.0);
  w.assign(l, 0.0);
  for (int i = 0; i < l; ++i) {
    double x = std::cos(std::numbers::pi * (i + 0.75) / (l + 0.5));
    double dp = 0.0;
    for (int step = 0; step < 100; ++step) {
      double p0 = 1.0, p1 = x;
      for (int k = 2; k <= l; ++k) {
        const double p2 = ((2 * k - 1) * x * p1 - (k - 1) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      dp = l * (x * p1 - p0) / (x * x - 1.0);
      const double dx = p1 / dp;
      x -= dx;
      if (std::fabs(dx) < 1e-16) break;
    }
    double p0 = 1.0, p1 = x;
    for (int k = 2; k <= l; ++k) {
      const double p2 = ((2 * k - 1) * x * p1 - (k - 1) * p0) / k;
      p0 = p1;
      p1 = p2;
    }
    dp = l * (x * p1 - p0) / (x * x - 1.0);
    y[i] = x;
    w[i] = 2.0 / ((1.0 - x * x) * dp * dp);
  }
}

// Weights that interpolate node values at z, by the barycentric formula for
// the Chebyshev extrema z_m = cos(m pi / n).
void InterpolationRow(int n, double z, double* row) {
  double total = 0.0;
  for (int m = 0; m <= n; ++m) {
    const double zm = std::cos(std::numbers::pi * m / n);
    if (z == zm) {
      std::fill(row, row + n + 1, 0.0);
      row[m] = 1.0;
      return;
    }
    const double c = (m == 0 || m == n) ? 0.5 : 1.0;
    row[m] = ((m % 2 == 0) ? c : -c) / (z - zm);
    total += row[m];
  }
  for (int m = 0; m <= n; ++m) row[m] /= total;
}

// The substitution u = tau sin^2(phi / 2), s = tau - u = tau cos^2(phi / 2),
// phi = pi (1 + y) / 2: both sqrt(u) (the boundary's own variable, smooth
// near u = 0) and sqrt(s) (in which the integrands are smooth near s = 0)
// are smooth in y. Gives s / tau and the weight w (pi / 4) sin(phi) of
// du / tau at the Gauss-Legendre point (y, w).
void Substitute(double y, double w, double& s_frac, double& weight) {
  const double phi = 0.5 * std::numbers::pi * (1.0 + y);
  const double c = std::cos(0.5 * phi);
  s_frac = c * c;
  weight = w * (0.25 * std::numbers::pi) * std::sin(phi);
}

// Everything that depends on the setting alone, in units of tau_max: the
// nodes' times, and for every quadrature point its time and the weights
// that interpolate H there from the node values.
struct Tables {
  int n, l, p;
  std::vector<double> zeta;      // tau_i / tau_max, i = 0..n (zeta_n = 0)
  std::vector<double> s_frac;    // s / tau_i at point j (Substitute)
  std::vector<double> weight;    // du = tau_i * weight
  std::vector<double> interp;    // [(i * (n + 1) + m) * l + j]
  std::vector<double> p_s_frac;  // the premium integral's points over tau_max
  std::vector<double> p_weight;
  std::vector<double> p_interp;  // [m * p + j]

  explicit Tables(const Setting& s) : n(s.nodes), l(s.points), p(s.price_points) {
    zeta.resize(n + 1);
    for (int i = 0; i <= n; ++i) {
      const double half = 0.5 * (1.0 + std::cos(std::numbers::pi * i / n));
      zeta[i] = half * half;
    }
    zeta[n] = 0.0;
    std::vector<double> y, w;
    GaussLegendre(l, y, w);
    s_frac.resize(l);
    weight.resize(l);
    for (int j = 0; j < l; ++j) Substitute(y[j], w[j], s_frac[j], weight[j]);
    // Stored point-minor, so that the sums over the nodes run across the
    // points side by side (Solver::Interpolate).
    std::vector<double> row(n + 1);
    interp.resize(static_cast<std::size_t>(n) * l * (n + 1));
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < l; ++j) {
        const double u = zeta[i] * (1.0 - s_frac[j]);  // over tau_max
        InterpolationRow(n, 2.0 * std::sqrt(u) - 1.0, row.data());
        for (int m = 0; m <= n; ++m) interp[(i * (n + 1) + m) * l + j] = row[m];
      }
    }
    GaussLegendre(p, y, w);
    p_s_frac.resize(p);
    p_weight.resize(p);
    p_interp.resize(static_cast<std::size_t>(p) * (n + 1));
    for (int j = 0; j < p; ++j) {
      Substitute(y[j], w[j], p_s_frac[j], p_weight[j]);
      InterpolationRow(n, 2.0 * std::sqrt(1.0 - p_s_frac[j]) - 1.0, row.data());
      for (int m = 0; m <= n; ++m) p_interp[m * p + j] = row[m];
    }
  }
};

// One table per setting, made on first use and kept for the process. Each
// thread remembers the last it used, so a book priced at one setting takes
// the lock once per thread, not once per option.
const Tables& TablesFor(const Setting& s) {
  thread_local const Tables* last = nullptr;
  if (last != nullptr && last->n == s.nodes && last->l == s.points && last->p == s.price_points) {
    return *last;
  }
  static std::mutex mutex;
  static std::map<std::tuple<int, int, int>, std::unique_ptr<Tables>> cache;
  const std::lock_guard<std::mutex> lock(mutex);
  auto& slot = cache[{s.nodes, s.points, s.price_points}];
  if (!slot) slot = std::make_unique<Tables>(s);
  last = slot.get();
  return *slot;
}

// The put's European value (and, for QD+, its calendar-time theta and
// N(-d1)) at spot e^{lnS}, the discount factors taken once per expiry.
struct European {
  double price, theta, n_minus_d1;
};
struct Discounts {
  double tau, sd, Dr, Dq, lnK;
  Discounts(const PutInputs& in, double tau)
      : tau(tau),
        sd(in.sigma * std::sqrt(tau)),
        Dr(std::exp(-in.r * tau)),
        Dq(std::exp(-in.q * tau)),
        lnK(std::log(in.K)) {}
};
European EuropeanPut(const PutInputs& in, const Discounts& z, double lnS) {
  const double S = std::exp(lnS);
  const double d1 = (lnS - z.lnK + (in.r - in.q) * z.tau) / z.sd + 0.5 * z.sd;
  const double d2 = d1 - z.sd;
  const double Nm1 = Cdf(-d1), Nm2 = Cdf(-d2);
  const double price = in.K * z.Dr * Nm2 - S * z.Dq * Nm1;
  const double theta = in.r * in.K * z.Dr * Nm2 - in.q * S * z.Dq * Nm1 -
                       in.sigma * S * z.Dq * Pdf(d1) / (2.0 * std::sqrt(z.tau));
  return {price, theta, Nm1};
}

// Li's QD+ boundary at tau: the root of
//   g(S) = (1 - e^{-q tau} N(-d1)) S + (lambda + c0) (K - S - p(S))
// below X. c0 has a pole where the European put reaches K - S, just below the
// strike for short expiries, so the root is bracketed from below `guess`
// (the boundary at the previous, shorter expiry) stepping down in ln S, then
// found by regula falsi (Illinois). NaN if there is no sign change.
double QdPlus(const PutInputs& in, double tau, double X, double guess) {
  const double h = -std::expm1(-in.r * tau);
  const double s2 = in.sigma * in.sigma;
  const double alpha = 2.0 * in.r / s2, beta = 2.0 * (in.r - in.q) / s2;
  const double root = std::sqrt((beta - 1.0) * (beta - 1.0) + 4.0 * alpha / h);
  const double lambda = -0.5 * ((beta - 1.0) + root);
  const double dlambda = alpha / (h * h * root);
  const double den = 2.0 * lambda + beta - 1.0;
  const Discounts z(in, tau);
  const double growth = 1.0 / z.Dr;
  const auto g = [&](double lnS) {
    const double S = std::exp(lnS);
    const European e = EuropeanPut(in, z, lnS);
    const double gap = in.K - S - e.price;
    if (!(gap > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    const double c0 =
        -((1.0 - h) * alpha / den) * (1.0 / h - growth * e.theta / (in.r * gap) + dlambda / den);
    return (1.0 - z.Dq * e.n_minus_d1) * S + (lambda + c0) * gap;
  };
  const double step = 0.5 * std::max(in.sigma * std::sqrt(tau), 1e-6);
  double hi = std::min(std::log(guess), std::log(X)), g_hi = g(hi);
  double lo = hi, g_lo = g_hi;
  for (int k = 0; k < 400; ++k) {
    lo = hi - step;
    g_lo = g(lo);
    if (std::isfinite(g_hi) && std::isfinite(g_lo) && (g_lo < 0.0) != (g_hi < 0.0)) break;
    hi = lo;
    g_hi = g_lo;
  }
  if (!(std::isfinite(g_hi) && std::isfinite(g_lo) && (g_lo < 0.0) != (g_hi < 0.0))) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  int side = 0;
  for (int k = 0; k < 60 && hi - lo > 1e-5; ++k) {
    const double x = (lo * g_hi - hi * g_lo) / (g_hi - g_lo);
    const double gx = g(x);
    if (!std::isfinite(gx)) break;
    if ((gx < 0.0) == (g_lo < 0.0)) {
      lo = x;
      g_lo = gx;
      if (side == -1) g_hi *= 0.5;
      side = -1;
    } else {
      hi = x;
      g_hi = gx;
      if (side == 1) g_lo *= 0.5;
      side = 1;
    }
  }
  return std::exp(0.5 * (lo + hi));
}

// The terms of one quadrature point that do not change between iterations.
struct Point {
  double ssd;    // sigma sqrt(s)
  double drift;  // (r - q - sigma^2 / 2) s
  double er;     // weight * e^{r u}
  double eq;     // weight * e^{q u}
};

class Solver {
 public:
  Solver(const Tables& t, const PutInputs& in) : t_(t), in_(in) {
    X_ = (in.q > 0.0 && in.r < in.q) ? in.K * (in.r / in.q) : in.K;
    lnX_ = std::log(X_);
  }

  // Up to `iterations` sweeps, stopping once no node moves by more than
  // `tolerance` relative: the sweeps converge linearly, so the last change
  // bounds the error left in the boundary.
  void Solve(int iterations, double tolerance) {
    Start();
    Prepare();
    for (int k = 0; k < iterations; ++k) {
      if (Step() <= tolerance) break;
    }
  }

  double BoundaryAt(int i) const { return std::exp(lnX_ - root_[i]); }

  PutValues Value(bool greeks) const;

 private:
  struct Map {
    double f, df;
  };
  void Start();
  void Prepare();
  double Step();
  Map NodeMap(int i, double B, const double* root_u) const;
  void Interpolate(const double* rows, int count, double* out) const;
  void SetNode(int i, double B) {
    const double lnB = std::min(std::log(B), lnX_);
    root_[i] = lnX_ - lnB;  // sqrt(H) = ln(X / B) >= 0
    H_[i] = root_[i] * root_[i];
  }

  const Tables& t_;
  const PutInputs in_;
  double X_, lnX_;
  double H_[kMaxNodes + 1]{}, root_[kMaxNodes + 1]{};
  std::vector<Point> points_;  // [i * l + j]
};

void Solver::Start() {
  const int n = t_.n;
  H_[n] = root_[n] = 0.0;
  double guess = X_;
  for (int i = n - 1; i >= 0; --i) {  // from expiry outwards
    const double tau = in_.tau * t_.zeta[i];
    double B = QdPlus(in_, tau, X_, guess);
    if (!(B > 0.0 && B <= X_)) B = guess;
    SetNode(i, B);
    guess = B;
  }
}

void Solver::Prepare() {
  const int n = t_.n, l = t_.l;
  const double r = in_.r, q = in_.q, sigma = in_.sigma;
  points_.resize(static_cast<std::size_t>(n) * l);
  for (int i = 0; i < n; ++i) {
    const double tau = in_.tau * t_.zeta[i];
    for (int j = 0; j < l; ++j) {
      const double s = tau * t_.s_frac[j], u = tau - s;
      const double w = tau * t_.weight[j];
      Point& p = points_[i * l + j];
      p.ssd = sigma * std::sqrt(s);
      p.drift = (r - q) * s - 0.5 * (p.ssd * p.ssd);
      p.er = w * std::exp(r * u);
      p.eq = w * std::exp(q * u);
    }
  }
}

// sqrt(H) at `count` points from the node values: ln(X / B) there. Each
// point's sum runs over the nodes in order; the points are summed side by
// side, which the compiler vectorises.
void Solver::Interpolate(const double* weights, int count, double* out) const {
  double h[kMaxPoints];
  std::fill(h, h + count, 0.0);
  for (int m = 0; m <= t_.n; ++m) {
    const double Hm = H_[m];
    const double* w = weights + static_cast<std::size_t>(m) * count;
    for (int j = 0; j < count; ++j) h[j] += w[j] * Hm;
  }
  for (int j = 0; j < count; ++j) out[j] = std::sqrt(std::max(h[j], 0.0));
}

// The map f(tau_i, B) = K e^{-(r-q) tau} N / D at node i for a trial value B
// of that node (the others as they are), in the smooth-pasting form
//   N = phi(d-) / (sigma sqrt(tau)) + r int e^{r u} phi(d-(s, B / B(u))) / (sigma sqrt(s)) du
//   D = phi(d+) / (sigma sqrt(tau)) + N(d+)
//       + q int e^{q u} [N(d+(s, B / B(u))) + phi(d+(s, B / B(u))) / (sigma sqrt(s))] du,
// with d+-(tau, B / K) outside the integrals; and the derivative of f in B
// with the other nodes held fixed.
Solver::Map Solver::NodeMap(int i, double B, const double* root_u) const {
  const double r = in_.r, q = in_.q, sigma = in_.sigma, K = in_.K;
  const double tau = in_.tau * t_.zeta[i];
  const double lnB = std::log(B);
  const double sd = sigma * std::sqrt(tau);
  const double dm = (lnB - std::log(K) + (r - q) * tau - 0.5 * (sd * sd)) / sd;
  const double dp = dm + sd;
  const double pdf_m = Pdf(dm), pdf_p = Pdf(dp);
  double N = pdf_m / sd, D = pdf_p / sd + Cdf(dp);
  double dN = -dm * pdf_m / (sd * sd), dD = -dm * pdf_p / (sd * sd);  // times B
  double n_int = 0.0, d_int = 0.0, dn_int = 0.0, dd_int = 0.0;
  const Point* points = &points_[static_cast<std::size_t>(i) * t_.l];
  const double root_i = lnX_ - lnB;
  for (int j = 0; j < t_.l; ++j) {
    const Point& p = points[j];
    const double lna = root_u[j] - root_i;  // ln(B(tau) / B(u))
    const double em = (lna + p.drift) / p.ssd;
    const double fm = Pdf(em) / p.ssd;
    n_int += p.er * fm;
    dn_int += p.er * (-em * fm) / p.ssd;
    if (q != 0.0) {
      const Normal np = PdfCdf(em + p.ssd);
      const double fp = np.pdf / p.ssd;
      d_int += p.eq * (np.cdf + fp);
      dd_int += p.eq * (-em * fp) / p.ssd;
    }
  }
  N += r * n_int;
  D += q * d_int;
  dN += r * dn_int;
  dD += q * dd_int;
  const double scale = K * std::exp(-(r - q) * tau);
  return {scale * N / D, scale * (dN * D - N * dD) / (D * D * B)};
}

// One Jacobi sweep over the nodes; returns the largest relative change. Where f falls as B rises,
// plain steps overshoot (and diverge once df < -1, as at long expiries with a high r / sigma^2):
// there a Newton step on the node's own value replaces them. Elsewhere plain steps converge at rate
// df and need no derivative, whose partial (node-only) form is least accurate near expiry.
double Solver::Step() {
  const int n = t_.n, l = t_.l;
  double next[kMaxNodes];
  double root_u[kMaxPoints];
  for (int i = 0; i < n; ++i) {
    Interpolate(&t_.interp[static_cast<std::size_t>(i) * l * (n + 1)], l, root_u);
    const double B = BoundaryAt(i);
    const Map m = NodeMap(i, B, root_u);
    double B_next = m.f;
    if (m.df < 0.0) {
      const double step = B + (m.f - B) / (1.0 - m.df);
      if (std::isfinite(step) && step > 0.0) B_next = step;
    }
    next[i] = B_next;
  }
  double change = 0.0;
  for (int i = 0; i < n; ++i) {
    if (!(std::isfinite(next[i]) && next[i] > 0.0)) continue;
    change = std::max(change, std::fabs(next[i] / BoundaryAt(i) - 1.0));
    SetNode(i, next[i]);
  }
  return change;
}

PutValues Solver::Value(bool greeks) const {
  const double S = in_.S, K = in_.K, tau = in_.tau;
  const double r = in_.r, q = in_.q, sigma = in_.sigma;
  if (S <= BoundaryAt(0)) return {K - S, -1.0, 0.0, 0.0};  // exercised at once
  const double s2 = sigma * sigma;
  const European e = EuropeanPut(in_, Discounts(in_, tau), std::log(S));
  const double sd = sigma * std::sqrt(tau);
  const double d1 = (std::log(S / K) + (r - q + 0.5 * s2) * tau) / sd;
  const double Dq = std::exp(-q * tau);
  double price = e.price, delta = -Dq * Cdf(-d1), gamma = Dq * Pdf(d1) / (S * sd);
  double root_u[kMaxPoints];
  Interpolate(t_.p_interp.data(), t_.p, root_u);
  const double lnS = std::log(S);
  for (int j = 0; j < t_.p; ++j) {
    const double s = tau * t_.p_s_frac[j];
    const double ssd = sigma * std::sqrt(s);
    const double lnBu = lnX_ - root_u[j];
    const double dm = (lnS - lnBu + (r - q) * s - 0.5 * s2 * s) / ssd;
    const double dp = dm + ssd;
    const double w = tau * t_.p_weight[j];
    const double er = std::exp(-r * s);
    const double eq = q != 0.0 ? std::exp(-q * s) : 1.0;
    const double Np = q != 0.0 ? Cdf(-dp) : 0.0;
    price += w * (r * K * er * Cdf(-dm) - q * S * eq * Np);
    if (greeks) {
      const double Bu = std::exp(lnBu);
      const double c = q * Bu - r * K;
      const double fm = er * Pdf(dm);
      delta += w * (-q * eq * Np + fm * c / (S * ssd));
      gamma += w * fm / (S * S * ssd) * (q * Bu - c * (1.0 + dm / ssd));
    }
  }
  // The Black-Scholes equation holds off the exercise region.
  const double theta = r * price - (r - q) * S * delta - 0.5 * s2 * S * S * gamma;
  return {price, delta, gamma, theta};
}

}  // namespace

PutValues SolvePut(const Setting& setting, const PutInputs& in, bool greeks) {
  Solver solver(TablesFor(setting), in);
  solver.Solve(setting.iterations, setting.tolerance);
  return solver.Value(greeks);
}

double BoundaryAtExpiry(const Setting& setting, const PutInputs& in) {
  Solver solver(TablesFor(setting), in);
  solver.Solve(setting.iterations, setting.tolerance);
  return solver.BoundaryAt(0);
}

}  // namespace kv::american
