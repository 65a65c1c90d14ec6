// Stable least-significant-digit radix sort over 11-bit digits.
#include <cstring>

#include "vesksort.h"

namespace vesksort {

Entrada* radix_entradas(Entrada* a, Entrada* b, std::size_t n, std::uint64_t variacao,
                        Py_ssize_t* contagem) {
  for (int deslocamento : deslocamentos_digitos) {
    // A digit in which every key agrees would move nothing.
    if (((variacao >> deslocamento) & mascara_digito) == 0) {
      continue;
    }
    std::memset(contagem, 0, tamanho_tabela_digitos * sizeof(Py_ssize_t));
    for (std::size_t i = 0; i < n; ++i) {
      ++contagem[(a[i].chave >> deslocamento) & mascara_digito];
    }
    Py_ssize_t total = 0;
    for (std::size_t d = 0; d < tamanho_tabela_digitos; ++d) {
      const Py_ssize_t quantidade = contagem[d];
      contagem[d] = total;
      total += quantidade;
    }
    // Input order within one digit value keeps the sort stable.
    for (std::size_t i = 0; i < n; ++i) {
      b[contagem[(a[i].chave >> deslocamento) & mascara_digito]++] = a[i];
    }
    Entrada* const trocada = a;
    a = b;
    b = trocada;
  }
  return a;
}

}  // namespace vesksort
