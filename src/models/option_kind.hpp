#pragma once

#include <cstdint>

namespace kv {

enum class OptionKind : std::uint8_t { Call = 0, Put = 1 };

// The option sign w of the formulas: +1 for a call, -1 for a put.
inline double Sign(OptionKind kind) {
  return kind == OptionKind::Call ? 1.0 : -1.0;
}

}  // namespace kv
