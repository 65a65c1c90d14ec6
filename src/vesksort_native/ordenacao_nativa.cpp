// The integer kernels applied to an item array: scratch, release of the interpreter lock and the
// write-back into the array. All scratch lies in one block of records, which the counting kernel
// may grow; when it cannot, radix does the work, and nothing else can fail.
#include <algorithm>
#include <cstring>

#include "vesksort.h"

namespace vesksort {

const char* ordenar_por_radix(PyObject** itens, Entrada* bloco, Py_ssize_t n,
                              std::uint64_t variacao, int passagens, bool liberar_gil,
                              char* estrategia) {
  const auto quantidade = static_cast<std::size_t>(n);
  TabelasRadix& tabelas = tabelas_radix_em(bloco + 2 * quantidade);
  Entrada* ordenadas;
  {
    LiberacaoGil sem_gil(liberar_gil);
    ordenadas = radix_entradas(bloco, bloco + quantidade, quantidade, variacao, tabelas);
  }
  for (std::size_t i = 0; i < quantidade; ++i) {
    itens[i] = ordenadas[i].objeto;
  }
  if (passagens == 1) {
    return "radix nativo: 1 passagem";
  }
  PyOS_snprintf(estrategia, tamanho_nome_estrategia, "radix nativo: %d passagens", passagens);
  return estrategia;
}

const char* ordenar_por_contagem(PyObject** itens, BufferNativo<Entrada>& bloco, Py_ssize_t n,
                                 std::uint64_t amplitude, std::uint64_t variacao, int passagens,
                                 bool liberar_gil, char* estrategia) {
  const auto quantidade = static_cast<std::size_t>(n);
  const std::size_t registros =
      std::max(2 * quantidade + entradas_tabelas_radix,
               (bytes_contagem(quantidade, amplitude) + sizeof(Entrada) - 1) / sizeof(Entrada));
  if (registros > 2 * quantidade + entradas_tabelas_radix && !bloco.realocar(registros)) {
    return ordenar_por_radix(itens, bloco.get(), n, variacao, passagens, liberar_gil, estrategia);
  }
  const AreaContagem area =
      area_contagem(bloco.get(), registros * sizeof(Entrada), quantidade, amplitude);
  // The item array still holds the objects in record order; the records can be overwritten.
  const Entrada* entradas = bloco.get();
  contar_na_area(
      area, [entradas](std::size_t i) { return entradas[i].chave; }, itens, quantidade, amplitude,
      liberar_gil);
  std::memcpy(itens, area.saida, quantidade * sizeof(PyObject*));
  return "counting nativo estável";
}

}  // namespace vesksort
