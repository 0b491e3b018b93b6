// The table of the split exponential in NormCdf, filled at load with the
// platform's exp. Compiled for the baseline processor only, like the rest of
// the module outside the kernel units.

#include "normal.hpp"

namespace kv {

namespace {
SplitTable MakeSplitTable() {
  SplitTable table{};
  for (int k = 0; k < kSplitSteps; ++k) {
    const double yq = static_cast<double>(k) * 0.0625;
    table.head[k] = std::exp(-(yq * yq));
  }
  return table;
}
}  // namespace

const SplitTable kSplitTable = MakeSplitTable();

}  // namespace kv
