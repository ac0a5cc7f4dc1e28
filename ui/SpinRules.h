// ui/SpinRules.h — the text rules of the numeric spin box, shared by every toolkit backend.
#pragma once

#include <string>
#include <string_view>

namespace ui::spin {

// The value of the box's text: a decimal whole number with an optional leading sign; any other
// text (empty, a lone sign, two signs, a decimal separator, blanks, an out-of-int number) is `minValue`.
int ValueOfText(std::string_view text, int minValue);

// Holds `value` within [minValue, maxValue]; a range with max <= min leaves it as it is.
int Clamp(int value, int minValue, int maxValue);

// Whether a typed character is taken: digits, '+', '-', the decimal separator, and control
// characters other than Enter (carriage return). Anything else is refused with a beep.
bool KeyAccepted(char32_t ch, char32_t decimalSeparator);

// Cuts a UTF-8 text to at most `maxChars` characters (code points); 0 or less means no limit.
std::string LimitText(std::string_view text, int maxChars);

// The arrow buttons and cursor keys: the value of the text moved by `delta`, held within the range.
int Step(std::string_view text, int delta, int minValue, int maxValue);

// What focus loss leaves in the box: the text itself when its value lies within the range (a text
// that isn't a number keeps its text, its value being the minimum), else the nearer bound's digits.
std::string TextAfterFocusLoss(std::string_view text, int minValue, int maxValue);

}  // namespace ui::spin
