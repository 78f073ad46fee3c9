// Texts cut to their field's width: the one cut a text gets on its way into
// a character field, made where the field's width and the table's code page
// are known.
//
// A text wider than its field keeps its first characters, as many as fit
// whole: a field never holds part of a character, neither of a UTF-8 text
// stored unconverted (a table without a code page) nor of a text in a
// double-byte code page (932, 936, 949, 950). Texts are counted in the
// system's code set: UTF-8 characters where it is UTF-8, bytes otherwise.
#pragma once

#include "xbase/code_page.h"
#include "xbase/table_header.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace xbase {

// Whether a code set name (iconv's "UTF-8", Windows' "CP65001") is UTF-8.
bool IsUtf8CodeSet(std::string_view code_set);

// The bytes field `f` stores of `text` (in the system's code set, UTF-8
// when `system_utf8`): converted to the table's code page when `converter`
// is given; for a text field (C or V, not binary) at most the field's width,
// cut after the last whole character that fits.
std::string TextForField(const FieldDescriptor& f, std::string_view text, TextConverter* converter,
                         bool system_utf8);

}  // namespace xbase
