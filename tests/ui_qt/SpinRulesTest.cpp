// tests/ui_qt/SpinRulesTest.cpp — the spin box's text rules as tables; toolkit-free, so it runs in both builds.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "ui/SpinRules.h"

namespace {

using namespace ui::spin;

TEST(SpinRules, ValueOfTextIsASignedDecimalWholeNumberElseTheMinimum) {
  struct Row {
    const char* text;
    int value;
  };
  const Row rows[] = {
      {"1", 1},          {"42", 42},         {"99", 99},       {"0", 0},          {"00", 0},
      {"-5", -5},        {"+7", 7},          {"-0", 0},        {"150", 150},      {"", 1},
      {"+", 1},          {"-", 1},           {"+-1", 1},       {"--1", 1},        {"5-", 1},
      {"1.5", 1},        {"1,5", 1},         {"1.", 1},        {".", 1},          {" 7", 1},
      {"7 ", 1},         {"0x1", 1},         {"ab", 1},        {"\xD0\xB6", 1},  // a Cyrillic letter
      {"2147483647", INT_MAX},               {"-2147483648", INT_MIN},
      {"2147483648", 1}, {"-2147483649", 1}, {"99999999999999999999999", 1},
  };
  for (const Row& r : rows) EXPECT_EQ(ValueOfText(r.text, 1), r.value) << '"' << r.text << '"';
  EXPECT_EQ(ValueOfText("", -3), -3) << "the minimum, whatever it is";
}

TEST(SpinRules, ClampHoldsTheValueWithinTheRange) {
  struct Row {
    int value, min, max, expected;
  };
  const Row rows[] = {
      {0, 1, 99, 1},     {-5, 1, 99, 1}, {1, 1, 99, 1},   {50, 1, 99, 50},
      {99, 1, 99, 99},   {100, 1, 99, 99}, {INT_MIN, 1, 99, 1}, {INT_MAX, 1, 99, 99},
      {500, 0, 0, 500},  {-7, 5, 5, -7},   {3, 9, 2, 3},  // no range: left as it is
  };
  for (const Row& r : rows) EXPECT_EQ(Clamp(r.value, r.min, r.max), r.expected) << r.value << " in " << r.min << ".." << r.max;
}

TEST(SpinRules, KeyFilterTakesDigitsSignsTheSeparatorAndControlKeysButEnter) {
  struct Row {
    char32_t ch;
    char32_t separator;
    bool accepted;
  };
  const Row rows[] = {
      {U'0', U'.', true},  {U'9', U'.', true},   {U'+', U'.', true},  {U'-', U'.', true},
      {U'.', U'.', true},  {U',', U'.', false},  {U',', U',', true},  {U'.', U',', false},
      {0x08, U'.', true},  {0x1B, U'.', true},   {0x03, U'.', true},  {0x16, U'.', true},  // BS, Esc, Ctrl+C, Ctrl+V
      {0x0A, U'.', true},  {U'\r', U'.', false},  // Enter is refused
      {U' ', U'.', false}, {U'a', U'.', false},  {U'E', U'.', false}, {U'x', U'.', false},
      {0x7F, U'.', false}, {U'/', U'.', false},  {U':', U'.', false}, {U'\u0436', U'.', false},
      {U'\u0663', U'.', false},  // an Arabic-Indic digit is not a decimal digit here
  };
  for (const Row& r : rows)
    EXPECT_EQ(KeyAccepted(r.ch, r.separator), r.accepted) << "U+" << std::hex << static_cast<unsigned>(r.ch);
}

TEST(SpinRules, LimitTextCountsCharactersNotBytes) {
  struct Row {
    const char* text;
    int limit;
    const char* expected;
  };
  const Row rows[] = {
      {"150", 2, "15"}, {"15", 2, "15"},  {"7", 2, "7"},      {"", 2, ""},
      {"abc", 0, "abc"}, {"abc", -1, "abc"},
      {"\xD0\xB6\xD0\xB7\xD0\xB8", 2, "\xD0\xB6\xD0\xB7"},  // three Cyrillic letters, two kept whole
      {"1\xE2\x82\xAC" "2", 2, "1\xE2\x82\xAC"},             // a three-byte character kept whole
  };
  for (const Row& r : rows) EXPECT_EQ(LimitText(r.text, r.limit), r.expected) << '"' << r.text << "\" / " << r.limit;
}

TEST(SpinRules, StepMovesTheValueOfTheTextByOneWithinTheRange) {
  struct Row {
    const char* text;
    int delta;
    int expected;
  };
  const Row rows[] = {
      {"5", 1, 6},   {"5", -1, 4},   {"99", 1, 99}, {"98", 1, 99}, {"1", -1, 1},  {"2", -1, 1},
      {"", 1, 2},    {"", -1, 1},    {"+", 1, 2},   {"1.", 1, 2},  {"0", 1, 1},   {"0", -1, 1},
      {"-5", 1, 1},  {"00", 1, 1},   {"150", -1, 99},
  };
  for (const Row& r : rows) EXPECT_EQ(Step(r.text, r.delta, 1, 99), r.expected) << '"' << r.text << "\" " << r.delta;
  EXPECT_EQ(Step("2147483647", 1, INT_MIN, INT_MAX), INT_MAX) << "no overflow at the top of int";
  EXPECT_EQ(Step("-2147483648", -1, INT_MIN, INT_MAX), INT_MIN) << "no overflow at the bottom of int";
}

TEST(SpinRules, FocusLossReplacesAnOutOfRangeValueByTheNearerBoundAndKeepsOtherText) {
  struct Row {
    const char* text;
    const char* after;
  };
  const Row rows[] = {
      {"0", "1"},  {"00", "1"},  {"-5", "1"},  {"-0", "1"},  {"100", "99"}, {"150", "99"},
      {"1", "1"},  {"99", "99"}, {"07", "07"},  // in range: the text itself, leading zero and all
      {"", ""},    {"+", "+"},   {"-", "-"},    {"1.", "1."}, {" 7", " 7"},  // not a number: value 1, kept
  };
  for (const Row& r : rows) EXPECT_EQ(TextAfterFocusLoss(r.text, 1, 99), r.after) << '"' << r.text << '"';
}

}  // namespace
