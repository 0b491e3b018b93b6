// An independent reference for American options under Black-Scholes-Merton:
// Crank-Nicolson in x = ln(S / K) with a Rannacher start (four half steps of
// implicit Euler), the early-exercise constraint solved exactly at every
// step by the Brennan-Schwartz elimination, S and K both on grid nodes, and
// Richardson extrapolation of the h^2 term over grids of 2N and 4N nodes
// (space and time refined together; N gives a third grid whose
// extrapolation against 2N estimates the error left). The time steps are
// uniform in s = sqrt(tau / t): short near expiry, where the boundary moves
// like sqrt(tau). Each step solves for the change of the values, so that
// its rounding is relative to the change (see SolvePut). On the 200 options
// of tests/data/american_fd.csv the extrapolation over 16000 and 32000
// nodes moves from the one over 8000 and 16000 by less than 1e-8 on 177
// (RMSE 8e-8 over all: up to 1e-6 on two deep in the money, next to the
// boundary), and on 40 of them the extrapolation over 32000 and 64000 agrees
// with the finest setting of the library's method to 2.2e-10 RMSE. A call is
// priced as the put with S and K, r and q swapped (put-call symmetry).
// Nothing here shares code with the library's method.
//
// Reads lines "call S K t r q sigma" (call = 1 or 0) on stdin and writes
// "price delta gamma theta vega rho error" per line (theta per year from the
// Black-Scholes equation, vega and rho per unit by central differences of
// prices on --greek-nodes grids, error: the estimate above); --price-only
// skips vega and rho, --nodes N sets the coarse grid.
//
//   g++ -O2 -std=c++20 -o american_reference tools/american_reference.cpp
//   ./american_reference --nodes 8000 < options.txt > reference.txt

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr double kPower = 2.0;  // time steps uniform in s, tau = t s^kPower

struct Grid {
  double value, delta, gamma;
};

// The put on one grid: `nodes` space steps per unit of 8 sigma sqrt(t)
// around S, `steps` time steps.
Grid SolvePut(double S, double K, double t, double r, double q, double sigma, int nodes,
              int steps) {
  const double x0 = std::log(S / K);
  // Wide enough that the lowest node lies in the exercise region (the
  // boundary condition there) and the highest out of reach, with room for
  // a drift towards the exercise region beyond the margin of 0.5.
  const double half_width =
      8.0 * sigma * std::sqrt(t) + std::fabs(x0) + 0.5 + std::max(0.0, (q - r) * t - 0.5);
  double dx = 2.0 * half_width / nodes;
  // S and K both on nodes: a whole number of steps between them.
  if (std::fabs(x0) > 0.0) {
    const double count = std::max(1.0, std::round(std::fabs(x0) / dx));
    dx = std::fabs(x0) / count;
  }
  const int below = static_cast<int>(std::ceil(half_width / dx));
  const int size = 2 * below + 1;
  std::vector<double> x(size), V(size), payoff(size), rhs(size);
  for (int i = 0; i < size; ++i) {
    x[i] = x0 + (i - below) * dx;
    payoff[i] = std::max(K - K * std::exp(x[i]), 0.0);
    V[i] = payoff[i];
  }
  const double drift = r - q - 0.5 * sigma * sigma;
  const double a = 0.5 * sigma * sigma / (dx * dx);
  const double b = drift / (2.0 * dx);
  // L V_i = lo V_{i-1} + mid V_i + hi V_{i+1}
  const double lo = a - b, mid = -2.0 * a - r, hi = a + b;
  std::vector<double> sub(size), diag(size), sup(size);
  const int rannacher = 4;
  int done_half = 0;
  int step = 0;
  while (step < steps) {
    // Four implicit half steps first, then Crank-Nicolson.
    const bool implicit = done_half < rannacher;
    const double s_lo = (step + (implicit ? 0.5 * (done_half % 2) : 0.0)) / steps;
    const double s_hi = s_lo + (implicit ? 0.5 : 1.0) / steps;
    const double dt = t * (std::pow(s_hi, kPower) - std::pow(s_lo, kPower));
    const double theta = implicit ? 1.0 : 0.5;
    // The step's change dV solves (1 - theta dt L) dV = dt L V: formed as
    // differences, its rounding is relative to dV, not to V. (Stepping V
    // itself, the diagonal's 1 + dt sigma^2 / dx^2 amplifies each step's
    // rounding of V: 2e-10 of the price at 16000 nodes, growing fourfold per
    // doubling, which spoils the extrapolation beyond.)
    for (int i = 1; i < size - 1; ++i) {
      const double LV =
          a * ((V[i - 1] - V[i]) + (V[i + 1] - V[i])) + b * (V[i + 1] - V[i - 1]) - r * V[i];
      rhs[i] = dt * LV;
      sub[i] = -theta * dt * lo;
      diag[i] = 1.0 - theta * dt * mid;
      sup[i] = -theta * dt * hi;
    }
    // Boundaries: deep in the money the put is exercised, far out it is 0;
    // both keep their values.
    rhs[0] = 0.0;
    diag[0] = 1.0;
    sup[0] = 0.0;
    rhs[size - 1] = 0.0;
    diag[size - 1] = 1.0;
    sub[size - 1] = 0.0;
    // Brennan-Schwartz: eliminate from the top down to the first row, then
    // substitute upwards keeping V at least the payoff. Exact for a put,
    // whose exercise region is one interval at the bottom.
    std::vector<double>& d = diag;
    for (int i = size - 2; i >= 0; --i) {
      const double m = sup[i] / d[i + 1];
      d[i] -= m * sub[i + 1];
      rhs[i] -= m * rhs[i + 1];
    }
    double change = std::max(rhs[0] / d[0], payoff[0] - V[0]);
    V[0] += change;
    for (int i = 1; i < size; ++i) {
      change = std::max((rhs[i] - sub[i] * change) / d[i], payoff[i] - V[i]);
      V[i] += change;
    }
    if (implicit) {
      ++done_half;
      if (done_half % 2 == 0) ++step;
    } else {
      ++step;
    }
  }
  const double up = V[below + 1], here = V[below], down = V[below - 1];
  const double dVdx = (up - down) / (2.0 * dx);
  const double d2Vdx2 = (up - 2.0 * here + down) / (dx * dx);
  return {here, dVdx / S, (d2Vdx2 - dVdx) / (S * S)};
}

struct Values {
  double price, delta, gamma, error;  // error: the price's, estimated
};

// Three grids (h, h/2, h/4 in space and time) and Richardson extrapolation
// of their h^2 terms; the difference of the two extrapolations estimates
// the error left.
Values Put(double S, double K, double t, double r, double q, double sigma, int nodes) {
  Grid g[3];
  for (int l = 0; l < 3; ++l) g[l] = SolvePut(S, K, t, r, q, sigma, nodes << l, nodes << l);
  const auto rich = [](double coarse, double fine) { return (4.0 * fine - coarse) / 3.0; };
  const double price = rich(g[1].value, g[2].value);
  return {price, rich(g[1].delta, g[2].delta), rich(g[1].gamma, g[2].gamma),
          std::fabs(price - rich(g[0].value, g[1].value))};
}

// The option's values; a call by symmetry: C(S, K, r, q) = P(K, S, q, r).
Values Option(bool call, double S, double K, double t, double r, double q, double sigma,
              int nodes) {
  if (!call) return Put(S, K, t, r, q, sigma, nodes);
  const Values p = Put(K, S, t, q, r, sigma, nodes);
  // Homogeneity of degree one in (S, K): P = K dP/dK' + S dP/dS'.
  const double delta = (p.price - K * p.delta) / S;
  const double gamma = K * K * p.gamma / (S * S);
  return {p.price, delta, gamma, p.error};
}

}  // namespace

int main(int argc, char** argv) {
  int nodes = 2000, greek_nodes = 1000;
  bool price_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--nodes") == 0 && i + 1 < argc) nodes = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--greek-nodes") == 0 && i + 1 < argc)
      greek_nodes = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--price-only") == 0) price_only = true;
  }
  int call;
  double S, K, t, r, q, sigma;
  while (std::scanf("%d %lf %lf %lf %lf %lf %lf", &call, &S, &K, &t, &r, &q, &sigma) == 7) {
    Values v = Option(call != 0, S, K, t, r, q, sigma, nodes);
    // In the exercise region the value is the payoff, exactly; off it theta
    // follows from the Black-Scholes equation.
    const bool exercised = v.price <= (call ? S - K : K - S) + 1e-12 * K;
    if (exercised) v = {call ? S - K : K - S, call ? 1.0 : -1.0, 0.0, 0.0};
    const double theta =
        exercised ? 0.0
                  : r * v.price - (r - q) * S * v.delta - 0.5 * sigma * sigma * S * S * v.gamma;
    double vega = NAN, rho = NAN;
    if (!price_only) {
      const double hs = 1e-3 * sigma, hr = 1e-3;
      const auto at = [&](double ds, double dr) {
        return Option(call, S, K, t, r + dr, q, sigma + ds, greek_nodes).price;
      };
      vega = (at(hs, 0.0) - at(-hs, 0.0)) / (2.0 * hs);
      rho = (at(0.0, hr) - at(0.0, -hr)) / (2.0 * hr);
    }
    std::printf("%.15g %.15g %.15g %.15g %.15g %.15g %.2g\n", v.price, v.delta, v.gamma, theta,
                vega, rho, v.error);
    std::fflush(stdout);
  }
  return 0;
}
