// Stable ranking of a few dozen 64-bit keys: each key's place is the number of keys smaller than
// it and of equal keys before it. Comparisons without branches cost less than the mispredicted
// ones of an insertion sort; with AVX2 four keys are ranked against each other key at once, with
// AVX-512 eight.
#ifndef VESKSORT_POSTOS_H
#define VESKSORT_POSTOS_H

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VESKSORT_POSTOS_AVX2 1
#endif

namespace vesksort {

// The most keys postos_de ranks at once.
inline constexpr std::size_t maior_quantidade_por_postos = 24;

// Whether the processor runs postos_avx2 (read once, when the module loads); false also where
// VESKSORT_SEM_AVX2 is set in the environment, so that the portable ranking can be tested.
extern const bool postos_com_avx2;
// The same for postos_avx512; false also where VESKSORT_SEM_AVX512 is set, so that the AVX2
// ranking can be tested.
extern const bool postos_com_avx512;

inline void postos_portateis(const std::uint64_t* chaves, std::size_t m, std::uint32_t* postos) {
  for (std::size_t i = 0; i < m; ++i) {
    const std::uint64_t chave = chaves[i];
    std::uint32_t posto = 0;
    for (std::size_t j = 0; j < i; ++j) {
      posto += chaves[j] <= chave;
    }
    for (std::size_t j = i + 1; j < m; ++j) {
      posto += chaves[j] < chave;
    }
    postos[i] = posto;
  }
}

#ifdef VESKSORT_POSTOS_AVX2
// The same, four keys against one at a time. Unsigned order is signed order with the top bit
// flipped, which AVX2 compares.
__attribute__((target("avx2"))) inline void postos_avx2(const std::uint64_t* chaves, std::size_t m,
                                                        std::uint32_t* postos) {
  constexpr std::uint64_t sinal = std::uint64_t{1} << 63;
  alignas(32) std::int64_t com_sinal[maior_quantidade_por_postos + 4];
  for (std::size_t i = 0; i < m; ++i) {
    com_sinal[i] = static_cast<std::int64_t>(chaves[i] ^ sinal);
  }
  for (std::size_t i = m; i < (m + 3) / 4 * 4; ++i) {
    com_sinal[i] = INT64_MAX;  // lanes past the keys: ranked, never counted, never stored
  }
  for (std::size_t b = 0; b < m; b += 4) {
    const __m256i bloco = _mm256_load_si256(reinterpret_cast<const __m256i*>(com_sinal + b));
    // Keys before the block count where not greater; keys after it where smaller.
    __m256i maiores_antes = _mm256_setzero_si256();
    for (std::size_t j = 0; j < b; ++j) {
      const __m256i outra = _mm256_set1_epi64x(com_sinal[j]);
      maiores_antes = _mm256_sub_epi64(maiores_antes, _mm256_cmpgt_epi64(outra, bloco));
    }
    __m256i menores_depois = _mm256_setzero_si256();
    for (std::size_t j = b + 4; j < m; ++j) {
      const __m256i outra = _mm256_set1_epi64x(com_sinal[j]);
      menores_depois = _mm256_sub_epi64(menores_depois, _mm256_cmpgt_epi64(bloco, outra));
    }
    alignas(32) std::int64_t antes[4];
    alignas(32) std::int64_t depois[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(antes), maiores_antes);
    _mm256_store_si256(reinterpret_cast<__m256i*>(depois), menores_depois);
    const std::size_t fim_bloco = b + 4 < m ? b + 4 : m;
    for (std::size_t i = b; i < fim_bloco; ++i) {
      std::uint64_t posto =
          b - static_cast<std::uint64_t>(antes[i - b]) + static_cast<std::uint64_t>(depois[i - b]);
      for (std::size_t j = b; j < i; ++j) {
        posto += com_sinal[j] <= com_sinal[i];
      }
      for (std::size_t j = i + 1; j < fim_bloco; ++j) {
        posto += com_sinal[j] < com_sinal[i];
      }
      postos[i] = static_cast<std::uint32_t>(posto);
    }
  }
}

// The same, eight keys against one at a time: AVX-512 compares unsigned keys, and counts equal
// keys before a lane's by a mask of the lanes after the other key.
__attribute__((target("avx512f"))) inline void postos_avx512(const std::uint64_t* chaves,
                                                             std::size_t m, std::uint32_t* postos) {
  alignas(64) std::uint64_t copia[maior_quantidade_por_postos + 8];
  for (std::size_t i = 0; i < m; ++i) {
    copia[i] = chaves[i];
  }
  for (std::size_t i = m; i < (m + 7) / 8 * 8; ++i) {
    copia[i] = UINT64_MAX;  // lanes past the keys: ranked, never counted, never stored
  }
  const __m512i um = _mm512_set1_epi64(1);
  for (std::size_t b = 0; b < m; b += 8) {
    const __m512i bloco = _mm512_load_si512(copia + b);
    __m512i posto = _mm512_setzero_si512();
    const std::size_t fim_bloco = b + 8 < m ? b + 8 : m;
    // Keys before the block count where not greater; keys after it where smaller; keys of the
    // block where smaller, or equal and before the lane's own.
    for (std::size_t j = 0; j < b; ++j) {
      const __m512i outra = _mm512_set1_epi64(static_cast<long long>(copia[j]));
      posto = _mm512_mask_add_epi64(posto, _mm512_cmple_epu64_mask(outra, bloco), posto, um);
    }
    for (std::size_t j = b; j < fim_bloco; ++j) {
      const __m512i outra = _mm512_set1_epi64(static_cast<long long>(copia[j]));
      const auto depois = static_cast<__mmask8>(0xFF << (j - b + 1));
      const __mmask8 contam =
          _mm512_cmplt_epu64_mask(outra, bloco) | (_mm512_cmpeq_epu64_mask(outra, bloco) & depois);
      posto = _mm512_mask_add_epi64(posto, contam, posto, um);
    }
    for (std::size_t j = fim_bloco; j < m; ++j) {
      const __m512i outra = _mm512_set1_epi64(static_cast<long long>(copia[j]));
      posto = _mm512_mask_add_epi64(posto, _mm512_cmplt_epu64_mask(outra, bloco), posto, um);
    }
    const std::size_t neste = m - b < 8 ? m - b : 8;
    _mm512_mask_cvtepi64_storeu_epi32(postos + b, static_cast<__mmask8>((1u << neste) - 1), posto);
  }
}
#endif

// Up to this many keys, ranking them one by one costs less than setting up the vectors.
inline constexpr std::size_t menor_quantidade_por_avx2 = 6;

// Up to this many keys, one block of AVX2 lanes or two cost less than setting up AVX-512's.
inline constexpr std::size_t menor_quantidade_por_avx512 = 8;

// The places of the m keys (at most maior_quantidade_por_postos) in their stable order.
inline void postos_de(const std::uint64_t* chaves, std::size_t m, std::uint32_t* postos) {
#ifdef VESKSORT_POSTOS_AVX2
  if (postos_com_avx512 && m > menor_quantidade_por_avx512) {
    postos_avx512(chaves, m, postos);
    return;
  }
  if (postos_com_avx2 && m > menor_quantidade_por_avx2) {
    postos_avx2(chaves, m, postos);
    return;
  }
#endif
  postos_portateis(chaves, m, postos);
}

}  // namespace vesksort

#endif
