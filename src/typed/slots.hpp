// Finding where an instance keeps an attribute that is a slot, so that the
// typed encoder can read it and the builder write it without the generic
// attribute machinery, where that machinery would do just the same.
#pragma once

#include <cstdint>

#include "compat.hpp"

namespace velka::typed {

enum class SlotUse : std::uint8_t { read, write };

// Where generic attribute access on an instance of `type` keeps `name`'s
// value when that is a slot: the offset of a plain object member that the
// lookup would find first and that a load (SlotUse::read) or a store
// (SlotUse::write) of the slot handles exactly as the member would; 0 when
// it would find anything else first (or the classes could not be searched).
// Runs none of the caller's code. What it finds holds only while the
// class's version tag is unchanged.
Py_ssize_t slot_offset(PyTypeObject* type, PyObject* name, SlotUse use);

}  // namespace velka::typed
