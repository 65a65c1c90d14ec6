// Stable most-significant-byte radix sort of prefix keys with a value beside each: a 32-bit row
// number, or the object itself where the caller has no other use for the row.
//
// Prefix keys of strings crowd: words share their first letters, paths and URLs their first
// bytes. Split by their highest byte first, the keys fall into parts that the next bytes split
// again, and a part soon holds a few keys that comparisons order: most keys move two or three
// times, where an LSD sort moves every key once per digit.
#include <bit>
#include <cstdlib>
#include <cstring>

#include "postos.h"
#include "vesksort.h"

namespace vesksort {
namespace {

// Parts up to this size are ordered by comparing every key with every other: below it, the
// counts of a split cost more.
constexpr std::size_t maior_parte_por_postos = maior_quantidade_por_postos;

// Parts shorter than this split by a digit of about as many bits as their size has, from the
// highest bit in which their keys differ: a few dozen keys then count into about as many slots,
// where a whole byte would clear, sum and walk 256 (random int64 keys, or floats of both signs,
// which leave two slots full and the 130 between them empty).
constexpr std::size_t menor_parte_por_bytes_inteiros = 256;

// A split by whole bytes leaves its parts equal in one more byte (at most 8 such splits); one by
// a narrower digit (parts of 25 to 255 keys: 5 bits or more, and never again a whole byte) in 5
// more bits: 13 splits at most, one count table each.
constexpr int maximo_de_divisoes = 13;

template <class Linha>
struct LadosBytes {
  std::uint64_t* chaves[2];
  Linha* linhas[2];
  // 65536 counts for a first split by two bytes, or null.
  std::uint32_t* contagem_larga = nullptr;
};

// Stable sort of the keys inicio ... fim - 1 of side `lado` into the same positions of the
// other side, by their places among each other (postos.h).
template <class Linha>
void ordenar_por_postos(const LadosBytes<Linha>& lados, int lado, std::size_t inicio,
                        std::size_t fim) {
  const std::uint64_t* chaves = lados.chaves[lado] + inicio;
  const Linha* linhas = lados.linhas[lado] + inicio;
  std::uint64_t* chaves_destino = lados.chaves[lado ^ 1] + inicio;
  Linha* linhas_destino = lados.linhas[lado ^ 1] + inicio;
  const std::size_t m = fim - inicio;
  std::uint32_t postos[maior_quantidade_por_postos];
  postos_de(chaves, m, postos);
  for (std::size_t i = 0; i < m; ++i) {
    chaves_destino[postos[i]] = chaves[i];
    linhas_destino[postos[i]] = linhas[i];
  }
}

template <class Linha>
void copiar_para_o_primeiro(const LadosBytes<Linha>& lados, int lado, std::size_t inicio,
                            std::size_t fim) {
  if (lado == 1 && fim > inicio) {
    std::memcpy(lados.chaves[0] + inicio, lados.chaves[1] + inicio,
                (fim - inicio) * sizeof(std::uint64_t));
    std::memcpy(lados.linhas[0] + inicio, lados.linhas[1] + inicio, (fim - inicio) * sizeof(Linha));
  }
}

template <class Linha>
void ordenar_por_bytes(const LadosBytes<Linha>& lados, int lado, std::size_t inicio,
                       std::size_t fim, int profundidade, std::uint32_t (*contagens)[256],
                       const ResumoChaves* resumo = nullptr, bool maioria_provavel = false);

// A whole list of this many keys or more, given a table of 65536 counts, splits by the two bytes
// from the first in which its keys differ: words that share no head fall into a few hundred
// parts at once, and every key moves once less than by two splits of a byte.
constexpr std::size_t menor_parte_por_dois_bytes = menor_lista_por_dois_bytes;

// Parts from this size on are first checked for a key that most of them hold.
constexpr std::size_t menor_parte_por_maioria = 256;

// Where more than half the keys inicio ... fim - 1 of side `lado` equal `candidata`: moves the
// keys before it, it, and the keys after it, each in their order, to the other side, orders the
// first and the last there into side 0, and returns true. False, having moved nothing, otherwise.
template <class Linha>
bool separar_maioria(const LadosBytes<Linha>& lados, int lado, std::size_t inicio, std::size_t fim,
                     int profundidade, std::uint32_t (*contagens)[256], std::uint64_t candidata) {
  const std::uint64_t* chaves = lados.chaves[lado];
  std::size_t antes = 0;
  std::size_t iguais = 0;
  for (std::size_t i = inicio; i < fim; ++i) {
    antes += chaves[i] < candidata;
    iguais += chaves[i] == candidata;
  }
  if (2 * iguais <= fim - inicio) {
    return false;
  }
  const Linha* linhas = lados.linhas[lado];
  std::uint64_t* chaves_destino = lados.chaves[lado ^ 1];
  Linha* linhas_destino = lados.linhas[lado ^ 1];
  std::size_t destinos[3] = {inicio, inicio + antes, inicio + antes + iguais};
  for (std::size_t i = inicio; i < fim; ++i) {
    const std::uint64_t chave = chaves[i];
    const std::size_t destino =
        destinos[static_cast<int>(chave >= candidata) + static_cast<int>(chave > candidata)]++;
    chaves_destino[destino] = chave;
    linhas_destino[destino] = linhas[i];
  }
  // The parts before and after split no byte: they keep the depth, and shrink by half or more.
  const std::size_t meio = inicio + antes;
  const std::size_t depois = meio + iguais;
  ordenar_por_bytes(lados, lado ^ 1, inicio, meio, profundidade, contagens);
  copiar_para_o_primeiro(lados, lado ^ 1, meio, depois);
  ordenar_por_bytes(lados, lado ^ 1, depois, fim, profundidade, contagens);
  return true;
}

// Sorts the elements inicio ... fim - 1 of side `lado` into the same positions of side 0.
// `contagens[b]` is the count table of the parts split at depth b. `resumo`, when not null,
// already holds what the part's first read would learn.
template <class Linha>
void ordenar_por_bytes(const LadosBytes<Linha>& lados, int lado, std::size_t inicio,
                       std::size_t fim, int profundidade, std::uint32_t (*contagens)[256],
                       const ResumoChaves* resumo, bool maioria_provavel) {
  if (fim - inicio <= maior_parte_por_postos) {
    ordenar_por_postos(lados, lado, inicio, fim);
    copiar_para_o_primeiro(lados, lado ^ 1, inicio, fim);
    return;
  }
  const std::uint64_t* chaves = lados.chaves[lado];
  // Every key lies between the smallest and the largest: the bytes that these two share, all
  // share, and the first byte in which they differ is the one to split by, its values between
  // theirs. Equal keys (a word many times over) are found in one read.
  std::uint64_t menor = UINT64_MAX;
  std::uint64_t maior = 0;
  // The key that most keys may hold (a majority vote, without branches), where a part is a whole
  // level's or most of the part it came from: strings that are prefixes of one another, or that
  // share a long stretch, leave one key for most of a part, which byte splits would carry down
  // through every byte.
  std::uint64_t candidata = 0;
  std::size_t votos = 0;
  if (resumo != nullptr) {
    menor = resumo->menor;
    maior = resumo->maior;
  } else {
    for (std::size_t i = inicio; i < fim; ++i) {
      const std::uint64_t chave = chaves[i];
      menor = chave < menor ? chave : menor;
      maior = chave > maior ? chave : maior;
    }
    if (maioria_provavel) {
      for (std::size_t i = inicio; i < fim; ++i) {
        const bool nova = votos == 0;
        candidata = nova ? chaves[i] : candidata;
        votos = nova || chaves[i] == candidata ? votos + 1 : votos - 1;
      }
    }
  }
  if (menor == maior) {
    copiar_para_o_primeiro(lados, lado, inicio, fim);
    return;
  }
  // A vote left with a quarter of the keys or more is worth checking.
  if (maioria_provavel && fim - inicio >= menor_parte_por_maioria && 4 * votos >= fim - inicio &&
      separar_maioria(lados, lado, inicio, fim, profundidade, contagens, candidata)) {
    return;
  }
  const int mais_alto = 63 - std::countl_zero(menor ^ maior);
  int deslocamento = mais_alto & ~7;
  std::uint64_t mascara = 0xFF;
  std::uint32_t* contagem = contagens[profundidade];
  if (lados.contagem_larga != nullptr && profundidade == 0 &&
      fim - inicio >= menor_parte_por_dois_bytes && deslocamento >= 8) {
    deslocamento -= 8;
    mascara = 0xFFFF;
    contagem = lados.contagem_larga;
  } else if (fim - inicio < menor_parte_por_bytes_inteiros && resumo == nullptr) {
    const int bits = std::bit_width(fim - inicio);
    deslocamento = mais_alto + 1 > bits ? mais_alto + 1 - bits : 0;
    mascara = (std::uint64_t{1} << bits) - 1;
  }
  const auto primeiro = static_cast<unsigned>((menor >> deslocamento) & mascara);
  const auto ultimo = static_cast<unsigned>((maior >> deslocamento) & mascara);  // > primeiro
  if (resumo != nullptr && deslocamento == 56 && mascara == 0xFF) {
    std::memcpy(contagem, resumo->primeiros_bytes, sizeof(resumo->primeiros_bytes));
  } else {
    for (unsigned d = primeiro; d <= ultimo; ++d) {
      contagem[d] = 0;
    }
    for (std::size_t i = inicio; i < fim; ++i) {
      ++contagem[(chaves[i] >> deslocamento) & mascara];
    }
  }
  auto total = static_cast<std::uint32_t>(inicio);
  for (unsigned d = primeiro; d <= ultimo; ++d) {
    const std::uint32_t esta = contagem[d];
    contagem[d] = total;
    total += esta;
  }
  const Linha* linhas = lados.linhas[lado];
  std::uint64_t* chaves_destino = lados.chaves[lado ^ 1];
  Linha* linhas_destino = lados.linhas[lado ^ 1];
  for (std::size_t i = inicio; i < fim; ++i) {
    const std::uint32_t destino = contagem[(chaves[i] >> deslocamento) & mascara]++;
    chaves_destino[destino] = chaves[i];
    linhas_destino[destino] = linhas[i];
  }
  // contagem[d] is now the end of the part of byte value d.
  std::size_t comeco = inicio;
  for (unsigned d = primeiro; d <= ultimo; ++d) {
    const std::size_t final = contagem[d];
    if (final - comeco > 1) {
      ordenar_por_bytes(lados, lado ^ 1, comeco, final, profundidade + 1, contagens, nullptr,
                        4 * (final - comeco) > 3 * (fim - inicio));
    } else if (final > comeco && lado == 0) {
      lados.chaves[0][comeco] = lados.chaves[1][comeco];
      lados.linhas[0][comeco] = lados.linhas[1][comeco];
    }
    comeco = final;
  }
}

}  // namespace

#ifdef VESKSORT_POSTOS_AVX2
const bool postos_com_avx2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && std::getenv("VESKSORT_SEM_AVX2") == nullptr;
}();
const bool postos_com_avx512 = [] {
  __builtin_cpu_init();
  return postos_com_avx2 && __builtin_cpu_supports("avx512f") &&
         std::getenv("VESKSORT_SEM_AVX512") == nullptr;
}();
#else
const bool postos_com_avx2 = false;
const bool postos_com_avx512 = false;
#endif

void radix_bytes(std::uint64_t* chaves, std::uint64_t* chaves_outras, std::uint32_t* linhas,
                 std::uint32_t* linhas_outras, std::size_t n, const ResumoChaves* resumo,
                 std::uint32_t* contagem_larga) {
  std::uint32_t contagens[maximo_de_divisoes][256];
  ordenar_por_bytes(
      LadosBytes<std::uint32_t>{{chaves, chaves_outras}, {linhas, linhas_outras}, contagem_larga},
      0, 0, n, 0, contagens, resumo, resumo == nullptr);
}

void radix_bytes(std::uint64_t* chaves, std::uint64_t* chaves_outras, PyObject** objetos,
                 PyObject** objetos_outros, std::size_t n, const ResumoChaves* resumo,
                 std::uint32_t* contagem_larga) {
  std::uint32_t contagens[maximo_de_divisoes][256];
  ordenar_por_bytes(
      LadosBytes<PyObject*>{{chaves, chaves_outras}, {objetos, objetos_outros}, contagem_larga}, 0,
      0, n, 0, contagens, resumo, resumo == nullptr);
}

void radix_bytes_por_sinal(std::uint64_t* chaves, std::uint64_t* chaves_outras, PyObject** objetos,
                           PyObject** objetos_outros, std::size_t n) {
  constexpr int bit_alto = 63;
  std::size_t baixas = 0;
  for (std::size_t i = 0; i < n; ++i) {
    baixas += (chaves[i] >> bit_alto) == 0;
  }
  // Two cursors in registers, chosen without a branch: the halves interleave at random.
  std::size_t cursor_baixo = 0;
  std::size_t cursor_alto = baixas;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t chave = chaves[i];
    const bool alta = (chave >> bit_alto) != 0;
    const std::size_t destino = alta ? cursor_alto : cursor_baixo;
    cursor_alto += alta;
    cursor_baixo += !alta;
    chaves_outras[destino] = chave;
    objetos_outros[destino] = objetos[i];
  }
  std::memcpy(chaves, chaves_outras, n * sizeof(std::uint64_t));
  std::memcpy(objetos, objetos_outros, n * sizeof(PyObject*));
  radix_bytes(chaves, chaves_outras, objetos, objetos_outros, baixas);
  radix_bytes(chaves + baixas, chaves_outras + baixas, objetos + baixas, objetos_outros + baixas,
              n - baixas);
}

}  // namespace vesksort
