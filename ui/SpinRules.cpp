// ui/SpinRules.cpp — the spin box's text rules, kept free of any toolkit so both backends share them.
#include "ui/SpinRules.h"

#include <climits>
#include <cstdint>

namespace ui::spin {

int ValueOfText(std::string_view text, int minValue) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return minValue;  // empty or a lone sign
  std::int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return minValue;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > static_cast<std::int64_t>(INT_MAX) + 1) return minValue;  // not an int
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > INT_MAX || value < INT_MIN) return minValue;
  return static_cast<int>(value);
}

int Clamp(int value, int minValue, int maxValue) {
  if (maxValue <= minValue) return value;
  if (value < minValue) return minValue;
  if (value > maxValue) return maxValue;
  return value;
}

bool KeyAccepted(char32_t ch, char32_t decimalSeparator) {
  if (ch >= U'0' && ch <= U'9') return true;
  if (ch == U'+' || ch == U'-' || ch == decimalSeparator) return true;
  return ch < 0x20 && ch != U'\r';
}

std::string LimitText(std::string_view text, int maxChars) {
  if (maxChars <= 0) return std::string(text);
  std::size_t end = 0;
  int chars = 0;
  while (end < text.size() && chars < maxChars) {
    ++end;  // step over the lead byte, then its continuation bytes
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    ++chars;
  }
  return std::string(text.substr(0, end));
}

int Step(std::string_view text, int delta, int minValue, int maxValue) {
  const std::int64_t moved = static_cast<std::int64_t>(ValueOfText(text, minValue)) + delta;
  const std::int64_t bounded = moved > INT_MAX ? INT_MAX : (moved < INT_MIN ? INT_MIN : moved);
  return Clamp(static_cast<int>(bounded), minValue, maxValue);
}

std::string TextAfterFocusLoss(std::string_view text, int minValue, int maxValue) {
  const int value = ValueOfText(text, minValue);
  const int clamped = Clamp(value, minValue, maxValue);
  if (clamped == value) return std::string(text);
  return std::to_string(clamped);
}

}  // namespace ui::spin
