// Stable counting sort for dense key ranges.
#include "vesksort.h"

namespace vesksort {

void contagem_estavel(const std::uint32_t* chaves, PyObject* const* objetos, PyObject** saida,
                      std::size_t n, Py_ssize_t* contagem, std::uint64_t amplitude) {
  for (std::size_t i = 0; i < n; ++i) {
    ++contagem[chaves[i]];
  }
  Py_ssize_t total = 0;
  for (std::uint64_t k = 0; k <= amplitude; ++k) {
    const Py_ssize_t quantidade = contagem[k];
    contagem[k] = total;
    total += quantidade;
  }
  // Scattering in input order keeps equal keys in input order.
  for (std::size_t i = 0; i < n; ++i) {
    saida[contagem[chaves[i]]++] = objetos[i];
  }
}

}  // namespace vesksort
