// The typed walk: the input read by the model's plan. Every byte is read
// through the primitives of walker.hpp (a building walk for values built as
// decode builds them, a checking walk for keys as spans, skipped values, raw
// spans and the look-ahead for a union's tag), so the typed walk accepts
// and refuses exactly what decode does, with the same errors.
#pragma once

#include "compat.hpp"
#include "faults.hpp"
#include "input_view.hpp"
#include "plan.hpp"
#include "text_cache.hpp"

namespace velka::typed {

// Decodes the value at `pos` by `root` and moves `pos` past it, sharing short
// text through `texts`. Returns a new reference; or nullptr with an exception
// set (malformed input and every other error) or with `fault` recorded
// (input that does not fit).
PyObject* walk(const Node& root, const InputView& view, bool tell_incomplete, Py_ssize_t& pos,
               Fault& fault, TextCache& texts);

}  // namespace velka::typed
