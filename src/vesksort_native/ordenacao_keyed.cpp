// The keyed core's ordering step: nothing to do, already in order, stable counting sort or
// compact radix sort, over the key array beside the list's own item array.
#include "vesksort.h"

namespace vesksort {
namespace {

constexpr Py_ssize_t menor_tamanho_contagem = 8192;
constexpr Py_ssize_t tamanho_contagem_livre = 1000000;
constexpr std::uint64_t maior_amplitude_contagem = 3999999;
constexpr std::size_t tamanho_estrategia_keyed = 80;

const char* const motivo_radix = "intervalo amplo ou esparso; Counting Sort inelegível";

PyObject* finalizar_radix(ChavesKeyed& e, BufferNativo<std::uint64_t> chaves_origem,
                          std::uint64_t variacao, int passagens, std::uint64_t amplitude,
                          int normalizado) {
  const auto n = static_cast<std::size_t>(e.n);
  BufferNativo<std::uint64_t> chaves_destino = BufferNativo<std::uint64_t>::alocar(n);
  BufferNativo<PyObject*> objetos_destino = BufferNativo<PyObject*>::alocar(n);
  if (!chaves_destino || !objetos_destino) {
    return PyErr_NoMemory();
  }
  TabelasRadix tabelas;
  {
    PyObject** itens = itens_da_lista(e.lista.get());
    LiberacaoGil sem_gil(e.liberar_gil);
    radix_compacto(chaves_origem.get(), chaves_destino.get(), itens, objetos_destino.get(), n,
                   variacao, tabelas);
  }
  objetos_destino.liberar();
  chaves_destino.liberar();
  chaves_origem.liberar();
  char estrategia[tamanho_estrategia_keyed];
  if (passagens == 1) {
    PyOS_snprintf(estrategia, sizeof estrategia,
                  "protótipo keyed-int64: radix nativo compacto, 1 passagem");
  } else {
    PyOS_snprintf(estrategia, sizeof estrategia,
                  "protótipo keyed-int64: radix nativo compacto, %d passagens", passagens);
  }
  return finalizar_resultado_keyed(std::move(e.lista), estrategia, "radix", motivo_radix, e.tipo,
                                   e.n, 1, e.menor_valor, e.maior_valor, amplitude, passagens,
                                   normalizado, e.reverso, KEYED_RADIX);
}

// Keys rebased to 0 ... amplitude (at most 3999999). Without its buffers it hands the keys on to
// the radix kernel.
PyObject* finalizar_contagem(ChavesKeyed& e, std::uint64_t variacao, int passagens,
                             std::uint64_t amplitude) {
  const auto n = static_cast<std::size_t>(e.n);
  BufferNativo<std::uint32_t> chaves = BufferNativo<std::uint32_t>::alocar(n);
  if (!chaves) {
    return finalizar_radix(e, std::move(e.chaves_origem), variacao, passagens, amplitude, 1);
  }
  for (std::size_t i = 0; i < n; ++i) {
    chaves[i] = static_cast<std::uint32_t>(e.chaves_origem[i]);
  }
  e.chaves_origem.liberar();

  BufferNativo<PyObject*> saida = BufferNativo<PyObject*>::alocar(n);
  BufferNativo<Py_ssize_t> contagem =
      BufferNativo<Py_ssize_t>::zerado(static_cast<std::size_t>(amplitude) + 1);
  if (!saida || !contagem) {
    contagem.liberar();
    saida.liberar();
    BufferNativo<std::uint64_t> refeitas = BufferNativo<std::uint64_t>::alocar(n);
    if (!refeitas) {
      return PyErr_NoMemory();
    }
    for (std::size_t i = 0; i < n; ++i) {
      refeitas[i] = chaves[i];
    }
    chaves.liberar();
    return finalizar_radix(e, std::move(refeitas), variacao, passagens, amplitude, 1);
  }
  PyObject** itens = itens_da_lista(e.lista.get());
  {
    LiberacaoGil sem_gil(e.liberar_gil);
    contagem_estavel(chaves.get(), itens, saida.get(), n, contagem.get(), amplitude);
  }
  for (std::size_t i = 0; i < n; ++i) {
    itens[i] = saida[i];
  }
  contagem.liberar();
  saida.liberar();
  chaves.liberar();
  return finalizar_resultado_keyed(
      std::move(e.lista), "protótipo keyed-int64: counting nativo estável", "counting",
      "intervalo denso elegível para Counting Sort", e.tipo, e.n, 1, e.menor_valor, e.maior_valor,
      amplitude, 0, 1, e.reverso, KEYED_COUNTING);
}

}  // namespace

PyObject* resultado_keyed_vazio(Referencia lista, TipoRetorno tipo, int reverso) {
  return finalizar_resultado_keyed(std::move(lista), "protótipo keyed-int64: trivial", "trivial",
                                   "entrada vazia", tipo, 0, 0, 0, 0, 0, 0, 0, reverso,
                                   KEYED_TRIVIAL);
}

PyObject* ordenar_keyed(ChavesKeyed e) {
  const std::uint64_t amplitude = e.maior_chave - e.menor_chave;
  if (e.n == 1 || e.descidas == 0) {
    // Nothing moves: a single element, or keys already in the requested order.
    e.chaves_origem.liberar();
    if (e.n == 1) {
      return finalizar_resultado_keyed(
          std::move(e.lista), "protótipo keyed-int64: trivial", "trivial", "um único elemento",
          e.tipo, e.n, 1, e.menor_valor, e.maior_valor, amplitude, 0, 0, e.reverso, KEYED_TRIVIAL);
    }
    return finalizar_resultado_keyed(std::move(e.lista), "protótipo keyed-int64: já ordenado",
                                     "already-sorted",
                                     e.reverso ? "chaves já estão em ordem não crescente"
                                               : "chaves já estão em ordem não decrescente",
                                     e.tipo, e.n, 1, e.menor_valor, e.maior_valor, amplitude, 0, 0,
                                     e.reverso, KEYED_JA_ORDENADO);
  }

  std::uint64_t variacao = e.variacao;
  int passagens = contar_digitos_variaveis(variacao);
  const int digitos_amplitude = contar_digitos_amplitude(amplitude);
  const bool usar_contagem =
      e.n >= menor_tamanho_contagem && amplitude <= maior_amplitude_contagem &&
      (e.n >= tamanho_contagem_livre || amplitude <= 4 * static_cast<std::uint64_t>(e.n));
  int normalizado = 0;
  if (usar_contagem || digitos_amplitude < passagens) {
    variacao = normalizar_chaves(e.chaves_origem.get(), e.n, e.menor_chave);
    passagens = contar_digitos_variaveis(variacao);
    normalizado = 1;
  }
  if (usar_contagem) {
    return finalizar_contagem(e, variacao, passagens, amplitude);
  }
  return finalizar_radix(e, std::move(e.chaves_origem), variacao, passagens, amplitude,
                         normalizado);
}

}  // namespace vesksort
