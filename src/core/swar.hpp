// Eight bytes or eight digits at a time: the word-level steps of the decoder's
// digit scanning and the encoder's digit formatting and key sort. Free of
// the interpreter's API, so that they can be checked on their own on hosts
// of either byte order and word size; the byte order is fixed by the loads
// and stores of words.hpp.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "format.hpp"
#include "words.hpp"

namespace velka {

// The leading decimal digits of eight bytes (read by load_le, so the first
// byte is the lowest whatever the host's byte order): how many
// there are (leading_digit_count), and their value (leading_digits).
// Branch-free, so numbers of varying width cost no mispredictions.
inline unsigned leading_digit_count(std::uint64_t chunk) noexcept {
    constexpr std::uint64_t high_bits = 0x8080808080808080ULL;
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    // Less '0', a digit's byte is 0 to 9, and adding 0x76 leaves its high bit
    // clear; any other byte has its high bit set in one of the two. A carry
    // out of a byte comes only from a byte that is no digit, so it reaches
    // only bytes after the first non-digit, which are not counted.
    const std::uint64_t offsets = chunk ^ (ones * token::digit_zero);
    const std::uint64_t others = ((offsets + ones * (0x80 - 10)) | offsets) & high_bits;
    // No non-digit at all counts 64 zero bits: eight digits.
    return static_cast<unsigned>(std::countr_zero(others)) / 8;
}

// The value of the first `count` (0 to 8) bytes of `chunk`, which are
// decimal digits (and so less '0' are their values).
inline std::uint64_t digits_value(std::uint64_t chunk, unsigned count) noexcept {
    // Keep the digits, moved to the top so that missing ones read as leading
    // zeros, then combine neighbours: pairs, fours, eights. The move is made
    // in two halves so that no digits at all (a shift by 64, which C++ leaves
    // undefined) gives zero.
    const unsigned half_shift = 4 * (8 - count);
    std::uint64_t v = (chunk ^ 0x3030303030303030ULL) << half_shift << half_shift;
    v = v * 10 + (v >> 8);
    v = (((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
         (((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
        32;
    return v;
}

inline unsigned leading_digits(std::uint64_t chunk, std::uint64_t& value) noexcept {
    const unsigned count = leading_digit_count(chunk);
    value = digits_value(chunk, count);
    return count;
}

// Byte `index` (0 to 7) of eight bytes read by load_le.
constexpr unsigned byte_of(std::uint64_t chunk, unsigned index) noexcept {
    return static_cast<unsigned>(chunk >> (8 * index)) & 0xFFU;
}

// The eight decimal digits of `value` (below 10^8, zero-padded), most
// significant first, in the bytes of a word from lowest to highest (stored
// by store_le, so that they land in this order on any host). Each step splits
// every lane of the word in two at once (4 digits, 2, then 1), so the cost
// is a few multiplications whatever the value, with no branch.
inline std::uint64_t eight_digits(std::uint64_t value) noexcept {
    const std::uint64_t high = value / 10000;
    // Lanes of 32 bits: the upper four digits, then the lower four.
    const std::uint64_t fours = high | ((value - high * 10000) << 32);
    // x * 10486 >> 20 is x / 100 for x below 43699.
    const std::uint64_t hundreds = ((fours * 10486) >> 20) & 0x0000007F0000007FULL;
    const std::uint64_t pairs = hundreds | ((fours - hundreds * 100) << 16);
    // x * 103 >> 10 is x / 10 for x below 179.
    const std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000FULL;
    const std::uint64_t digits = tens | ((pairs - tens * 10) << 8);
    return digits + 0x3030303030303030ULL;
}

// The first eight bytes of the `size` bytes at `data` as a word whose highest
// byte is the first, zero-padded: words order as the bytes they begin with.
// Shorter runs are read as two overlapping halves (4 to 7 bytes, or 2 and
// 3), each shifted to where its bytes belong; the overlap ORs a byte with
// itself.
inline std::uint64_t big_endian_prefix(const unsigned char* data, std::ptrdiff_t size) noexcept {
    if (size >= 8) {
        return load_be<std::uint64_t>(data);
    }
    const auto bits = static_cast<unsigned>(8 * size);
    if (size >= 4) {
        const std::uint64_t high = load_be<std::uint32_t>(data);
        const std::uint64_t low = load_be<std::uint32_t>(data + size - 4);
        return high << 32 | low << (64 - bits);
    }
    if (size >= 2) {
        const std::uint64_t high = load_be<std::uint16_t>(data);
        const std::uint64_t low = data[size - 1];
        return high << 48 | low << (64 - bits);
    }
    return size == 1 ? std::uint64_t{data[0]} << 56 : 0;
}

}  // namespace velka
