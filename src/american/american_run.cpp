#include "american_run.hpp"

#include <cstring>

namespace kv::book {
namespace {

// Options a thread claims at a time. One option costs microseconds to
// milliseconds, and the cost varies a lot from option to option (expiry,
// convergence): small pieces keep the threads' shares even to the end.
constexpr std::ptrdiff_t kPiece = 4;

// The doubles and the flag of element e, however the inputs are strided.
struct Element {
  bool call;
  double in[kInputs - 1];
};

Element Read(const Layout& layout, std::ptrdiff_t e) {
  std::ptrdiff_t offset[kInputs] = {};
  for (int d = layout.ndim - 1; d >= 0; --d) {
    const std::ptrdiff_t i = e % layout.shape[d];
    e /= layout.shape[d];
    for (int k = 0; k < kInputs; ++k) offset[k] += i * layout.stride[k][d];
  }
  Element out;
  out.call = layout.data[0][offset[0]] != 0;
  for (int k = 1; k < kInputs; ++k) {
    std::memcpy(&out.in[k - 1], layout.data[k] + offset[k], sizeof(double));
  }
  return out;
}

}  // namespace

bool RunAmerican(const AmericanJob& job, const Layout& layout, int threads,
                 const StopCheck& check) noexcept {
  unsigned wanted = 0;
  for (int k = 0; k < job.count; ++k) wanted |= 1u << job.quantities[k];
  return SharePieces(ElementCount(layout), threads, kPiece, check,
                     [&](std::ptrdiff_t lo, std::ptrdiff_t hi) {
                       for (std::ptrdiff_t e = lo; e < hi; ++e) {
                         const Element x = Read(layout, e);
                         const american::Option option{x.call,  x.in[0], x.in[1], x.in[2],
                                                       x.in[3], x.in[4], x.in[5]};
                         american::Values values;
                         american::Evaluate(job.model, job.accuracy, option, wanted, values);
                         for (int k = 0; k < job.count; ++k)
                           job.outs[k][e] = values.v[job.quantities[k]];
                       }
                     });
}

bool RunAmericanIv(const AmericanIvJob& job, const Layout& layout, int threads,
                   const StopCheck& check) noexcept {
  return SharePieces(
      ElementCount(layout), threads, kPiece, check, [&](std::ptrdiff_t lo, std::ptrdiff_t hi) {
        for (std::ptrdiff_t e = lo; e < hi; ++e) {
          const Element x = Read(layout, e);
          // x.in: price, X, K, t, r, q
          const american::Option option{x.call, x.in[1], x.in[2], x.in[3], x.in[4], 0.0, x.in[5]};
          const american::IvResult result =
              american::ImpliedVol(job.model, job.accuracy, option, x.in[0]);
          job.out[e] = result.sigma;
          if (job.status != nullptr) job.status[e] = result.status;
        }
      });
}

}  // namespace kv::book
