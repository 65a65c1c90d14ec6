// Stable least-significant-digit radix sort over 11-bit digits, for two layouts: records that
// carry their object, and keys in an array of their own beside the list's item array.
#include <cstring>
#include <utility>

#include "vesksort.h"

namespace vesksort {
namespace {

// Whole records move from `a` to `b`; the buffers swap after each pass.
struct CamadaEntradas {
  Entrada* a;
  Entrada* b;

  std::uint64_t chave(std::size_t i) const { return a[i].chave; }
  void mover(std::size_t i, std::size_t destino) const { b[destino] = a[i]; }
  void terminar_passagem(std::size_t) { std::swap(a, b); }
};

// Keys move between two key arrays; objects go through one scratch array and straight back
// into the item array, so that the item array always matches `chaves_a`.
struct CamadaCompacta {
  std::uint64_t* chaves_a;
  std::uint64_t* chaves_b;
  PyObject** itens;
  PyObject** objetos_destino;

  std::uint64_t chave(std::size_t i) const { return chaves_a[i]; }
  void mover(std::size_t i, std::size_t destino) const {
    chaves_b[destino] = chaves_a[i];
    objetos_destino[destino] = itens[i];
  }
  void terminar_passagem(std::size_t n) {
    std::memcpy(itens, objetos_destino, n * sizeof(PyObject*));
    std::swap(chaves_a, chaves_b);
  }
};

template <class Camada>
void radix_lsd(Camada& camada, std::size_t n, std::uint64_t variacao, Py_ssize_t* contagem) {
  for (int deslocamento : deslocamentos_digitos) {
    // A digit in which every key agrees would move nothing.
    if (((variacao >> deslocamento) & mascara_digito) == 0) {
      continue;
    }
    std::memset(contagem, 0, tamanho_tabela_digitos * sizeof(Py_ssize_t));
    for (std::size_t i = 0; i < n; ++i) {
      ++contagem[(camada.chave(i) >> deslocamento) & mascara_digito];
    }
    Py_ssize_t total = 0;
    for (std::size_t d = 0; d < tamanho_tabela_digitos; ++d) {
      const Py_ssize_t quantidade = contagem[d];
      contagem[d] = total;
      total += quantidade;
    }
    // Input order within one digit value keeps the sort stable.
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t digito = (camada.chave(i) >> deslocamento) & mascara_digito;
      camada.mover(i, static_cast<std::size_t>(contagem[digito]++));
    }
    camada.terminar_passagem(n);
  }
}

}  // namespace

Entrada* radix_entradas(Entrada* a, Entrada* b, std::size_t n, std::uint64_t variacao,
                        Py_ssize_t* contagem) {
  CamadaEntradas camada{a, b};
  radix_lsd(camada, n, variacao, contagem);
  return camada.a;
}

std::uint64_t* radix_compacto(std::uint64_t* chaves_a, std::uint64_t* chaves_b, PyObject** itens,
                              PyObject** objetos_destino, std::size_t n, std::uint64_t variacao,
                              Py_ssize_t* contagem) {
  CamadaCompacta camada{chaves_a, chaves_b, itens, objetos_destino};
  radix_lsd(camada, n, variacao, contagem);
  return camada.chaves_a;
}

}  // namespace vesksort
