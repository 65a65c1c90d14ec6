// Stable least-significant-digit radix sort over 11-bit digits, for two layouts: records that
// carry their object, and keys in an array of their own beside the list's item array.
//
// Each pass moves every element from one side of the storage to the other. Once the arrays
// outgrow the caches, a pass over the whole array costs a trip to memory per element, so a large
// sort first splits the elements by their highest varying digit and then sorts each part, once
// small enough to stay in the cache, on the lower digits. Every split is stable, so the result is
// the same stable order as that of a plain LSD sort, with the same number of passes per element.
#include <bit>
#include <cstring>
#include <iterator>
#include <utility>

#include "vesksort.h"

namespace vesksort {
namespace {

// From this many elements on (6 MiB per side), the split by the highest digit pays for the
// tables of its parts: the crossover measured on a machine with 512 KiB of L2 per core.
constexpr std::size_t menor_tamanho_particao = std::size_t{3} << 17;
// The split leaves at least two lower digits to sort inside each part.
constexpr int menor_passagens_particao = 3;

// Whole records move between the two sides.
struct LadosEntradas {
  Entrada* lado[2];

  std::uint64_t chave(int s, std::size_t i) const { return lado[s][i].chave; }
  void mover(int s, std::size_t i, std::size_t destino) const { lado[s ^ 1][destino] = lado[s][i]; }
};

// Keys and objects move in step between two key arrays and two object arrays.
struct LadosCompactos {
  std::uint64_t* chaves[2];
  PyObject** objetos[2];

  std::uint64_t chave(int s, std::size_t i) const { return chaves[s][i]; }
  void mover(int s, std::size_t i, std::size_t destino) const {
    chaves[s ^ 1][destino] = chaves[s][i];
    objetos[s ^ 1][destino] = objetos[s][i];
  }
};

// Keys and 32-bit row numbers move in step between two key arrays and two row arrays.
struct LadosLinhas {
  std::uint64_t* chaves[2];
  std::uint32_t* linhas[2];

  std::uint64_t chave(int s, std::size_t i) const { return chaves[s][i]; }
  void mover(int s, std::size_t i, std::size_t destino) const {
    chaves[s ^ 1][destino] = chaves[s][i];
    linhas[s ^ 1][destino] = linhas[s][i];
  }
};

// The sides are passed by value: copies whose address never escapes stay in registers through
// the loops, where the stores of the records could otherwise alias them.
//
// The scatter of one stable pass over the elements inicio ... fim - 1 of side `lado`, by the digit
// at `deslocamento`: `posicao[d]` starts where the run of digit value d goes, and ends where it
// ends. Input order within one digit value keeps the sort stable.
template <class Lados, class Posicao>
void espalhar(const Lados lados, int lado, std::size_t inicio, std::size_t fim, int deslocamento,
              Posicao* posicao) {
  for (std::size_t i = inicio; i < fim; ++i) {
    const std::size_t digito = (lados.chave(lado, i) >> deslocamento) & mascara_digito;
    lados.mover(lado, i, static_cast<std::size_t>(posicao[digito]++));
  }
}

// One stable pass over the elements inicio ... fim - 1 of side `lado`, by the digit at
// `deslocamento`, into the same positions of the other side. On return `posicao[d]` is the end of
// the run of digit value d.
template <class Lados>
void distribuir(const Lados lados, int lado, std::size_t inicio, std::size_t fim, int deslocamento,
                Py_ssize_t* posicao) {
  std::memset(posicao, 0, tamanho_tabela_digitos * sizeof(Py_ssize_t));
  for (std::size_t i = inicio; i < fim; ++i) {
    ++posicao[(lados.chave(lado, i) >> deslocamento) & mascara_digito];
  }
  auto total = static_cast<Py_ssize_t>(inicio);
  for (std::size_t d = 0; d < tamanho_tabela_digitos; ++d) {
    const Py_ssize_t quantidade = posicao[d];
    posicao[d] = total;
    total += quantidade;
  }
  espalhar(lados, lado, inicio, fim, deslocamento, posicao);
}

// An LSD sort of the elements inicio ... fim - 1 of side `lado` that counts every digit in one
// read of the keys, before the first pass, rather than reading the keys once more before each
// pass. Positions are counted in 32 bits: `fim` is at most 2**32. Returns the side with the
// result.
template <class Lados>
int radix_contado_de_uma_vez(const Lados lados, int lado, std::size_t inicio, std::size_t fim,
                             const int* deslocamentos, int passagens, TabelasRadix& tabelas) {
  auto& contagens = tabelas.digitos;
  std::memset(contagens, 0, static_cast<std::size_t>(passagens) * sizeof contagens[0]);
  for (std::size_t i = inicio; i < fim; ++i) {
    const std::uint64_t chave = lados.chave(lado, i);
    for (int p = 0; p < passagens; ++p) {
      ++contagens[p][(chave >> deslocamentos[p]) & mascara_digito];
    }
  }
  for (int p = 0; p < passagens; ++p) {
    auto total = static_cast<std::uint32_t>(inicio);
    for (std::uint32_t& contagem : contagens[p]) {
      total += std::exchange(contagem, total);
    }
    espalhar(lados, lado, inicio, fim, deslocamentos[p], contagens[p]);
    lado ^= 1;
  }
  return lado;
}

// Sorts the elements inicio ... fim - 1 of side `lado` on the digits at deslocamentos[0] ...
// deslocamentos[passagens - 1]. A part too large for the cache is first split by its highest
// digit, and each smaller part is sorted on the lower digits in turn, split again while it is
// still too large: keys that crowd into a few values of their highest digits (floats, whose
// exponents vary little) still end up in parts that fit the cache. Every element moves once per
// digit, so that every part ends on the same side.
template <class Lados>
void ordenar_parte(const Lados lados, int lado, std::size_t inicio, std::size_t fim,
                   const int* deslocamentos, int passagens, TabelasRadix& tabelas, int nivel) {
  if (fim - inicio < menor_tamanho_particao || passagens < menor_passagens_particao) {
    if (passagens > 1 && fim <= UINT32_MAX) {
      radix_contado_de_uma_vez(lados, lado, inicio, fim, deslocamentos, passagens, tabelas);
      return;
    }
    for (int p = 0; p < passagens; ++p) {
      distribuir(lados, lado, inicio, fim, deslocamentos[p], tabelas.parte);
      lado ^= 1;
    }
    return;
  }
  Py_ssize_t* fins = tabelas.fins[nivel];
  distribuir(lados, lado, inicio, fim, deslocamentos[passagens - 1], fins);
  std::size_t comeco = inicio;
  for (std::size_t d = 0; d < tamanho_tabela_digitos; ++d) {
    const auto final = static_cast<std::size_t>(fins[d]);
    if (final > comeco) {
      ordenar_parte(lados, lado ^ 1, comeco, final, deslocamentos, passagens - 1, tabelas,
                    nivel + 1);
    }
    comeco = final;
  }
}

// Whether, in an even sample of the keys, one value of the digit at `deslocamento` holds more
// than an eighth of them.
template <class Lados>
bool digito_concentrado(const Lados lados, std::size_t n, int deslocamento, Py_ssize_t* contagem) {
  constexpr std::size_t amostras = 1024;
  std::memset(contagem, 0, tamanho_tabela_digitos * sizeof(Py_ssize_t));
  Py_ssize_t maior = 0;
  for (std::size_t a = 0; a < amostras; ++a) {
    const std::uint64_t chave = lados.chave(0, a * (n / amostras));
    const Py_ssize_t vistos = ++contagem[(chave >> deslocamento) & mascara_digito];
    maior = vistos > maior ? vistos : maior;
  }
  return maior > static_cast<Py_ssize_t>(amostras / 8);
}

// Sorts side 0 on the digits in which `variacao` is non-zero; returns the side with the result.
template <class Lados>
int radix_lsd(const Lados lados, std::size_t n, std::uint64_t variacao, TabelasRadix& tabelas) {
  int deslocamentos[std::size(deslocamentos_digitos)];
  int passagens = 0;
  // A digit in which every key agrees would move nothing.
  for (int deslocamento : deslocamentos_digitos) {
    if (((variacao >> deslocamento) & mascara_digito) != 0) {
      deslocamentos[passagens++] = deslocamento;
    }
  }
  // Keys that crowd into a few values of the highest digit (floats, whose exponents cluster)
  // would leave the split with a few large parts. Then the same number of digits is placed from
  // the highest varying bit down, where the varying bits leave no digit out: the highest digit
  // holds the 11 highest varying bits. The lowest digit may overlap the one above it, which LSD
  // order allows: two keys that a higher digit tells apart are ordered by it, whatever the
  // lower passes did.
  const int mais_alto = 63 - std::countl_zero(variacao | 1);
  if (n >= menor_tamanho_particao && (mais_alto + bits_digito) / bits_digito == passagens &&
      digito_concentrado(lados, n, deslocamentos[passagens - 1], tabelas.parte)) {
    int deslocamento = mais_alto + 1 - bits_digito;
    for (int p = passagens - 1; p >= 0; --p, deslocamento -= bits_digito) {
      deslocamentos[p] = deslocamento > 0 ? deslocamento : 0;
    }
  }
  if (passagens > 1 && n < menor_tamanho_particao) {
    return radix_contado_de_uma_vez(lados, 0, 0, n, deslocamentos, passagens, tabelas);
  }
  ordenar_parte(lados, 0, 0, n, deslocamentos, passagens, tabelas, 0);
  return passagens % 2;
}

}  // namespace

Entrada* radix_entradas(Entrada* a, Entrada* b, std::size_t n, std::uint64_t variacao,
                        TabelasRadix& tabelas) {
  const LadosEntradas lados{{a, b}};
  return lados.lado[radix_lsd(lados, n, variacao, tabelas)];
}

int radix_linhas(std::uint64_t* chaves_a, std::uint64_t* chaves_b, std::uint32_t* linhas_a,
                 std::uint32_t* linhas_b, std::size_t n, std::uint64_t variacao,
                 TabelasRadix& tabelas) {
  return radix_lsd(LadosLinhas{{chaves_a, chaves_b}, {linhas_a, linhas_b}}, n, variacao, tabelas);
}

std::uint64_t* radix_compacto(std::uint64_t* chaves_a, std::uint64_t* chaves_b, PyObject** itens,
                              PyObject** objetos_destino, std::size_t n, std::uint64_t variacao,
                              TabelasRadix& tabelas) {
  const LadosCompactos lados{{chaves_a, chaves_b}, {itens, objetos_destino}};
  const int lado = radix_lsd(lados, n, variacao, tabelas);
  if (lado == 1) {
    std::memcpy(itens, objetos_destino, n * sizeof(PyObject*));
  }
  return lados.chaves[lado];
}

}  // namespace vesksort
