// An independent reference for American options under Black-Scholes-Merton:
// Crank-Nicolson in x = ln(S / K) with a Rannacher start (four half steps of
// implicit Euler), the early-exercise constraint solved exactly at every
// step by the Brennan-Schwartz elimination, S and K both on grid nodes, and
// Richardson extrapolation over two grids (h and h / 2 in space and time).
// A call is priced as the put with S and K, r and q swapped (put-call
// symmetry). Nothing here shares code with the library's own method.
//
// Reads lines "call S K t r q sigma" (call = 1 or 0) on stdin and writes
// "price delta gamma theta vega rho" per line (theta per year, vega and rho
// per unit); --price-only skips the Greeks, --nodes N sets the coarse grid.
//
//   g++ -O2 -std=c++20 -o american_reference tools/american_reference.cpp
//   ./american_reference --nodes 2000 < options.txt > reference.txt

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Grid {
  double value, delta, gamma, value_earlier;  // value_earlier: one time step before
  double dtau;
};

// The put on one grid: `nodes` space steps per unit of 8 sigma sqrt(t)
// around S, `steps` time steps.
Grid SolvePut(double S, double K, double t, double r, double q, double sigma, int nodes,
              int steps) {
  const double x0 = std::log(S / K);
  const double half_width = 8.0 * sigma * std::sqrt(t) + std::fabs(x0) + 0.5;
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
  const double dtau = t / steps;
  std::vector<double> sub(size), diag(size), sup(size);
  double earlier_value = 0.0;
  const int rannacher = 4;
  int done_half = 0;
  int step = 0;
  while (step < steps) {
    // Four implicit half steps first, then Crank-Nicolson.
    const bool implicit = done_half < rannacher;
    const double dt = implicit ? 0.5 * dtau : dtau;
    const double theta = implicit ? 1.0 : 0.5;
    for (int i = 1; i < size - 1; ++i) {
      const double LV = lo * V[i - 1] + mid * V[i] + hi * V[i + 1];
      rhs[i] = V[i] + (1.0 - theta) * dt * LV;
      sub[i] = -theta * dt * lo;
      diag[i] = 1.0 - theta * dt * mid;
      sup[i] = -theta * dt * hi;
    }
    // Boundaries: deep in the money the put is exercised, far out it is 0.
    rhs[0] = payoff[0];
    diag[0] = 1.0;
    sup[0] = 0.0;
    rhs[size - 1] = 0.0;
    diag[size - 1] = 1.0;
    sub[size - 1] = 0.0;
    // Brennan-Schwartz: eliminate from the top down to the first row, then
    // substitute upwards taking the payoff where it is larger. Exact for a
    // put, whose exercise region is one interval at the bottom.
    std::vector<double>& d = diag;
    for (int i = size - 2; i >= 0; --i) {
      const double m = sup[i] / d[i + 1];
      d[i] -= m * sub[i + 1];
      rhs[i] -= m * rhs[i + 1];
    }
    if (step == steps - 1 && !implicit) earlier_value = V[below];
    V[0] = std::max(rhs[0] / d[0], payoff[0]);
    for (int i = 1; i < size; ++i) {
      V[i] = std::max((rhs[i] - sub[i] * V[i - 1]) / d[i], payoff[i]);
    }
    if (implicit) {
      ++done_half;
      if (done_half % 2 == 0) ++step;
      if (step == steps && done_half % 2 == 0) earlier_value = V[below];
    } else {
      ++step;
    }
  }
  const double up = V[below + 1], here = V[below], down = V[below - 1];
  const double dVdx = (up - down) / (2.0 * dx);
  const double d2Vdx2 = (up - 2.0 * here + down) / (dx * dx);
  return {here, dVdx / S, (d2Vdx2 - dVdx) / (S * S), earlier_value, dtau};
}

struct Values {
  double price, delta, gamma, theta;
};

// Two grids and Richardson extrapolation (errors of order h^2).
Values Put(double S, double K, double t, double r, double q, double sigma, int nodes) {
  const int steps = nodes;
  const Grid c = SolvePut(S, K, t, r, q, sigma, nodes, steps);
  const Grid f = SolvePut(S, K, t, r, q, sigma, 2 * nodes, 2 * steps);
  const auto rich = [](double coarse, double fine) { return (4.0 * fine - coarse) / 3.0; };
  const double theta_c = -(c.value - c.value_earlier) / c.dtau;
  const double theta_f = -(f.value - f.value_earlier) / f.dtau;
  // The time difference is first order in the step: extrapolate as such.
  return {rich(c.value, f.value), rich(c.delta, f.delta), rich(c.gamma, f.gamma),
          2.0 * theta_f - theta_c};
}

// The option's values; a call by symmetry: C(S, K, r, q) = P(K, S, q, r).
Values Option(bool call, double S, double K, double t, double r, double q, double sigma,
              int nodes) {
  if (!call) return Put(S, K, t, r, q, sigma, nodes);
  const Values p = Put(K, S, t, q, r, sigma, nodes);
  // Homogeneity of degree one in (S, K): P = K dP/dK' + S dP/dS'.
  const double delta = (p.price - K * p.delta) / S;
  const double gamma = K * K * p.gamma / (S * S);
  return {p.price, delta, gamma, p.theta};
}

}  // namespace

int main(int argc, char** argv) {
  int nodes = 1500;
  bool price_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--nodes") == 0 && i + 1 < argc) nodes = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--price-only") == 0) price_only = true;
  }
  int call;
  double S, K, t, r, q, sigma;
  while (std::scanf("%d %lf %lf %lf %lf %lf %lf", &call, &S, &K, &t, &r, &q, &sigma) == 7) {
    const Values v = Option(call != 0, S, K, t, r, q, sigma, nodes);
    double vega = NAN, rho = NAN;
    if (!price_only) {
      const double hs = 1e-3 * sigma, hr = 1e-3;
      vega = (Option(call, S, K, t, r, q, sigma + hs, nodes).price -
              Option(call, S, K, t, r, q, sigma - hs, nodes).price) /
             (2.0 * hs);
      rho = (Option(call, S, K, t, r + hr, q, sigma, nodes).price -
             Option(call, S, K, t, r - hr, q, sigma, nodes).price) /
            (2.0 * hr);
    }
    std::printf("%.15g %.15g %.15g %.15g %.15g %.15g\n", v.price, v.delta, v.gamma, v.theta, vega,
                rho);
    std::fflush(stdout);
  }
  return 0;
}
