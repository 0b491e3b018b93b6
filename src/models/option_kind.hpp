#pragma once

#include <cstdint>

#include "../simd/target.hpp"

// The type alone is shared by every target: it crosses from the module into
// the kernels.
namespace kv {
enum class OptionKind : std::uint8_t { Call = 0, Put = 1 };
}  // namespace kv

KV_TARGET_BEGIN

// The option sign w of the formulas: +1 for a call, -1 for a put.
inline double Sign(OptionKind kind) {
  return kind == OptionKind::Call ? 1.0 : -1.0;
}

KV_TARGET_END
