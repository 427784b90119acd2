// Reading statement texts.
#pragma once

#include <vector>

#include "core.hpp"

namespace morvel {

// Whether `text` (a str) holds more than its first statement: anything but blanks and comments after the
// first `;` that stands outside a string, a quoted name or a comment.
bool several_statements(PyObject* text);

// The condition "a = ? AND b = ? " over the given column names, each f"{name}" as it is (the statements
// of temp_to_main and find paste them so).
Ref equalities(const std::vector<Ref>& columns);

// `"name"`: f"{name}" written into a statement as a quoted SQL identifier (every `"` doubled), as names
// read from the schema are.
Ref identifier(PyObject* name);

}  // namespace morvel
