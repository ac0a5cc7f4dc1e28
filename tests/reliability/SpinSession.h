// tests/reliability/SpinSession.h — plays a byte string as an operator's session with the port box under the spin rules and checks what the search gets; shared by the seeded property test and the fuzz target.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ui/SpinRules.h"

namespace reliability {

// The port box's settings in the main window.
constexpr int kSpinMin = 1;
constexpr int kSpinMax = 99;
constexpr int kSpinChars = 2;

// The value the search should get for a text, worked out apart from the rules under test: a
// decimal whole number with an optional leading sign that fits an int, held within 1..99; any
// other text gives the minimum.
inline int ExpectedPort(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return kSpinMin;
  long long magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return kSpinMin;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > 1LL << 40) return kSpinMin;  // far outside an int
  }
  const long long value = negative ? -magnitude : magnitude;
  if (value < INT_MIN || value > INT_MAX) return kSpinMin;
  return value < kSpinMin ? kSpinMin : (value > kSpinMax ? kSpinMax : static_cast<int>(value));
}

inline std::size_t CodePoints(std::string_view text) {
  std::size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

inline std::string Utf8(char32_t ch) {
  std::string out;
  if (ch < 0x80) {
    out += static_cast<char>(ch);
  } else if (ch < 0x800) {
    out += static_cast<char>(0xC0 | (ch >> 6));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  } else if (ch < 0x10000) {
    out += static_cast<char>(0xE0 | (ch >> 12));
    out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (ch >> 18));
    out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (ch & 0x3F));
  }
  return out;
}

// The session: keys typed (filtered by KeyAccepted, held to two characters), text pasted (cut by
// LimitText, not filtered), arrow steps, focus leaving the box, select-all; then the search
// button. Returns false with `failure` set when an invariant breaks. Every byte string is a
// session, so a fuzzer can feed anything.
inline bool PlaySpinSession(const std::uint8_t* data, std::size_t size, std::string* failure, int* port = nullptr) {
  std::string text = "1";  // the box at start
  bool selected = true;    // start-up selects the text
  std::size_t i = 0;
  auto next = [&]() -> std::uint8_t { return i < size ? data[i++] : 0; };
  auto fail = [&](const std::string& what) {
    *failure = what + " (text \"" + text + "\")";
    return false;
  };
  // The box's own decimal separator differs by locale; both common ones are tried.
  const char32_t separator = (size > 0 && (data[0] & 0x80)) ? U',' : U'.';

  while (i < size) {
    switch (next() % 6) {
      case 0: {  // a key
        char32_t ch = 0;
        const std::uint8_t kind = next();
        switch (kind % 6) {
          case 0: ch = U'0' + next() % 10; break;
          case 1: ch = U"+-.,"[next() % 4]; break;
          case 2: ch = next() % 0x20; break;             // control keys, Enter among them
          case 3: ch = 0x20 + next() % 0x5F; break;      // printable ASCII
          case 4: ch = 0x400 + next() % 0x60; break;     // Cyrillic
          default: ch = (static_cast<char32_t>(next()) << 8 | next()) + 0x80; break;  // anything else
        }
        if (!ui::spin::KeyAccepted(ch, separator)) break;  // refused with a beep: nothing changes
        if (ch == U'\r') return fail("Enter was taken");
        const bool typable = (ch >= U'0' && ch <= U'9') || ch == U'+' || ch == U'-' || ch == separator;
        if (ch >= 0x20 && !typable) return fail("a key outside the filter was taken");
        if (ch == U'\b') {
          if (selected) {
            text.clear();
          } else if (!text.empty()) {
            std::size_t cut = text.size() - 1;
            while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
            text.erase(cut);
          }
          selected = false;
          break;
        }
        if (ch < 0x20) break;  // other control keys (Ctrl+C, Tab …) type nothing
        if (selected) text.clear();
        selected = false;
        if (static_cast<int>(CodePoints(text)) < kSpinChars) text += Utf8(ch);  // the length limit
        break;
      }
      case 1: {  // a paste: any bytes, replacing the selection or appended, then cut to the limit
        std::string pasted;
        for (int n = next() % 9; n > 0; --n) pasted += static_cast<char>(next());
        const std::string joined = selected ? pasted : text + pasted;
        text = ui::spin::LimitText(joined, kSpinChars);
        if (CodePoints(text) > static_cast<std::size_t>(kSpinChars) || joined.compare(0, text.size(), text) != 0)
          return fail("LimitText gave more than two characters or not a prefix");
        selected = false;
        break;
      }
      case 2:
      case 3: {  // an arrow step
        const int stepped = ui::spin::Step(text, (data[i - 1] % 6) == 2 ? 1 : -1, kSpinMin, kSpinMax);
        if (stepped < kSpinMin || stepped > kSpinMax) return fail("a step left 1..99: " + std::to_string(stepped));
        text = std::to_string(stepped);
        selected = true;
        break;
      }
      case 4: {  // the focus leaves the box
        const std::string after = ui::spin::TextAfterFocusLoss(text, kSpinMin, kSpinMax);
        if (ui::spin::TextAfterFocusLoss(after, kSpinMin, kSpinMax) != after) return fail("focus loss not stable");
        text = after;
        selected = false;
        break;
      }
      default:
        selected = !selected;
        break;
    }
  }

  // The search button: the focus leaves the box, then the search reads its value.
  const std::string committed = ui::spin::TextAfterFocusLoss(text, kSpinMin, kSpinMax);
  const int value = ui::spin::ValueOfText(committed, kSpinMin);
  if (value < kSpinMin || value > kSpinMax) return fail("the search got port " + std::to_string(value));
  if (value != ExpectedPort(text)) return fail("the search got port " + std::to_string(value) + ", not " +
                                               std::to_string(ExpectedPort(text)));
  if (port != nullptr) *port = value;

  // The same for the raw bytes as one text of any length, as if no limit had applied.
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  const int rawValue = ui::spin::ValueOfText(ui::spin::TextAfterFocusLoss(raw, kSpinMin, kSpinMax), kSpinMin);
  if (rawValue != ExpectedPort(raw)) {
    text = std::string(raw);
    return fail("an unlimited text gave port " + std::to_string(rawValue));
  }
  const int rawStep = ui::spin::Step(raw, 1, kSpinMin, kSpinMax);
  if (rawStep < kSpinMin || rawStep > kSpinMax) return fail("a step on an unlimited text left 1..99");
  return true;
}

}  // namespace reliability
