// Identifier conversions between the 32-bit ids of the product's interfaces and
// the unsigned 64-bit ids of its directory classes.
#pragma once

#include <cstdint>

namespace tq {

// An id on its way into the directory: widened with its sign, so -1 becomes
// the all-ones 64-bit value.
inline unsigned long widenId(int id) {
    return static_cast<unsigned long>(static_cast<long>(id));
}

// An id or number on its way out of the directory: its low 32 bits.
inline int narrowId(unsigned long value) {
    return static_cast<int>(static_cast<uint32_t>(value & 0xFFFFFFFFul));
}

}  // namespace tq
