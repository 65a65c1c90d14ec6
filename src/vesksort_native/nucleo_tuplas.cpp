// Tuples of numbers as sort keys: their columns rebased and packed into as few 64-bit words as
// their widths allow, and the words sorted from the last to the first, each pass stable.
#include <bit>

#include "vesksort.h"

namespace vesksort {

int largura_bits(std::uint64_t valor) { return 64 - std::countl_zero(valor); }

int empacotar_colunas(std::uint64_t* colunas, const std::uint32_t* comprimentos, std::size_t n,
                      const ColunaTupla* descricao, int quantidade_colunas, bool reverso,
                      std::uint64_t* variacoes) {
  int palavras = 0;
  int primeira = 0;
  while (primeira < quantidade_colunas) {
    // The columns of this word: as many as fit in 64 bits, at least one.
    int ultima = primeira;
    int bits = 0;
    while (ultima < quantidade_colunas && bits + descricao[ultima].largura <= 64) {
      bits += descricao[ultima].largura;
      ++ultima;
    }
    if (bits == 0) {
      primeira = ultima;  // columns that are all equal decide nothing
      continue;
    }
    const std::uint64_t complemento = !reverso ? 0 : bits == 64 ? ~0ULL : (1ULL << bits) - 1;
    std::uint64_t* palavra = colunas + static_cast<std::size_t>(palavras) * n;
    std::uint64_t primeira_palavra = 0;
    std::uint64_t variacao = 0;
    for (std::size_t i = 0; i < n; ++i) {
      std::uint64_t acumulada = 0;
      for (int c = primeira; c < ultima; ++c) {
        const ColunaTupla& coluna = descricao[c];
        if (coluna.largura == 0) {
          continue;
        }
        // A tuple that ends before this column sorts before every tuple that goes on: its
        // missing item takes 0, and the items present take 1 and up.
        const std::uint64_t chave = colunas[static_cast<std::size_t>(c) * n + i];
        const bool presente = comprimentos == nullptr || comprimentos[i] > static_cast<unsigned>(c);
        const std::uint64_t valor = presente ? chave - coluna.menor + coluna.ausencias : 0;
        acumulada = coluna.largura == 64 ? valor : acumulada << coluna.largura | valor;
      }
      acumulada ^= complemento;
      // A word never overwrites a column that is still to be read: word k stands where column
      // k stood, and its own columns start at k or later.
      palavra[i] = acumulada;
      if (i == 0) {
        primeira_palavra = acumulada;
      }
      variacao |= acumulada ^ primeira_palavra;
    }
    variacoes[palavras++] = variacao;
    primeira = ultima;
  }
  return palavras;
}

const std::uint32_t* ordenar_linhas(std::uint64_t* palavras, int quantidade_palavras, std::size_t n,
                                    const std::uint64_t* variacoes, std::uint64_t* chaves,
                                    std::uint32_t* linhas, TabelasRadix& tabelas) {
  const std::size_t ultima = static_cast<std::size_t>(quantidade_palavras - 1);
  std::uint64_t* lados_chaves[2] = {palavras + ultima * n, chaves};
  std::uint32_t* lados_linhas[2] = {linhas, linhas + n};
  for (std::size_t i = 0; i < n; ++i) {
    lados_linhas[0][i] = static_cast<std::uint32_t>(i);
  }
  int lado = 0;
  for (int k = quantidade_palavras - 1; k >= 0; --k) {
    if (static_cast<std::size_t>(k) < ultima) {
      // The rows in the order of the words after this one, now keyed by this word.
      const std::uint64_t* palavra = palavras + static_cast<std::size_t>(k) * n;
      for (std::size_t p = 0; p < n; ++p) {
        lados_chaves[lado][p] = palavra[lados_linhas[lado][p]];
      }
    }
    if (variacoes[k] != 0) {
      lado ^= radix_linhas(lados_chaves[lado], lados_chaves[lado ^ 1], lados_linhas[lado],
                           lados_linhas[lado ^ 1], n, variacoes[k], tabelas);
    }
  }
  return lados_linhas[lado];
}

}  // namespace vesksort
