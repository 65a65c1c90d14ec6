// The keyed core's ordering step: nothing to do, already in order, stable counting sort or
// compact radix sort, over the key array beside an item array.
#include <cstring>

#include "vesksort.h"

namespace vesksort {
namespace {

constexpr Py_ssize_t menor_tamanho_contagem = 8192;
constexpr Py_ssize_t tamanho_contagem_livre = 1000000;
constexpr std::uint64_t maior_amplitude_contagem = 3999999;
constexpr std::size_t tamanho_estrategia_keyed = 80;

// The keys at `inicio`, and after them as many keys and objects again (the other side), then the
// tables.
// A block of `palavras` words (0: not known) that holds as many already is not reallocated: a
// block shrunk by realloc teaches glibc to map the next call's block afresh.
bool crescer(BufferNativo<std::uint64_t>& bloco, std::size_t palavras_bloco, std::size_t palavras) {
  return palavras <= palavras_bloco || bloco.realocar(palavras);
}

bool ordenar_radix(PyObject** itens, BufferNativo<std::uint64_t>& bloco, std::size_t palavras_bloco,
                   std::size_t inicio, std::size_t n, std::uint64_t variacao, bool liberar_gil) {
  if (!crescer(bloco, palavras_bloco, inicio + 3 * n + palavras_tabelas_radix)) {
    PyErr_NoMemory();
    return false;
  }
  std::uint64_t* chaves = bloco.get() + inicio;
  TabelasRadix& tabelas = tabelas_radix_em(chaves + 3 * n);
  LiberacaoGil sem_gil(liberar_gil);
  radix_compacto(chaves, chaves + n, itens, reinterpret_cast<PyObject**>(chaves + 2 * n), n,
                 variacao, tabelas);
  return true;
}

// Keys rebased to 0 ... amplitude (at most 3999999). When the block cannot grow for its counts,
// the keys go to the radix kernel; `*contou` tells which kernel ordered the items.
bool ordenar_contagem(PyObject** itens, BufferNativo<std::uint64_t>& bloco,
                      std::size_t palavras_bloco, std::size_t inicio, std::size_t n,
                      std::uint64_t amplitude, std::uint64_t variacao, bool liberar_gil,
                      bool* contou) {
  *contou = false;
  const std::size_t palavras = (bytes_contagem(n, amplitude) + 7) / 8;
  if (!crescer(bloco, palavras_bloco, inicio + palavras)) {
    return ordenar_radix(itens, bloco, palavras_bloco, inicio, n, variacao, liberar_gil);
  }
  std::uint64_t* chaves = bloco.get() + inicio;
  const AreaContagem area = area_contagem(chaves, 8 * palavras, n, amplitude);
  contar_na_area(
      area, [chaves](std::size_t i) { return chaves[i]; }, itens, n, amplitude, liberar_gil);
  std::memcpy(itens, area.saida, n * sizeof(PyObject*));
  *contou = true;
  return true;
}

}  // namespace

bool ordenar_por_chaves(PyObject** itens, BufferNativo<std::uint64_t>& bloco,
                        std::size_t palavras_bloco, std::size_t inicio, Py_ssize_t n,
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
    variacao = normalizar_chaves(bloco.get() + inicio, n, estat.menor_chave);
    passagens = contar_digitos_variaveis(variacao);
    ordem->normalizado = 1;
  }
  const auto quantidade = static_cast<std::size_t>(n);
  bool contou = false;
  const bool ordenou =
      usar_contagem
          ? ordenar_contagem(itens, bloco, palavras_bloco, inicio, quantidade, amplitude, variacao,
                             liberar_gil, &contou)
          : ordenar_radix(itens, bloco, palavras_bloco, inicio, quantidade, variacao, liberar_gil);
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
    if (!ordenar_por_chaves(retida.itens(), e.chaves_origem, 0, 0, e.n, e.estat, e.liberar_gil,
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
