// The keyed core's ordering step: nothing to do, already in order, stable counting sort or
// compact radix sort, over the key array beside an item array.
#include "vesksort.h"

namespace vesksort {
namespace {

constexpr Py_ssize_t menor_tamanho_contagem = 8192;
constexpr Py_ssize_t tamanho_contagem_livre = 1000000;
constexpr std::uint64_t maior_amplitude_contagem = 3999999;
constexpr std::size_t tamanho_estrategia_keyed = 80;

bool ordenar_radix(PyObject** itens, BufferNativo<std::uint64_t> chaves_origem, std::size_t n,
                   std::uint64_t variacao, bool liberar_gil) {
  BufferNativo<std::uint64_t> chaves_destino = BufferNativo<std::uint64_t>::alocar(n);
  BufferNativo<PyObject*> objetos_destino = BufferNativo<PyObject*>::alocar(n);
  if (!chaves_destino || !objetos_destino) {
    PyErr_NoMemory();
    return false;
  }
  TabelasRadix tabelas;
  LiberacaoGil sem_gil(liberar_gil);
  radix_compacto(chaves_origem.get(), chaves_destino.get(), itens, objetos_destino.get(), n,
                 variacao, tabelas);
  return true;
}

// Keys rebased to 0 ... amplitude (at most 3999999). Without its buffers it hands the keys on to
// the radix kernel; `*contou` tells which kernel ordered the items.
bool ordenar_contagem(PyObject** itens, BufferNativo<std::uint64_t> chaves_origem, std::size_t n,
                      std::uint64_t amplitude, std::uint64_t variacao, bool liberar_gil,
                      bool* contou) {
  *contou = false;
  BufferNativo<std::uint32_t> chaves = BufferNativo<std::uint32_t>::alocar(n);
  if (!chaves) {
    return ordenar_radix(itens, std::move(chaves_origem), n, variacao, liberar_gil);
  }
  for (std::size_t i = 0; i < n; ++i) {
    chaves[i] = static_cast<std::uint32_t>(chaves_origem[i]);
  }
  chaves_origem.liberar();

  BufferNativo<PyObject*> saida = BufferNativo<PyObject*>::alocar(n);
  BufferNativo<Py_ssize_t> contagem =
      BufferNativo<Py_ssize_t>::zerado(static_cast<std::size_t>(amplitude) + 1);
  if (!saida || !contagem) {
    contagem.liberar();
    saida.liberar();
    BufferNativo<std::uint64_t> refeitas = BufferNativo<std::uint64_t>::alocar(n);
    if (!refeitas) {
      PyErr_NoMemory();
      return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
      refeitas[i] = chaves[i];
    }
    chaves.liberar();
    return ordenar_radix(itens, std::move(refeitas), n, variacao, liberar_gil);
  }
  {
    LiberacaoGil sem_gil(liberar_gil);
    contagem_estavel(chaves.get(), itens, saida.get(), n, contagem.get(), amplitude);
  }
  for (std::size_t i = 0; i < n; ++i) {
    itens[i] = saida[i];
  }
  *contou = true;
  return true;
}

}  // namespace

bool ordenar_por_chaves(PyObject** itens, BufferNativo<std::uint64_t> chaves_origem, Py_ssize_t n,
                        const EstatisticasChaves& estat, bool liberar_gil, OrdemKeyed* ordem) {
  *ordem = OrdemKeyed{KEYED_TRIVIAL, 0, 0};
  if (n == 1 || estat.descidas == 0) {
    // Nothing moves: a single element, or keys already in the requested order.
    ordem->algoritmo = n == 1 ? KEYED_TRIVIAL : KEYED_JA_ORDENADO;
    return true;
  }
  const std::uint64_t amplitude = estat.maior_chave - estat.menor_chave;
  std::uint64_t variacao = estat.variacao;
  int passagens = contar_digitos_variaveis(variacao);
  const bool usar_contagem =
      n >= menor_tamanho_contagem && amplitude <= maior_amplitude_contagem &&
      (n >= tamanho_contagem_livre || amplitude <= 4 * static_cast<std::uint64_t>(n));
  if (usar_contagem || contar_digitos_amplitude(amplitude) < passagens) {
    variacao = normalizar_chaves(chaves_origem.get(), n, estat.menor_chave);
    passagens = contar_digitos_variaveis(variacao);
    ordem->normalizado = 1;
  }
  const auto quantidade = static_cast<std::size_t>(n);
  bool contou = false;
  const bool ordenou = usar_contagem ? ordenar_contagem(itens, std::move(chaves_origem), quantidade,
                                                        amplitude, variacao, liberar_gil, &contou)
                                     : ordenar_radix(itens, std::move(chaves_origem), quantidade,
                                                     variacao, liberar_gil);
  ordem->algoritmo = contou ? KEYED_COUNTING : KEYED_RADIX;
  ordem->passagens = contou ? 0 : passagens;
  return ordenou;
}

PyObject* resultado_keyed_vazio(Referencia lista, TipoRetorno tipo, int reverso) {
  return finalizar_resultado_keyed(std::move(lista), "protótipo keyed-int64: trivial", "trivial",
                                   "entrada vazia", tipo, 0, 0, 0, 0, 0, 0, 0, reverso,
                                   KEYED_TRIVIAL);
}

PyObject* ordenar_keyed(ChavesKeyed e) {
  OrdemKeyed ordem;
  {
    // The collector, and other threads while the lock is released, see the list empty rather
    // than its items half-permuted.
    RetencaoLista retida(e.lista.get());
    if (!ordenar_por_chaves(retida.itens(), std::move(e.chaves_origem), e.n, e.estat, e.liberar_gil,
                            &ordem) ||
        retida.terminar() < 0) {
      return nullptr;
    }
  }
  const std::uint64_t amplitude = e.estat.maior_chave - e.estat.menor_chave;
  const char* estrategia = nullptr;
  const char* algoritmo = nullptr;
  const char* motivo = nullptr;
  char nome_radix[tamanho_estrategia_keyed];
  switch (ordem.algoritmo) {
    case KEYED_TRIVIAL:
      estrategia = "protótipo keyed-int64: trivial";
      algoritmo = "trivial";
      motivo = "um único elemento";
      break;
    case KEYED_JA_ORDENADO:
      estrategia = "protótipo keyed-int64: já ordenado";
      algoritmo = "already-sorted";
      motivo = e.reverso ? "chaves já estão em ordem não crescente"
                         : "chaves já estão em ordem não decrescente";
      break;
    case KEYED_COUNTING:
      estrategia = "protótipo keyed-int64: counting nativo estável";
      algoritmo = "counting";
      motivo = "intervalo denso elegível para Counting Sort";
      break;
    case KEYED_RADIX:
      if (ordem.passagens == 1) {
        PyOS_snprintf(nome_radix, sizeof nome_radix,
                      "protótipo keyed-int64: radix nativo compacto, 1 passagem");
      } else {
        PyOS_snprintf(nome_radix, sizeof nome_radix,
                      "protótipo keyed-int64: radix nativo compacto, %d passagens",
                      ordem.passagens);
      }
      estrategia = nome_radix;
      algoritmo = "radix";
      motivo = "intervalo amplo ou esparso; Counting Sort inelegível";
      break;
  }
  return finalizar_resultado_keyed(std::move(e.lista), estrategia, algoritmo, motivo, e.tipo, e.n,
                                   1, e.menor_valor, e.maior_valor, amplitude, ordem.passagens,
                                   ordem.normalizado, e.reverso, ordem.algoritmo);
}

}  // namespace vesksort
