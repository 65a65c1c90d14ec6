// The integer kernels applied to an item array: buffers, release of the interpreter lock and the
// write-back into the array. The array is written only after every allocation of the kernel in
// use has succeeded, so a kernel that fails leaves it as it found it.
#include "vesksort.h"

namespace vesksort {

const char* ordenar_por_radix(PyObject** itens, BufferNativo<Entrada> origem, Py_ssize_t n,
                              std::uint64_t variacao, int passagens, bool liberar_gil,
                              char* estrategia) {
  BufferNativo<Entrada> destino = BufferNativo<Entrada>::alocar(static_cast<std::size_t>(n));
  if (!destino) {
    PyErr_NoMemory();
    return nullptr;
  }
  TabelasRadix tabelas;
  Entrada* ordenadas;
  {
    LiberacaoGil sem_gil(liberar_gil);
    ordenadas =
        radix_entradas(origem.get(), destino.get(), static_cast<std::size_t>(n), variacao, tabelas);
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    itens[i] = ordenadas[i].objeto;
  }
  destino.liberar();
  origem.liberar();
  if (passagens == 1) {
    return "radix nativo: 1 passagem";
  }
  PyOS_snprintf(estrategia, tamanho_nome_estrategia, "radix nativo: %d passagens", passagens);
  return estrategia;
}

const char* ordenar_por_contagem(PyObject** itens, BufferNativo<Entrada> origem, Py_ssize_t n,
                                 std::uint64_t amplitude, std::uint64_t variacao, int passagens,
                                 bool liberar_gil, char* estrategia) {
  const auto quantidade = static_cast<std::size_t>(n);
  BufferNativo<std::uint32_t> chaves = BufferNativo<std::uint32_t>::alocar(quantidade);
  if (!chaves) {
    return ordenar_por_radix(itens, std::move(origem), n, variacao, passagens, liberar_gil,
                             estrategia);
  }
  for (std::size_t i = 0; i < quantidade; ++i) {
    chaves[i] = static_cast<std::uint32_t>(origem[i].chave);
  }
  // The item array still holds the objects in record order; the records can go.
  origem.liberar();

  BufferNativo<PyObject*> saida = BufferNativo<PyObject*>::alocar(quantidade);
  BufferNativo<Py_ssize_t> contagem =
      BufferNativo<Py_ssize_t>::zerado(static_cast<std::size_t>(amplitude) + 1);
  if (!saida || !contagem) {
    saida.liberar();
    contagem.liberar();
    BufferNativo<Entrada> refeitas = BufferNativo<Entrada>::alocar(quantidade);
    if (!refeitas) {
      PyErr_NoMemory();
      return nullptr;
    }
    for (std::size_t i = 0; i < quantidade; ++i) {
      refeitas[i] = Entrada{itens[i], chaves[i]};
    }
    chaves.liberar();
    return ordenar_por_radix(itens, std::move(refeitas), n, variacao, passagens, liberar_gil,
                             estrategia);
  }
  {
    LiberacaoGil sem_gil(liberar_gil);
    contagem_estavel(chaves.get(), itens, saida.get(), quantidade, contagem.get(), amplitude);
  }
  for (std::size_t i = 0; i < quantidade; ++i) {
    itens[i] = saida[i];
  }
  contagem.liberar();
  saida.liberar();
  chaves.liberar();
  return "counting nativo estável";
}

}  // namespace vesksort
