// Numbers whose keys are in order but for a few items, or in a few sorted stretches, ordered by
// merging their natural runs (corridas.h) rather than by counting or radix, which would move
// every key once per digit.
#include "corridas.h"
#include "vesksort.h"

namespace vesksort {
namespace {

struct CompararChaves {
  int operator()(std::uint64_t a, std::uint64_t b) const { return (a > b) - (a < b); }
};

struct CompararRegistros {
  int operator()(const Entrada& a, const Entrada& b) const {
    return (a.chave > b.chave) - (a.chave < b.chave);
  }
};

struct VerTodos {
  bool operator()(std::size_t) const { return true; }
};

template <class T, class Comparar>
bool medir(const T* elementos, std::size_t n, std::uint64_t orcamento, ListaCorridas& corridas) {
  Comparar comparar;
  VerTodos ver;
  return medir_corridas(elementos, n, comparar, ver, corridas, orcamento) == n;
}

}  // namespace

bool medir_corridas_de_chaves(const std::uint64_t* chaves, std::size_t n, std::uint64_t orcamento,
                              ListaCorridas& corridas) {
  return medir<std::uint64_t, CompararChaves>(chaves, n, orcamento, corridas);
}

bool medir_corridas_de_registros(const Entrada* registros, std::size_t n, std::uint64_t orcamento,
                                 ListaCorridas& corridas) {
  return medir<Entrada, CompararRegistros>(registros, n, orcamento, corridas);
}

bool fundir_registros(PyObject** itens, Entrada* registros, Entrada* auxiliar, std::size_t n,
                      const ListaCorridas& corridas, std::uint64_t orcamento, bool liberar_gil) {
  if (corridas.em_ordem()) {
    return true;
  }
  LiberacaoGil sem_gil(liberar_gil);
  CompararRegistros comparar;
  if (!fundir_corridas(registros, auxiliar, n, corridas, comparar, orcamento)) {
    return false;
  }
  for (std::size_t i = 0; i < n; ++i) {
    itens[i] = registros[i].objeto;
  }
  return true;
}

}  // namespace vesksort
