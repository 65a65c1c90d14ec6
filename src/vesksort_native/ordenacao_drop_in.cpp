// The drop-ins sort() and sort_in_place(): sorted() and list.sort() as one native call each.
//
// One road per call: read the arguments, hold the list as the interpreter's sort does, scan
// the values or compute the keys, order natively or hand the held items over to the
// interpreter's sort, and give the list back. The list is held once, from before the first key
// call to the end: whatever runs meanwhile (key functions, comparisons, finalizers of keys, the
// collector) sees the list empty, exactly as during list.sort(); a change made to it is reported
// as list.sort() reports it. Small lists, and calls that the native road does not take (odd
// arguments), go to the builtins themselves.
//
// Other threads run during a native sort only when its list is sort()'s own, which nobody else
// can reach: the caller's list is ordered in one step, as list.sort() orders it without a key.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "chaves_diretas.h"
#include "leitores.h"

namespace vesksort {
namespace {

// Below this length the interpreter's sort is faster: measured on random int64 values, with and
// without a key, the native paths pay from about 128 elements; from twice that they also pay
// for the sample that sends sorted and non-int lists on, and for keys nearly in order.
constexpr Py_ssize_t menor_tamanho_nativo = 256;
// Lists shorter than this go to the interpreter's sort; from here to menor_tamanho_nativo, the
// short-list path takes them. Measured against the interpreter's sort of random lists: its few
// comparisons of ints cost more than reading them from 3 items on, of floats from 4, of tuples
// from 5, of dates and times from 6, of short strings (which it compares by their first bytes)
// only from 8. Keys pay from 3, where the key calls weigh most. Lists of other kinds the
// short-list path hands on at once, for a few tens of nanoseconds, from 6.
Py_ssize_t menor_tamanho_pequeno(PyObject* primeiro, PyObject* funcao_chave) {
  if (funcao_chave != nullptr || PyLong_CheckExact(primeiro) || PyBool_Check(primeiro)) {
    return 3;
  }
  if (PyFloat_CheckExact(primeiro)) {
    return 4;
  }
  if (PyTuple_CheckExact(primeiro)) {
    return 5;
  }
  return LeitorTexto::aceita(primeiro) ? 8 : 6;
}

// Unkeyed ints and floats stay on the short-list path beyond menor_tamanho_nativo, up to these
// lengths, where a sample finds them spread and out of order: the byte radix sort of that path,
// which splits by the highest varying byte first, orders a few thousand such ints in fewer passes
// than the long path's digits of 11 bits, and a thousand floats (whose high bytes, the exponent,
// vary little) about as fast. Ints of a narrow range go on to the long path, which counts them,
// and lists in a few runs too, which it merges.
constexpr Py_ssize_t maior_curta_de_ints = 4096;
constexpr Py_ssize_t maior_curta_de_floats = 1024;
// Ints spread over fewer bits than this take three passes of 11 bits or fewer on the long path.
constexpr int menor_largura_curta = 34;

// Whether a sample of the n values (n >= 2), evenly spaced, goes up and down a few times each,
// as values in no order do (a list in a few runs goes one way but for a step or two), and, for
// ints, spans menor_largura_curta bits or more; any other kind in it says no.
bool amostra_espalhada(PyObject* const* itens, Py_ssize_t n, bool inteiros) {
  constexpr Py_ssize_t amostras = 32;
  constexpr int menos_mudancas = 4;
  int subidas = 0;
  int descidas = 0;
  std::uint64_t menor = UINT64_MAX;
  std::uint64_t maior = 0;
  double anterior = 0.0;
  std::int64_t anterior_inteiro = 0;
  for (Py_ssize_t k = 0; k < amostras; ++k) {
    PyObject* valor = itens[k * (n - 1) / (amostras - 1)];
    if (inteiros) {
      if (!PyLong_CheckExact(valor)) {
        return false;
      }
      int transbordou = 0;
      const long long lido = PyLong_AsLongLongAndOverflow(valor, &transbordou);
      if (transbordou != 0 || (lido == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
      }
      const std::int64_t inteiro = lido;
      subidas += k > 0 && inteiro > anterior_inteiro;
      descidas += k > 0 && inteiro < anterior_inteiro;
      anterior_inteiro = inteiro;
      const std::uint64_t chave = static_cast<std::uint64_t>(inteiro) ^ mascara_ascendente;
      menor = chave < menor ? chave : menor;
      maior = chave > maior ? chave : maior;
    } else {
      if (!PyFloat_CheckExact(valor)) {
        return false;
      }
      const double real = PyFloat_AS_DOUBLE(valor);
      subidas += k > 0 && real > anterior;
      descidas += k > 0 && real < anterior;
      anterior = real;
    }
  }
  return subidas >= menos_mudancas && descidas >= menos_mudancas &&
         (!inteiros || std::bit_width(maior - menor) >= menor_largura_curta);
}

// Whether n items, the first `itens[0]`, go the short-list path.
bool caminho_curto(PyObject* const* itens, Py_ssize_t n, PyObject* funcao_chave) {
  if (n < menor_tamanho_nativo) {
    return true;
  }
  if (funcao_chave != nullptr) {
    return false;
  }
  const bool inteiros = PyLong_CheckExact(itens[0]);
  if (inteiros ? n >= maior_curta_de_ints
               : !PyFloat_CheckExact(itens[0]) || n >= maior_curta_de_floats) {
    return false;
  }
  return amostra_espalhada(itens, n, inteiros);
}

// From this length on the kernels let other threads run. A thread that gives the lock up may wait
// for a busy one to hand it back for a whole switch interval (5 ms by default): only a sort that
// takes about as long is worth it.
constexpr Py_ssize_t menor_tamanho_sem_gil = Py_ssize_t{1} << 16;

// Whether a native sort of n items of a list lets other threads run: only over a list of sort()'s
// own, unreachable to them. Another thread that found the caller's list empty could start a sort
// of its own and end it after this one, dropping this one's items.
bool liberar_gil(Py_ssize_t n, bool privada) { return privada && n >= menor_tamanho_sem_gil; }

enum class Pedido { NATIVO, DELEGAR };

// A call the native road takes: one positional argument, a key that is None or callable, and a
// reverse flag whose truth costs no code (a bool or an exact int). Anything else goes to the
// builtin, which judges it and raises its own errors, with its own messages, in its own order.
Pedido ler_argumentos(PyObject* const* argumentos, Py_ssize_t quantidade, PyObject* nomes,
                      PyObject** funcao_chave, int* reverso) {
  *funcao_chave = nullptr;
  *reverso = 0;
  if (quantidade != 1) {
    return Pedido::DELEGAR;
  }
  const Py_ssize_t palavras = nomes == nullptr ? 0 : PyTuple_GET_SIZE(nomes);
  for (Py_ssize_t j = 0; j < palavras; ++j) {
    PyObject* nome = PyTuple_GET_ITEM(nomes, j);
    PyObject* valor = argumentos[1 + j];
    if (nome_key(nome)) {
      if (valor != Py_None) {
        if (!PyCallable_Check(valor)) {
          return Pedido::DELEGAR;
        }
        *funcao_chave = valor;
      }
    } else if (nome_reverse(nome) && (PyBool_Check(valor) || PyLong_CheckExact(valor))) {
      *reverso = PyObject_IsTrue(valor);
    } else {
      return Pedido::DELEGAR;
    }
  }
  return Pedido::NATIVO;
}

// How a merge of runs of strings ended.
enum class Fusao { FEITA, CARA, SEM_MEMORIA };

// The n rows, strings in the runs `corridas`, merged by them. CARA when the merges' work passes
// `orcamento` first: the rows are then partly merged, equal strings still in their order.
// SEM_MEMORIA, with nothing done, where the merge's scratch cannot be had.
template <class Linha, class Comparar>
Fusao fundir_textos(Linha* linhas, Linha* auxiliar, std::size_t n, const ListaCorridas& corridas,
                    Comparar& comparar, std::uint64_t orcamento, bool liberar, Percurso* percurso) {
  BufferNativo<Linha> proprio;
  if (auxiliar == nullptr && corridas.quantidade() > 1) {
    proprio = BufferNativo<Linha>::alocar(n / 2);
    if (!proprio) {
      return Fusao::SEM_MEMORIA;
    }
    auxiliar = proprio.get();
  }
  {
    LiberacaoGil sem_gil(liberar);
    if (!fundir_corridas(linhas, auxiliar, n, corridas, comparar, orcamento)) {
      return Fusao::CARA;
    }
  }
  anotar_corridas(corridas, percurso);
  return Fusao::FEITA;
}

// Strings ordered by prefix keys: NATIVO, or TIMSORT with the reason in `percurso`. With a
// `copia` (sort()'s new list), the strings are read from `copia->origem` and `itens` is the new
// list's uninitialised item array: each string read is stored there with a new reference.
Veredito ordenar_textos_dos_itens(PyObject** itens, Py_ssize_t n, bool reverso, bool liberar,
                                  Percurso* percurso, CopiaItens* copia = nullptr) {
  const auto quantidade = static_cast<std::size_t>(n);
  PyObject* const* origem = copia != nullptr ? copia->origem : itens;
  percurso->texto = PyBytes_CheckExact(origem[0]) ? "bytes" : "str";
  // Another type among the strings, where a sample finds it (the last item too), costs no pass
  // over them.
  constexpr Py_ssize_t amostras = 16;
  for (Py_ssize_t k = 1; k < amostras; ++k) {
    if (Py_TYPE(origem[k * (n - 1) / (amostras - 1)]) != Py_TYPE(origem[0])) {
      percurso->motivo = MotivoInterpretador::NAO_TEXTO;
      return Veredito::TIMSORT;
    }
  }
  // The strings that sort()'s copy has taken, each as it was read.
  Py_ssize_t tomados = 0;
  const auto tomar = [itens, origem, copia, &tomados](Py_ssize_t i) {
    if (copia != nullptr && i >= tomados) {
      itens[i] = Py_NewRef(origem[i]);
      tomados = i + 1;
    }
  };
  // A list in order, or made of a few runs, is merged by its runs, found by comparing
  // neighbours before any scratch is taken; any other list is found out within its first
  // strings.
  bool outro_tipo = false;
  const auto ver = [&](std::size_t j) {
    const auto i = static_cast<Py_ssize_t>(j);
    if (i + distancia_prefetch < n) {
      __builtin_prefetch(origem[i + distancia_prefetch], 1);
      __builtin_prefetch(reinterpret_cast<const char*>(origem[i + distancia_prefetch]) + 63);
    }
    if (Py_TYPE(origem[i]) != Py_TYPE(origem[0])) {
      outro_tipo = true;
      return false;
    }
    tomar(i);
    return true;
  };
  tomar(0);
  CompararTextos comparar{reverso};
  ListaCorridas corridas;
  const std::uint64_t orcamento = orcamento_de_fusao_textos(quantidade);
  const std::size_t julgados =
      quantidade <= UINT32_MAX
          ? medir_corridas(origem, quantidade, comparar, ver, corridas, orcamento)
          : 0;
  if (copia != nullptr) {
    copia->copiados = tomados;
  }
  if (outro_tipo) {
    percurso->motivo = MotivoInterpretador::NAO_TEXTO;
    return Veredito::TIMSORT;
  }
  // Where the strings are read from for their keys: the source, or the items when a merge that
  // cost too much has moved them (every one of them taken then).
  PyObject* const* textos = origem;
  if (julgados == quantidade) {
    switch (fundir_textos<PyObject*>(itens, nullptr, quantidade, corridas, comparar, orcamento,
                                     liberar, percurso)) {
      case Fusao::FEITA:
        return Veredito::NATIVO;
      case Fusao::SEM_MEMORIA:
        percurso->motivo = MotivoInterpretador::MEMORIA;
        return Veredito::TIMSORT;
      case Fusao::CARA:
        textos = itens;
        break;
    }
  }
  BufferNativo<std::uint64_t> bloco;
  if (quantidade <= UINT32_MAX) {
    bloco =
        BufferNativo<std::uint64_t>::alocar(4 * quantidade + palavras_alem_das_linhas(quantidade));
  }
  if (!bloco) {
    percurso->motivo = MotivoInterpretador::MEMORIA;
    return Veredito::TIMSORT;
  }
  LeitorTexto leitor(textos[0], textos, bloco.get(), reverso);
  const Py_ssize_t lidos = leitor.ler_todos(textos, n, tomar);
  if (copia != nullptr) {
    copia->copiados = tomados;
  }
  if (lidos < n) {
    percurso->motivo = leitor.motivo;
    return Veredito::TIMSORT;
  }
  ordenar_textos(itens, itens, quantidade, leitor, bloco.get(), liberar, percurso);
  return Veredito::NATIVO;
}

// The items ordered by their own values.
int ordenar_valores(PyObject* lista, Py_ssize_t n, int reverso, bool privada, Percurso* percurso) {
  const char* nome = nullptr;
  char estrategia[tamanho_nome_estrategia];
  Veredito veredito;
  RetencaoLista retida(lista);
  if (LeitorTexto::aceita(retida.itens()[0])) {
    veredito = ordenar_textos_dos_itens(retida.itens(), n, reverso != 0, liberar_gil(n, privada),
                                        percurso);
  } else if (PyTuple_CheckExact(retida.itens()[0])) {
    BufferNativo<std::uint64_t> bloco;
    veredito = ordenar_tuplas(retida.itens(), nullptr, bloco, 0, 0, n, reverso != 0,
                              liberar_gil(n, privada), percurso);
  } else {
    veredito = ordenar_inteiros(retida.itens(), n, reverso != 0, liberar_gil(n, privada), &nome,
                                estrategia, percurso);
  }
  if (veredito == Veredito::ERRO ||
      (veredito == Veredito::TIMSORT &&
       ordenar_retidos_pelo_interpretador(retida, nullptr, reverso) < 0)) {
    return -1;
  }
  return retida.terminar();
}

}  // namespace

// The interpreter's sort orders the held items, and a one-shot replay hands it by position the
// keys computed so far (`prontas` references in `chaves`, which it takes over as it answers),
// then calls the key function for the items that follow. The list stays held: later key calls,
// comparisons and the keys' finalizers see it as list.sort() shows it, and the end reports a
// change as list.sort() does.
int entregar_ao_interpretador(RetencaoLista& retida, PyObject** chaves, Py_ssize_t prontas,
                              PyObject* funcao_chave, int reverso) {
  int resultado = -1;
  Referencia replay(novo_replay_de_entrega(chaves, prontas, funcao_chave, retida.tamanho()));
  if (replay) {
    resultado = ordenar_retidos_pelo_interpretador(retida, replay.get(), reverso);
    encerrar_entrega(replay.get());
    replay.reset();
  }
  // The keys that the sort did not take (it failed first), newest first, while the list is held.
  for (Py_ssize_t i = prontas; i-- > 0;) {
    Py_XDECREF(chaves[i]);
  }
  return resultado < 0 ? -1 : retida.terminar();
}

// The same with the keys that `chaves` guards.
int entregar_ao_interpretador(RetencaoLista& retida, ReferenciasGuardadas& chaves,
                              PyObject* funcao_chave, int reverso) {
  Py_ssize_t prontas;
  PyObject** objetos = chaves.soltar(&prontas);
  return entregar_ao_interpretador(retida, objetos, prontas, funcao_chave, reverso);
}

TipoChave tipo_de_chave(PyObject* chave, MotivoInterpretador* motivo) {
  if (PyLong_CheckExact(chave) || PyBool_Check(chave)) {
    return TipoChave::INT64;
  }
  if (PyFloat_CheckExact(chave)) {
    if (std::isnan(PyFloat_AS_DOUBLE(chave))) {
      *motivo = MotivoInterpretador::NAO_NUMERO;
      return TipoChave::OUTRO;
    }
    return TipoChave::FLOAT;
  }
  if (PyTuple_CheckExact(chave)) {
    return TipoChave::TUPLA;
  }
  if (LeitorTexto::aceita(chave)) {
    return TipoChave::TEXTO;
  }
  if (LeitorTemporal temporais; temporais.comecar(chave)) {
    return TipoChave::TEMPORAL;
  }
  *motivo = MotivoInterpretador::TIPO;
  return TipoChave::OUTRO;
}

namespace {

// The keys of the items, computed one at a time by `calcular` and read by `leitor`, from item
// `inicio`, whose key `chave` already holds. Returns the number of items whose keys were read
// (n, or the index of the first key that `leitor` could not read, left in `chave`), or -1 with
// an exception set.
template <class Leitor, class Calcular>
Py_ssize_t ler_chaves(Leitor& leitor, Py_ssize_t inicio, Py_ssize_t n, PyObject*& chave,
                      Calcular calcular) {
  for (Py_ssize_t i = inicio; i < n; ++i) {
    if (i > inicio) {
      chave = calcular(i);
      if (chave == nullptr) {
        return -1;
      }
    }
    switch (leitor.ler(i, chave)) {
      case Leitura::LIDA:
        break;
      case Leitura::OUTRA:
        return i;
      case Leitura::ERRO:
        return -1;
    }
  }
  return n;
}

}  // namespace

namespace {

// The rows 0 ... n - 1 of the strings `textos`, at `bloco + 2n`, in the runs `corridas` that
// `comparar` found: the items merged by them, through the rows, and gathered through the words
// from n to 2n. False, with no item moved, where the merge costs too much, or more than
// `alem_da_primeira` items follow the first run.
template <class Comparar>
bool fundir_itens_por_linhas(PyObject** itens, std::uint64_t* bloco, std::size_t n,
                             ListaCorridas& corridas, Comparar& comparar, std::uint64_t orcamento,
                             bool liberar, Percurso* percurso,
                             std::size_t alem_da_primeira = SIZE_MAX) {
  auto* linhas = reinterpret_cast<std::uint32_t*>(bloco + 2 * n);
  if (corridas.em_ordem()) {
    anotar_corridas(corridas, percurso);
    return true;
  }
  if (n - (corridas[0] & corrida_fim) > alem_da_primeira) {
    return false;
  }
  // The first run's rows up to the smallest string after it stay where they are.
  const std::size_t inicio = cabeca_em_ordem(linhas, corridas, comparar);
  const std::size_t m = n - inicio;
  if (fundir_textos(linhas + inicio, linhas + n, m, corridas, comparar, orcamento, liberar,
                    percurso) != Fusao::FEITA) {
    return false;
  }
  LiberacaoGil sem_gil(liberar);
  auto* ordenados = reinterpret_cast<PyObject**>(bloco + n);
  for (std::size_t i = 0; i < m; ++i) {
    ordenados[i] = itens[linhas[inicio + i]];
  }
  std::memcpy(itens + inicio, ordenados, m * sizeof(PyObject*));
  return true;
}

// The rows 0 ... n - 1, at `bloco + 2n`.
const std::uint32_t* linhas_em_ordem(std::uint64_t* bloco, std::size_t n) {
  auto* linhas = reinterpret_cast<std::uint32_t*>(bloco + 2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    linhas[i] = static_cast<std::uint32_t>(i);
  }
  return linhas;
}

}  // namespace

// String keys `textos` (the first n words of `bloco`, their prefix keys the next n, whose words
// from 2n to 4n are free) in a few runs: the items merged by them, through row numbers, where
// that costs less than the prefix keys' sort. False, with nothing moved, otherwise.
bool ordenar_por_corridas_de_textos(PyObject** itens, PyObject* const* textos, std::uint64_t* bloco,
                                    std::size_t n, const LeitorTexto& leitor, bool reverso,
                                    bool liberar, Percurso* percurso) {
  if (!talvez_corridas(leitor.estat, static_cast<Py_ssize_t>(n))) {
    return false;
  }
  // Two rows are ordered by their prefix keys, which lie in order in the block, and by their
  // strings only where those are equal.
  const std::uint32_t* linhas = linhas_em_ordem(bloco, n);
  const std::uint64_t* chaves = bloco + n;
  const std::uint64_t mascara = leitor.mascara();
  const CompararTextos comparar{reverso};
  const auto comparar_linhas = [chaves, mascara, textos, comparar](std::uint32_t a,
                                                                   std::uint32_t b) {
    if (chaves[a] != chaves[b]) {
      return chaves[a] < chaves[b] ? -1 : 1;
    }
    return chave_deixa_bytes(chaves[a] ^ mascara) ? comparar(textos[a], textos[b]) : 0;
  };
  const auto ver = [](std::size_t) { return true; };
  ListaCorridas corridas;
  const std::uint64_t orcamento = orcamento_de_fusao_textos(n);
  // A merge that costs too much leaves the prefix keys as they were for their sort.
  return medir_corridas(linhas, n, comparar_linhas, ver, corridas, orcamento) == n &&
         fundir_itens_por_linhas(itens, bloco, n, corridas, comparar_linhas, orcamento, liberar,
                                 percurso);
}

namespace {

// Up to this many string keys lie in the caches: all of them are computed before any is read,
// and where a sample shows them in order, merged by comparing them, as the interpreter's sort
// merges them; reading them costs more than comparing each with the one before. Beyond, up to
// where comparing them costs a cache miss for each, the first ones are sampled so; keys in no
// order are read as they come, while in the caches.
constexpr std::size_t maior_por_corridas_sem_leitura = std::size_t{1} << 15;
constexpr std::size_t maior_com_amostra_de_corridas = std::size_t{1} << 17;
constexpr std::size_t amostra_de_corridas = std::size_t{1} << 12;

// Whether the keys at eight even steps over the first seven eighths are all `valida` and keep
// one direction, as keys in order but for a few at the end do; a list in two halves or at random
// is found out here, for a few comparisons.
template <class Comparar, class Valida>
bool amostra_monotona(PyObject* const* chaves, std::size_t n, const Comparar& comparar,
                      Valida valida) {
  constexpr std::size_t passos = 8;
  const std::size_t alcance = n - n / 8 - 1;
  int subidas = 0;
  int descidas = 0;
  for (std::size_t k = 1; k < passos; ++k) {
    PyObject* const antes = chaves[(k - 1) * alcance / (passos - 1)];
    PyObject* const depois = chaves[k * alcance / (passos - 1)];
    if (!valida(antes) || !valida(depois)) {
      return false;
    }
    const int ordem = comparar(antes, depois);
    subidas += ordem < 0;
    descidas += ordem > 0;
  }
  return subidas == 0 || descidas == 0;
}

// Key objects `chaves` (the first n words of `bloco`, whose words from n to 4n are free) in a few
// runs found by comparing them, while ver(j) accepts key j: the items merged by them. False,
// with nothing moved, otherwise.
template <class Comparar, class Ver>
bool ordenar_por_corridas_sem_leitura(PyObject** itens, PyObject* const* chaves,
                                      std::uint64_t* bloco, std::size_t n, const Comparar& comparar,
                                      Ver ver, std::uint64_t orcamento, Percurso* percurso,
                                      std::size_t alem_da_primeira = SIZE_MAX) {
  // The runs are found over the keys themselves, and merged through rows, whose runs they are.
  ListaCorridas corridas;
  auto comparar_chaves = comparar;
  if (!ver(0) || medir_corridas(chaves, n, comparar_chaves, ver, corridas, orcamento) != n) {
    return false;
  }
  linhas_em_ordem(bloco, n);
  CompararLinhas<PyObject*, Comparar> comparar_linhas{chaves, comparar};
  return fundir_itens_por_linhas(itens, bloco, n, corridas, comparar_linhas, orcamento, false,
                                 percurso, alem_da_primeira);
}

// ver(j) for a merge of key objects: fetches the one a few steps ahead, and accepts key j where
// `valida` does.
template <class Valida>
auto ver_chaves(PyObject* const* chaves, std::size_t n, Valida valida) {
  return [chaves, n, valida](std::size_t j) {
    if (j + distancia_prefetch < n) {
      __builtin_prefetch(chaves[j + distancia_prefetch]);
      __builtin_prefetch(reinterpret_cast<const char*>(chaves[j + distancia_prefetch]) + 63);
    }
    return valida(chaves[j]);
  };
}

}  // namespace

// Number keys in a few runs, at `bloco + n` (after their objects, and before 2n free words):
// the items merged by them, where that costs less than radix passes. False, the keys untouched,
// otherwise.
bool ordenar_chaves_por_corridas(PyObject** itens, std::uint64_t* bloco, std::size_t n,
                                 const EstatisticasChaves& estat, bool liberar,
                                 Percurso* percurso) {
  ListaCorridas corridas;
  std::uint64_t* chaves = bloco + n;
  const std::uint64_t orcamento = orcamento_de_fusao(n, contar_digitos_variaveis(estat.variacao));
  if (!talvez_corridas(estat, static_cast<Py_ssize_t>(n)) ||
      !medir_corridas_de_chaves(chaves, n, orcamento, corridas)) {
    return false;
  }
  if (corridas.quantidade() == 1) {
    // In order already, or one descending run whose equal keys keep their order: reversed, and
    // each stretch of equal keys reversed back. No record is made.
    if (!corridas.em_ordem()) {
      std::reverse(itens, itens + n);
      std::reverse(chaves, chaves + n);
      for (std::size_t i = 0, j; i < n; i = j) {
        for (j = i + 1; j < n && chaves[j] == chaves[i]; ++j) {
        }
        std::reverse(itens + i, itens + j);
      }
    }
    anotar_corridas(corridas, percurso);
    return true;
  }
  // The first run's items up to the smallest key after it stay where they are: in a list in
  // order but for a few items, that is most of it, and no record of them is made.
  const auto comparar = [](std::uint64_t a, std::uint64_t b) { return (a > b) - (a < b); };
  const std::size_t inicio = cabeca_em_ordem(chaves, corridas, comparar);
  const std::size_t m = n - inicio;
  // The records in the free words, and the room of their keys the merge's scratch (it takes
  // half the records at most); the keys before stay, in case the merge stops.
  auto* registros = reinterpret_cast<Entrada*>(bloco + 2 * n);
  for (std::size_t i = 0; i < m; ++i) {
    registros[i] = Entrada{itens[inicio + i], chaves[inicio + i]};
  }
  if (!fundir_registros(itens + inicio, registros, reinterpret_cast<Entrada*>(chaves + inicio), m,
                        corridas, orcamento, liberar)) {
    // Partly merged: the items and their keys go on from there.
    for (std::size_t i = 0; i < m; ++i) {
      itens[inicio + i] = registros[i].objeto;
      chaves[inicio + i] = registros[i].chave;
    }
    return false;
  }
  anotar_corridas(corridas, percurso);
  return true;
}

namespace {

// The keyed road of one call: the items, their key objects and sort keys in one block, and the
// key function computing each key once, in item order. Each kind of key has its ordering.
class EstradaChaves {
 public:
  EstradaChaves(RetencaoLista& retida, Py_ssize_t n, PyObject* funcao_chave,
                const ChamadaChave& chamar, int reverso, bool liberar, Percurso* percurso)
      : retida_(retida),
        itens_(retida.itens()),
        n_(n),
        quantidade_(static_cast<std::size_t>(n)),
        funcao_chave_(funcao_chave),
        chamar_(chamar),
        reverso_(reverso),
        liberar_(liberar),
        mascara_(reverso ? mascara_reversa : mascara_ascendente),
        percurso_(percurso) {}

  // Takes the block for keys of kind `tipo` and the first key (a new reference, consumed); false
  // where no block could be had (the key is then handed over with the items).
  bool preparar(TipoChave tipo, Referencia primeira, int* resultado) {
    // One block: the key objects, then their sort keys, then the kernels' other side and their
    // tables (none for strings), taken at once so that a call makes one allocation (counting may
    // grow it).
    palavras_bloco_ =
        4 * quantidade_ +
        (tipo == TipoChave::TEXTO ? palavras_alem_das_linhas(quantidade_) : palavras_tabelas_radix);
    if (tipo != TipoChave::OUTRO) {
      bloco_ = BufferNativo<std::uint64_t>::alocar(palavras_bloco_);
      if (!bloco_ || (tipo == TipoChave::TEXTO && quantidade_ > UINT32_MAX)) {
        bloco_.liberar();
        percurso_->motivo = MotivoInterpretador::MEMORIA;
      }
    }
    if (!bloco_) {
      PyObject* chave = primeira.release();
      *resultado = entregar_ao_interpretador(retida_, &chave, 1, funcao_chave_, reverso_);
      return false;
    }
    chaves_.reapontar(objetos_no_bloco());
    chaves_.guardar(primeira.release());
    chaves_origem_ = bloco_.get() + quantidade_;
    return true;
  }

  int ordenar_textos();
  int ordenar_tuplas();
  int ordenar_numeros(TipoChave tipo);

 private:
  PyObject** objetos_no_bloco() const { return reinterpret_cast<PyObject**>(bloco_.get()); }
  PyObject* primeira_chave() const { return objetos_no_bloco()[0]; }

  // The key of item i, kept: a new reference, or null with an exception set.
  PyObject* calcular_chave(Py_ssize_t i) {
    // The items may lie anywhere in memory: fetching ahead overlaps the cache misses.
    if (i + distancia_prefetch < n_) {
      __builtin_prefetch(itens_[i + distancia_prefetch]);
    }
    if (i + distancia_prefetch / 2 < n_) {
      buscar_campos(itens_[i + distancia_prefetch / 2]);
    }
    PyObject* chave = chamar_(itens_[i]);
    if (chave != nullptr) {
      chaves_.guardar(chave);
    }
    return chave;
  }

  // Every key read by `leitor` from the first on: n, the index of the first it could not read
  // (left in *chave), or -1.
  template <class Leitor>
  Py_ssize_t ler(Leitor& leitor, Py_ssize_t inicio, PyObject*& chave) {
    return ler_chaves(leitor, inicio, n_, chave,
                      [this](Py_ssize_t i) { return calcular_chave(i); });
  }

  int entregar() { return entregar_ao_interpretador(retida_, chaves_, funcao_chave_, reverso_); }

  // Keys inicio ... fim - 1, kept: LIDA where each is of the first key's type (or of any, where
  // not `mesmo_tipo`), OUTRA at the first that is not, ERRO where a call raised.
  Leitura calcular_do_mesmo_tipo(Py_ssize_t inicio, Py_ssize_t fim, bool mesmo_tipo = true) {
    PyTypeObject* const tipo = Py_TYPE(primeira_chave());
    for (Py_ssize_t i = inicio; i < fim; ++i) {
      PyObject* chave = calcular_chave(i);
      if (chave == nullptr) {
        return Leitura::ERRO;
      }
      if (mesmo_tipo && Py_TYPE(chave) != tipo) {
        return Leitura::OUTRA;
      }
    }
    return Leitura::LIDA;
  }

  // How many keys to compute before any is read: all of them where they lie in the caches, the
  // first few thousand up to where comparing them costs a cache miss for each, else one.
  Py_ssize_t calcular_antes_de_ler() const {
    return quantidade_ <= maior_por_corridas_sem_leitura  ? n_
           : quantidade_ <= maior_com_amostra_de_corridas ? Py_ssize_t{amostra_de_corridas}
                                                          : 1;
  }

  Py_ssize_t fundir_floats_sem_leitura();

  // Where some keys were not all strings of one type: -1 after a raising call, else the keys
  // handed over.
  int entregar_se_outros(Leitura calculadas) {
    if (calculadas == Leitura::ERRO) {
      return -1;
    }
    percurso_->motivo = MotivoInterpretador::NAO_TEXTO;
    return entregar();
  }

  int terminar() {
    chaves_.liberar();
    return retida_.terminar();
  }

  RetencaoLista& retida_;
  PyObject** itens_;
  Py_ssize_t n_;
  std::size_t quantidade_;
  PyObject* funcao_chave_;
  const ChamadaChave& chamar_;
  int reverso_;
  bool liberar_;
  std::uint64_t mascara_;
  Percurso* percurso_;
  std::size_t palavras_bloco_ = 0;
  BufferNativo<std::uint64_t> bloco_;
  // The key objects, released before the list is given back; newest first after a failed key
  // call, as the interpreter's sort does.
  ReferenciasGuardadas chaves_;
  std::uint64_t* chaves_origem_ = nullptr;
};

int EstradaChaves::ordenar_textos() {
  PyObject* const* textos = objetos_no_bloco();
  LeitorTexto leitor(primeira_chave(), textos, chaves_origem_, reverso_ != 0);
  percurso_->texto = leitor.bytes() ? "bytes" : "str";
  // The first keys are computed before any is read, checked for their type only; where a
  // sample of them shows them in order, all of them are, and merged by their runs where a
  // sample of all shows them in order. Keys in no order are read, those computed first while
  // they are in the caches, the others as they come.
  const CompararTextos comparar{reverso_ != 0};
  Py_ssize_t calculadas = calcular_antes_de_ler();
  if (const Leitura primeiras = calcular_do_mesmo_tipo(1, calculadas); primeiras != Leitura::LIDA) {
    return entregar_se_outros(primeiras);
  }
  const auto todas = [](PyObject*) { return true; };
  bool monotona = calculadas > 1 &&
                  amostra_monotona(textos, static_cast<std::size_t>(calculadas), comparar, todas);
  if (monotona && calculadas < n_) {
    if (const Leitura restantes = calcular_do_mesmo_tipo(calculadas, n_);
        restantes != Leitura::LIDA) {
      return entregar_se_outros(restantes);
    }
    calculadas = n_;
    monotona = amostra_monotona(textos, quantidade_, comparar, todas);
  }
  // Keys all computed lie in the caches: their runs are sought whatever the sample shows (a
  // list in two halves), and keys in no order found out within their first few.
  if ((monotona || calculadas == n_) &&
      ordenar_por_corridas_sem_leitura(itens_, textos, bloco_.get(), quantidade_, comparar,
                                       ver_chaves(textos, quantidade_, todas),
                                       orcamento_de_fusao_textos(quantidade_), percurso_)) {
    return terminar();
  }
  Py_ssize_t lidas = leitor.ler_todos(textos, calculadas, [](Py_ssize_t) {});
  if (lidas == calculadas && calculadas < n_) {
    PyObject* chave = calcular_chave(calculadas);
    if (chave == nullptr) {
      return -1;
    }
    lidas = ler(leitor, calculadas, chave);
    if (lidas < 0) {
      return -1;
    }
  }
  if (lidas < n_) {
    percurso_->motivo = leitor.motivo;
    return entregar();
  }
  if (!ordenar_por_corridas_de_textos(itens_, objetos_no_bloco(), bloco_.get(), quantidade_, leitor,
                                      reverso_ != 0, liberar_, percurso_)) {
    vesksort::ordenar_textos(itens_, objetos_no_bloco(), quantidade_, leitor, chaves_origem_,
                             liberar_, percurso_);
  }
  return terminar();
}

int EstradaChaves::ordenar_tuplas() {
  // Tuple keys: all of them are computed, then ordered column by column.
  PyObject* chave = primeira_chave();
  LeitorTupla leitor;
  const Py_ssize_t lidas = ler(leitor, 0, chave);
  if (lidas < 0) {
    return -1;
  }
  if (lidas < n_) {
    percurso_->tuplas = true;
    percurso_->motivo = leitor.motivo;
    return entregar();
  }
  const Veredito veredito =
      vesksort::ordenar_tuplas(itens_, &chaves_, bloco_, palavras_bloco_, quantidade_, n_,
                               reverso_ != 0, liberar_, percurso_);
  chaves_.reapontar(objetos_no_bloco());
  if (veredito == Veredito::ERRO) {
    return -1;
  }
  return veredito == Veredito::NATIVO ? terminar() : entregar();
}

// Float keys: computed before any is read, and merged by their runs from their objects' values
// where a sample shows them in order, as string keys are, while the merge leaves most of them
// where they are: a longer merge compares records of read keys for less. Returns how many keys
// are computed (n, or 1 beyond the caches), n + 1 where the items are in order, or -1 with an
// exception set.
[[gnu::noinline]] Py_ssize_t EstradaChaves::fundir_floats_sem_leitura() {
  // Beyond the caches, keys read as they come cost less than a second pass over them.
  if (quantidade_ > maior_por_corridas_sem_leitura) {
    return 1;
  }
  if (calcular_do_mesmo_tipo(1, n_, false) == Leitura::ERRO) {
    return -1;
  }
  PyObject* const* chaves = objetos_no_bloco();
  const CompararFloats comparar{reverso_ != 0};
  // A lambda, inlined where a pointer to the function was called for every key.
  const auto valida = [](PyObject* chave) { return CompararFloats::valida(chave); };
  if (!amostra_monotona(chaves, quantidade_, comparar, valida)) {
    return n_;
  }
  return ordenar_por_corridas_sem_leitura(itens_, chaves, bloco_.get(), quantidade_, comparar,
                                          ver_chaves(chaves, quantidade_, valida),
                                          orcamento_de_fusao(quantidade_, 2), percurso_,
                                          quantidade_ / 8)
             ? n_ + 1
             : n_;
}

int EstradaChaves::ordenar_numeros(TipoChave tipo) {
  PyObject* chave = primeira_chave();
  EstatisticasChaves estat;
  Py_ssize_t lidas = 0;
  if (tipo == TipoChave::TEMPORAL) {
    // Dates and times of the first key's kind, as int64 keys.
    LeitorDatas datas{chaves_origem_, mascara_};
    datas.temporais.comecar(chave);
    percurso_->temporal = datas.temporais.nome();
    lidas = ler(datas, 0, chave);
    percurso_->motivo = datas.motivo;
    estat = datas.estat;
  } else {
    // Numbers: ints (and bools) while they last; from the first float on, every key is read as
    // a float (the ints before it too), or none natively.
    LeitorInt64 inteiros{chaves_origem_, mascara_};
    inteiros.aceita_bool = true;
    // Float keys in the caches are all computed first.
    const Py_ssize_t calculadas = tipo == TipoChave::FLOAT ? fundir_floats_sem_leitura() : 1;
    if (calculadas < 0) {
      return -1;
    }
    if (calculadas > n_) {
      percurso_->floats = true;
      return terminar();
    }
    lidas = tipo == TipoChave::INT64 ? ler(inteiros, 0, chave) : 0;
    percurso_->motivo = inteiros.motivo;
    percurso_->booleanos = inteiros.booleanos;
    estat = inteiros.estat;
    if (lidas >= 0 && lidas < n_ && PyFloat_CheckExact(chave)) {
      percurso_->floats = true;
      LeitorFloat floats{chaves_origem_, mascara_};
      // Keys computed already are read in one loop; the others as they come.
      PyObject* const* chaves = objetos_no_bloco();
      if (floats.continuar(inteiros, lidas)) {
        lidas = tipo == TipoChave::FLOAT && calculadas == n_
                    ? ler_desde(
                          floats, [chaves](Py_ssize_t i) { return chaves[i]; }, 0, n_)
                    : ler(floats, lidas, chave);
      }
      percurso_->motivo = lidas < n_ ? floats.motivo : MotivoInterpretador::NENHUM;
      estat = floats.estat;
    }
  }
  if (lidas < 0) {
    return -1;
  }
  if (lidas < n_) {
    return entregar();
  }

  // Every key read: ordered natively, also when nearly in order, where a native sort costs less
  // than handing the keys over to the interpreter's sort.
  OrdemKeyed ordem{KEYED_TRIVIAL, 0, 0};
  if (estat.descidas == n_ - 1) {
    // Strictly descending keys, all distinct: reversed, the items are in stable order.
    std::reverse(itens_, itens_ + n_);
    percurso_->invertida = true;
  } else if (ordenar_chaves_por_corridas(itens_, bloco_.get(), quantidade_, estat, liberar_,
                                         percurso_)) {
    return terminar();
  } else {
    const bool ordenou = ordenar_por_chaves(itens_, bloco_, palavras_bloco_, quantidade_, n_, estat,
                                            liberar_, &ordem);
    chaves_.reapontar(objetos_no_bloco());
    if (!ordenou) {
      // No room for the kernel's scratch: the interpreter's sort needs less.
      PyErr_Clear();
      percurso_->motivo = MotivoInterpretador::MEMORIA;
      return entregar();
    }
  }
  percurso_->algoritmo = ordem.algoritmo;
  percurso_->passagens = ordem.passagens;
  return terminar();
}

// The items ordered by the keys that `funcao_chave` gives them, each computed once, in item order.
int ordenar_por_funcao_chave(PyObject* lista, Py_ssize_t n, PyObject* funcao_chave, int reverso,
                             bool privada, Percurso* percurso) {
  RetencaoLista retida(lista);
  percurso->chaves = true;
  // The first key tells whether a native attempt can pay: a key of a kind that no native path
  // orders sends the list on at once, before any scratch is taken.
  const ChamadaChave chamar(funcao_chave, true);
  Referencia primeira(chamar(retida.itens()[0]));
  if (!primeira) {
    return -1;
  }
  const TipoChave tipo = tipo_de_chave(primeira.get(), &percurso->motivo);
  EstradaChaves estrada(retida, n, funcao_chave, chamar, reverso, liberar_gil(n, privada),
                        percurso);
  int resultado;
  if (!estrada.preparar(tipo, std::move(primeira), &resultado)) {
    return resultado;
  }
  switch (tipo) {
    case TipoChave::TEXTO:
      return estrada.ordenar_textos();
    case TipoChave::TUPLA:
      return estrada.ordenar_tuplas();
    default:
      return estrada.ordenar_numeros(tipo);
  }
}

// `lista` (empty) made of the `n` items of `itens`: the first `copiados` hold their references
// already, the others are taken from `origem`.
Referencia lista_de_itens(Referencia lista, BufferNativo<PyObject*>& itens, PyObject* const* origem,
                          Py_ssize_t copiados, Py_ssize_t n) {
  for (Py_ssize_t i = copiados; i < n; ++i) {
    itens[static_cast<std::size_t>(i)] = Py_NewRef(origem[i]);
  }
  auto* nova = reinterpret_cast<PyListObject*>(lista.get());
  nova->ob_item = itens.release();
  Py_SET_SIZE(nova, n);
  nova->allocated = n;
  return lista;
}

// From this length on (256 KiB of items) sort() copies a list or a tuple into an item array of
// its own, which the allocator maps afresh, offered huge pages: the interpreter's own copy would
// cost a page fault per 4 KiB.
constexpr Py_ssize_t menor_copia_propria = Py_ssize_t{1} << 15;

// sort()'s own list: nobody else may reach it until the call returns it. The collector does not
// track it meanwhile, so that gc.get_objects() cannot hand it to another thread half made or
// half ordered; the items keep it from mattering to the collector, which counts every reference
// from an untracked container as one from outside.
Referencia lista_propria(PyObject* lista) {
  if (lista != nullptr) {
    PyObject_GC_UnTrack(lista);
  }
  return Referencia(lista);
}

PyObject* entregar_lista_propria(Referencia lista) {
  PyObject_GC_Track(lista.get());
  return lista.release();
}

// A new list of the items of `iteravel`, as sorted() makes it, of sort()'s own.
Referencia nova_lista(PyObject* iteravel) {
  if (!(PyList_CheckExact(iteravel) || PyTuple_CheckExact(iteravel)) ||
      PySequence_Fast_GET_SIZE(iteravel) < menor_copia_propria) {
    return lista_propria(PySequence_List(iteravel));
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(iteravel);
  PyObject* const* origem = PySequence_Fast_ITEMS(iteravel);
  Referencia lista = lista_propria(PyList_New(0));
  if (!lista) {
    return lista;
  }
  BufferNativo<PyObject*> itens = BufferNativo<PyObject*>::alocar(static_cast<std::size_t>(n));
  if (!itens) {
    return lista_propria(PySequence_List(iteravel));  // the interpreter's copy may still fit
  }
  return lista_de_itens(std::move(lista), itens, origem, 0, n);
}

// sort() without a key, over a list or tuple of values that are not tuples: the scan that reads
// the values takes each item's reference as it goes, into the new list's item array or, for
// long lists, with the item array written over the scratch of the sort at the end (8 bytes fewer
// per item, where every byte is mapped afresh). A copy made beforehand would visit every object
// twice, and the objects of a long list lie beyond the caches.
Referencia ordenar_copia_de_valores(PyObject* sequencia, int reverso, Percurso* percurso) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequencia);
  PyObject* const* origem = PySequence_Fast_ITEMS(sequencia);
  Referencia lista = lista_propria(PyList_New(0));
  if (!lista) {
    return lista;
  }
  const auto quantidade = static_cast<std::size_t>(n);
  BufferNativo<PyObject*> itens;
  Py_ssize_t tomados = 0;  // the first items, whose references the copy has taken
  Veredito veredito = Veredito::TIMSORT;
  if (copia_por_posicoes(n) && !LeitorTexto::aceita(origem[0])) {
    // The positions are read from the sequence at the end: a list keeps the lock meanwhile.
    veredito = ordenar_copia(origem, n, reverso != 0,
                             PyTuple_CheckExact(sequencia) && liberar_gil(n, true), percurso,
                             &itens, &tomados);
    if (veredito == Veredito::TIMSORT) {
      itens = BufferNativo<PyObject*>::alocar(quantidade);
      if (itens) {
        std::memcpy(itens.get(), origem, static_cast<std::size_t>(tomados) * sizeof(PyObject*));
      }
    }
  } else {
    itens = BufferNativo<PyObject*>::alocar(quantidade);
    if (itens) {
      const char* nome = nullptr;
      char estrategia[tamanho_nome_estrategia];
      CopiaItens copia{origem};
      veredito = LeitorTexto::aceita(origem[0])
                     ? ordenar_textos_dos_itens(itens.get(), n, reverso != 0, liberar_gil(n, true),
                                                percurso, &copia)
                     : ordenar_inteiros(itens.get(), n, reverso != 0, liberar_gil(n, true), &nome,
                                        estrategia, percurso, &copia);
      tomados = copia.copiados;
    } else {
      percurso->motivo = MotivoInterpretador::MEMORIA;
    }
  }
  if (!itens) {
    // Nothing ran meanwhile: `origem` is still the sequence's array.
    for (Py_ssize_t i = tomados; i-- > 0;) {
      Py_DECREF(origem[i]);
    }
    if (veredito == Veredito::ERRO) {
      return Referencia();
    }
    lista = lista_propria(PySequence_List(sequencia));  // the interpreter's copy may still fit
  } else {
    // Short of NATIVO the lock was held throughout, and `origem` is still the sequence's array.
    lista = lista_de_itens(std::move(lista), itens, origem, tomados, n);
  }
  if (!lista || veredito == Veredito::ERRO ||
      (veredito == Veredito::TIMSORT &&
       ordenar_pelo_interpretador(lista.get(), nullptr, reverso) < 0)) {
    return Referencia();
  }
  return lista;
}

// One item: the interpreter's sort would call the key once, and move nothing.
int ordenar_um_item(PyObject* lista, PyObject* funcao_chave) {
  RetencaoLista retida(lista);
  PyObject* chave = PyObject_CallOneArg(funcao_chave, retida.itens()[0]);
  if (chave == nullptr) {
    return -1;
  }
  Py_DECREF(chave);
  return retida.terminar();
}

// The order of two values that compare without running any code (exact ints in the int64
// range, floats but NaNs, or strs, both of one type): -1, 0 or 1 as a < b, neither, or b < a,
// noted in `percurso`; sem_ordem_nativa for values of other kinds.
constexpr int sem_ordem_nativa = 2;

int ordem_de_dois(PyObject* a, PyObject* b, Percurso* percurso) {
  PyTypeObject* tipo = Py_TYPE(a);
  if (Py_TYPE(b) != tipo) {
    return sem_ordem_nativa;
  }
  if (tipo == &PyFloat_Type) {
    const double x = PyFloat_AS_DOUBLE(a);
    const double y = PyFloat_AS_DOUBLE(b);
    if (std::isnan(x) || std::isnan(y)) {
      return sem_ordem_nativa;  // as every native path, a NaN goes to the interpreter's sort
    }
    percurso->floats = true;
    return x < y ? -1 : y < x ? 1 : 0;
  }
  if (tipo == &PyLong_Type) {
    std::int64_t x;
    std::int64_t y;
    if (ler_int64_exato(a, &x) != 1 || ler_int64_exato(b, &y) != 1) {
      PyErr_Clear();
      return sem_ordem_nativa;
    }
    return x < y ? -1 : y < x ? 1 : 0;
  }
  if (tipo == &PyUnicode_Type) {
    percurso->texto = "str";
    return PyUnicode_Compare(a, b);
  }
  return sem_ordem_nativa;
}

// Two items in the order of their sort keys `ordem` (as ordem_de_dois gives it): swapped where
// the interpreter's sort would swap them. With reverse it reverses the list, orders it stably and
// reverses it again: equal items keep their order either way.
void ordenar_dois(PyObject** itens, int ordem, int reverso, Percurso* percurso) {
  if (reverso ? ordem < 0 : ordem > 0) {
    std::swap(itens[0], itens[1]);
  }
  percurso->algoritmo = KEYED_RADIX;
  percurso->pequena = true;
}

// Two items by their keys, each computed once: ordered here where the keys compare without
// running any code, by the interpreter's sort, handed the keys, otherwise.
int ordenar_dois_por_chave(PyObject* lista, PyObject* funcao_chave, int reverso,
                           Percurso* percurso) {
  RetencaoLista retida(lista);
  percurso->chaves = true;
  PyObject* objetos[2];
  ReferenciasGuardadas chaves(objetos);
  for (int i = 0; i < 2; ++i) {
    PyObject* chave = PyObject_CallOneArg(funcao_chave, retida.itens()[i]);
    if (chave == nullptr) {
      return -1;
    }
    chaves.guardar(chave);
  }
  const int ordem = ordem_de_dois(objetos[0], objetos[1], percurso);
  if (ordem == sem_ordem_nativa) {
    percurso->motivo = MotivoInterpretador::LISTA_CURTA;
    percurso->menor_nativo = menor_tamanho_pequeno(objetos[0], funcao_chave);
    if (ordenar_pela_ordem_das_chaves(retida, objetos, 2, reverso) < 0) {
      return -1;
    }
  } else {
    ordenar_dois(retida.itens(), ordem, reverso, percurso);
  }
  chaves.liberar();
  return retida.terminar();
}

// The one road of both drop-ins, over a list (sort()'s own when `privada`).
int ordenar_lista(PyObject* lista, PyObject* funcao_chave, int reverso, bool privada,
                  Percurso* percurso) {
  const Py_ssize_t n = PyList_GET_SIZE(lista);
  if (n < 2) {
    if (n == 0 || funcao_chave == nullptr) {
      return 0;  // nothing to order, and no code of anyone's to run
    }
    return ordenar_um_item(lista, funcao_chave);
  }
  if (n == 2) {
    if (funcao_chave != nullptr) {
      return ordenar_dois_por_chave(lista, funcao_chave, reverso, percurso);
    }
    PyObject** itens = itens_da_lista(lista);
    const int ordem = ordem_de_dois(itens[0], itens[1], percurso);
    if (ordem != sem_ordem_nativa) {
      ordenar_dois(itens, ordem, reverso, percurso);
      return 0;
    }
  }
  percurso->menor_nativo = menor_tamanho_pequeno(itens_da_lista(lista)[0], funcao_chave);
  if (n < percurso->menor_nativo) {
    percurso->motivo = MotivoInterpretador::LISTA_CURTA;
    return ordenar_pelo_interpretador(lista, funcao_chave, reverso);
  }
  if (caminho_curto(itens_da_lista(lista), n, funcao_chave)) {
    return ordenar_lista_pequena(lista, n, funcao_chave, reverso, percurso);
  }
  return funcao_chave == nullptr
             ? ordenar_valores(lista, n, reverso, privada, percurso)
             : ordenar_por_funcao_chave(lista, n, funcao_chave, reverso, privada, percurso);
}

// sorted(iteravel, key=funcao_chave, reverse=reverso): a new list, or null with an exception.
PyObject* ordenar_em_nova_lista(PyObject* iteravel, PyObject* funcao_chave, int reverso,
                                Percurso* percurso) {
  Referencia lista;
  if (funcao_chave == nullptr && (PyList_CheckExact(iteravel) || PyTuple_CheckExact(iteravel)) &&
      PySequence_Fast_GET_SIZE(iteravel) > 0 &&
      !caminho_curto(PySequence_Fast_ITEMS(iteravel), PySequence_Fast_GET_SIZE(iteravel),
                     nullptr) &&
      !PyTuple_CheckExact(PySequence_Fast_ITEMS(iteravel)[0])) {
    lista = ordenar_copia_de_valores(iteravel, reverso, percurso);
  } else {
    lista = nova_lista(iteravel);
    if (lista && ordenar_lista(lista.get(), funcao_chave, reverso, true, percurso) < 0) {
      lista.reset();
    }
  }
  return lista ? entregar_lista_propria(std::move(lista)) : nullptr;
}

// The path as explain() words it.
PyObject* descrever_percurso(const Percurso& percurso, Py_ssize_t n) {
  const char* tipo = percurso.tuplas ? "tuple item" : percurso.chaves ? "key" : "value";
  switch (percurso.motivo) {
    case MotivoInterpretador::NENHUM:
      break;
    case MotivoInterpretador::LISTA_CURTA:
      return PyUnicode_FromFormat("interpreter: fewer than %zd items", percurso.menor_nativo);
    case MotivoInterpretador::TIPO:
      return PyUnicode_FromFormat("interpreter: a %s that is not an exact int or float", tipo);
    case MotivoInterpretador::NAO_NUMERO:
      return PyUnicode_FromFormat("interpreter: a NaN %s", tipo);
    case MotivoInterpretador::FORA_INT64:
      return PyUnicode_FromFormat("interpreter: an int %s outside the signed 64-bit range", tipo);
    case MotivoInterpretador::INTEIRO_ALEM_DE_FLOAT:
      return PyUnicode_FromFormat("interpreter: an int %s beyond 2**53 among floats", tipo);
    case MotivoInterpretador::QUASE_MONOTONICA:
      return PyUnicode_FromString("interpreter: values nearly in order");
    case MotivoInterpretador::NAO_TUPLA:
      return PyUnicode_FromFormat("interpreter: a %s that is not an exact tuple among tuples",
                                  percurso.chaves ? "key" : "value");
    case MotivoInterpretador::TUPLA_LONGA:
      return PyUnicode_FromString("interpreter: a tuple of more than 32 items");
    case MotivoInterpretador::COLUNA_CHEIA:
      return PyUnicode_FromString(
          "interpreter: tuples of different lengths with a column spanning every int64");
    case MotivoInterpretador::MEMORIA:
      return PyUnicode_FromString("interpreter: no memory for a native sort's scratch");
    case MotivoInterpretador::NAO_TEXTO:
      return PyUnicode_FromFormat("interpreter: a %s that is not an exact %s among %s %ss", tipo,
                                  percurso.texto, percurso.texto, tipo);
    case MotivoInterpretador::NAO_TEMPORAL:
      return PyUnicode_FromFormat("interpreter: a %s that is not an exact %s among %s %ss", tipo,
                                  percurso.temporal, percurso.temporal, tipo);
    case MotivoInterpretador::FUSO_DIFERENTE:
      return PyUnicode_FromFormat("interpreter: datetime %ss with different tzinfo objects", tipo);
    case MotivoInterpretador::COLUNA_MISTA:
      return PyUnicode_FromString(
          "interpreter: tied tuples whose items in a column are not all numbers, dates or times "
          "of one kind, or strings of one type");
    case MotivoInterpretador::DURACAO_LONGA:
      return PyUnicode_FromFormat(
          "interpreter: a timedelta %s beyond the int64 range of microseconds", tipo);
  }
  if (n < 2) {
    return PyUnicode_FromString("nothing to order");
  }
  const char* dominio = percurso.texto != nullptr                           ? percurso.texto
                        : percurso.temporal != nullptr                      ? percurso.temporal
                        : percurso.tuplas                                   ? "tuple"
                        : percurso.floats                                   ? "float"
                        : percurso.booleanos == static_cast<std::size_t>(n) ? "bool"
                                                                            : "int64";
  const char* tipo_ordenado = percurso.chaves ? "key" : "value";
  if (percurso.invertida) {
    return PyUnicode_FromFormat("native: %s %ss, reversed", dominio, tipo_ordenado);
  }
  if (percurso.corridas > 1) {
    return PyUnicode_FromFormat("native: %s %ss, %zu runs merged", dominio, tipo_ordenado,
                                percurso.corridas);
  }
  if (percurso.texto != nullptr && percurso.algoritmo == KEYED_RADIX &&
      !(percurso.pequena && percurso.passagens == 0)) {
    return PyUnicode_FromFormat("native: %s %ss, radix sort on prefixes in %d level%s", dominio,
                                tipo_ordenado, percurso.passagens,
                                percurso.passagens == 1 ? "" : "s");
  }
  switch (percurso.algoritmo) {
    case KEYED_TRIVIAL:
    case KEYED_JA_ORDENADO:
      return PyUnicode_FromFormat("native: %s %ss, already in order", dominio, tipo_ordenado);
    case KEYED_COUNTING:
      return PyUnicode_FromFormat("native: %s %ss, counting sort", dominio, tipo_ordenado);
    case KEYED_RADIX:
      break;
  }
  if (percurso.pequena && percurso.colunas == 0) {
    return PyUnicode_FromFormat("native: %s %ss, short-list sort", dominio, tipo_ordenado);
  }
  if (percurso.colunas > 0) {
    return PyUnicode_FromFormat("native: %s %ss, column by column (%zd column%s read)", dominio,
                                tipo_ordenado, percurso.colunas, percurso.colunas == 1 ? "" : "s");
  }
  if (percurso.palavras > 1) {
    return PyUnicode_FromFormat("native: %s %ss, radix sort in %d passes over %d packed words",
                                dominio, tipo_ordenado, percurso.passagens, percurso.palavras);
  }
  return PyUnicode_FromFormat("native: %s %ss, radix sort in %d pass%s", dominio, tipo_ordenado,
                              percurso.passagens, percurso.passagens == 1 ? "" : "es");
}

}  // namespace

PyObject* py_sort_drop_in(PyObject*, PyObject* const* argumentos, Py_ssize_t quantidade,
                          PyObject* nomes) {
  PyObject* funcao_chave;
  int reverso;
  if (ler_argumentos(argumentos, quantidade, nomes, &funcao_chave, &reverso) == Pedido::DELEGAR) {
    return chamar_sorted(argumentos, quantidade, nomes);
  }
  Percurso percurso;
  return ordenar_em_nova_lista(argumentos[0], funcao_chave, reverso, &percurso);
}

PyObject* py_sort_in_place_drop_in(PyObject*, PyObject* const* argumentos, Py_ssize_t quantidade,
                                   PyObject* nomes) {
  PyObject* funcao_chave;
  int reverso;
  // list.sort() judges what is not a list, or a subclass of one, with its own message.
  if (quantidade < 1 || !PyList_Check(argumentos[0]) ||
      ler_argumentos(argumentos, quantidade, nomes, &funcao_chave, &reverso) == Pedido::DELEGAR) {
    return chamar_list_sort(argumentos, quantidade, nomes);
  }
  Percurso percurso;
  if (ordenar_lista(argumentos[0], funcao_chave, reverso, false, &percurso) < 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* py_explain_drop_in(PyObject*, PyObject* const* argumentos, Py_ssize_t quantidade,
                             PyObject* nomes) {
  PyObject* funcao_chave;
  int reverso;
  Referencia lista;
  Referencia descricao;
  if (ler_argumentos(argumentos, quantidade, nomes, &funcao_chave, &reverso) == Pedido::DELEGAR) {
    lista.reset(chamar_sorted(argumentos, quantidade, nomes));
    descricao.reset(PyUnicode_FromString("interpreter: arguments that only sorted() takes"));
  } else {
    Percurso percurso;
    lista.reset(ordenar_em_nova_lista(argumentos[0], funcao_chave, reverso, &percurso));
    if (!lista) {
      return nullptr;
    }
    descricao.reset(descrever_percurso(percurso, PyList_GET_SIZE(lista.get())));
  }
  if (!lista || !descricao) {
    return nullptr;
  }
  return formar_par(std::move(lista), std::move(descricao));
}

}  // namespace vesksort
