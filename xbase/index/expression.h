// Expression: the xBase expression language as index keys and FOR
// conditions use it, compiled once against a table's fields and evaluated
// per record.
//
// Supported: field names in any case (an alias "A->" or "A." is ignored),
// character, numeric, logical and date values; + and - on texts
// (concatenation; "-" moves the left text's trailing blanks to the end),
// numbers and dates; * / % ^; comparisons = == <> # != < > <= >= $;
// .AND. .OR. .NOT. !; and the functions listed in expression.cpp, by full
// name or by an abbreviation of at least four letters.
//
// Compile refuses what it can't evaluate faithfully (an unknown function or
// field, a memo field, a type mismatch) with a readable reason; a compiled
// expression always yields a value of its static type.
#pragma once

#include "xbase/index/record_view.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace xbase::index {

enum class ValueType : char { kCharacter = 'C', kNumeric = 'N', kDate = 'D', kLogical = 'L' };

struct Value {
  ValueType type = ValueType::kCharacter;
  std::string text;     // kCharacter
  double number = 0;    // kNumeric; kDate as Julian day number, 0 for a blank date
  bool logical = false; // kLogical
};

// Julian day number of a Gregorian date, and back.
long JulianDay(int year, int month, int day);
void CivilFromJulian(long julian, int* year, int* month, int* day);
// "YYYYMMDD" (a D field's stored form) to a Julian day; 0 when blank or invalid.
long JulianFromDtos(std::string_view text);

struct Node;

class Expression {
 public:
  static std::unique_ptr<Expression> Compile(std::string_view text, const std::vector<FieldInfo>& fields,
                                             std::string* problem);
  ~Expression();
  Expression(const Expression&) = delete;
  Expression& operator=(const Expression&) = delete;

  ValueType type() const;
  const std::string& text() const { return text_; }
  Value Evaluate(const RecordView& record) const;

 private:
  Expression(std::string text, std::unique_ptr<Node> root);
  std::string text_;
  std::unique_ptr<Node> root_;
};

}  // namespace xbase::index
