// What every back end shares.

#include "backend/Backend.hpp"

#include <cstring>

namespace vlt::sql {

const char* Dialect::columnType(StoredForm form) const noexcept {
  switch (form) {
    case StoredForm::integer: return integerType;
    case StoredForm::real: return realType;
    case StoredForm::text: return textType;
    case StoredForm::bytes: return bytesType;
  }
  return integerType;
}

std::int64_t orderedDouble(double value) noexcept {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  bits = (bits & 0x8000000000000000u) ? ~bits : bits | 0x8000000000000000u;
  return static_cast<std::int64_t>(bits ^ 0x8000000000000000u);
}

double doubleFromOrdered(std::int64_t stored) noexcept {
  std::uint64_t bits = static_cast<std::uint64_t>(stored) ^ 0x8000000000000000u;
  bits = (bits & 0x8000000000000000u) ? bits & ~0x8000000000000000u : ~bits;
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string fillIn(std::string_view text, std::initializer_list<std::pair<std::string_view, std::string_view>> values) {
  std::string out;
  out.reserve(text.size() + 32);
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t open = text.find('{', i);
    if (open == std::string_view::npos) break;
    const std::size_t close = text.find('}', open);
    if (close == std::string_view::npos) break;
    const std::string_view name = text.substr(open + 1, close - open - 1);
    out.append(text, i, open - i);
    bool replaced = false;
    for (const auto& [key, value] : values) {
      if (key == name) {
        out.append(value);
        replaced = true;
        break;
      }
    }
    if (!replaced) out.append(text, open, close - open + 1);
    i = close + 1;
  }
  out.append(text, i, std::string_view::npos);
  return out;
}


}  // namespace vlt::sql
