// Sort keys of floats, and of the ints that order among floats exactly. Pure arithmetic on
// values: no interpreter calls.
//
// A double's bits, with the sign bit flipped for positive values and every bit flipped for
// negative ones, order as unsigned 64-bit keys in numeric order; the same kernels then order
// floats as they order ints. An int mixed with floats takes the key of its float value, which
// is exact only up to 2**53 in magnitude: beyond, two ints, or an int and a float, that Python
// tells apart could share a key.
#ifndef VESKSORT_NUMEROS_H
#define VESKSORT_NUMEROS_H

#include <bit>
#include <cstdint>

namespace vesksort {

inline constexpr std::int64_t maior_inteiro_exato_em_float = std::int64_t{1} << 53;

// Key of a double that is not a NaN, ascending. -0.0 and 0.0 are equal numbers, and share the
// key of 0.0: adding +0.0 turns -0.0 into 0.0 and leaves every other value as it is.
inline std::uint64_t chave_float_ascendente(double valor) {
  const auto bits = std::bit_cast<std::uint64_t>(valor + 0.0);
  const auto negativo = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63);
  return bits ^ (negativo | 0x8000000000000000ULL);
}

// Whether an int orders exactly among floats through its float value.
inline bool inteiro_exato_em_float(std::int64_t valor) {
  return valor >= -maior_inteiro_exato_em_float && valor <= maior_inteiro_exato_em_float;
}

// Sort keys are written under a mask: an int's key is its bits XOR `mascara`, where the mask
// flips the sign bit (ascending) or every other bit (descending). A float's key is its
// ascending key XOR `complemento_float(mascara)`: unchanged ascending, complemented descending.
inline constexpr std::uint64_t complemento_float(std::uint64_t mascara) {
  return mascara ^ 0x8000000000000000ULL;
}

// The float key of the int whose int key under `mascara` is `chave`: false, the key unchanged,
// when the int lies beyond 2**53 in magnitude.
inline bool converter_chave_inteira(std::uint64_t& chave, std::uint64_t mascara) {
  const auto valor = static_cast<std::int64_t>(chave ^ mascara);
  if (!inteiro_exato_em_float(valor)) {
    return false;
  }
  chave = chave_float_ascendente(static_cast<double>(valor)) ^ complemento_float(mascara);
  return true;
}

}  // namespace vesksort

#endif
