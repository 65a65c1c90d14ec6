// Short lists (tens to a few hundred items), ordered natively with all their scratch on the
// stack: no block, no radix tables. The keys are read by the readers of the long paths; numbers
// are then ordered by the byte radix sort that splits by the highest varying byte first (a few
// hundred keys fall apart in one or two splits, and small parts are ranked without branches),
// strings by their prefix keys and levels, tuples a column at a time.
#include <algorithm>
#include <bit>

#include "leitores.h"

namespace vesksort {
namespace {

// The scratch of one short list, in one small block (thread stacks may be short), laid out as
// the long keyed paths lay theirs: the key objects that a key function gave, then the sort keys,
// then the scratch of the runs' merge, of the radix sort or of the strings' levels.
struct EspacoPequeno {
  explicit EspacoPequeno(std::size_t n) {
    if (n <= maior_no_proprio) {
      bloco_proprio = proprio;
    } else {
      bloco = BufferNativo<std::uint64_t>::alocar(5 * n);
      bloco_proprio = bloco.get();
    }
    objetos_chaves = reinterpret_cast<PyObject**>(bloco_proprio);
    chaves = bloco_proprio == nullptr ? nullptr : bloco_proprio + n;
  }

  std::uint64_t* inicio() const { return bloco_proprio; }

  // Lists up to this long keep their scratch here (2.5 KiB): no allocation at all.
  static constexpr std::size_t maior_no_proprio = 64;
  std::uint64_t proprio[5 * maior_no_proprio];
  BufferNativo<std::uint64_t> bloco;
  std::uint64_t* bloco_proprio = nullptr;
  PyObject** objetos_chaves = nullptr;
  std::uint64_t* chaves = nullptr;
};

// Lists up to this long are ordered by inserting each key in turn: for a few keys that costs
// less than looking for their runs.
constexpr std::size_t maior_por_insercao = 8;

// Stable insertion sort of n keys and the items beside them.
void ordenar_por_insercao(std::uint64_t* chaves, PyObject** itens, std::size_t n) {
  for (std::size_t i = 1; i < n; ++i) {
    const std::uint64_t chave = chaves[i];
    PyObject* item = itens[i];
    std::size_t j = i;
    for (; j > 0 && chaves[j - 1] > chave; --j) {
      chaves[j] = chaves[j - 1];
      itens[j] = itens[j - 1];
    }
    chaves[j] = chave;
    itens[j] = item;
  }
}

// Strings in order, or in a few runs, merged by comparing neighbours before any key is read, as
// the interpreter's sort would: true when done. False where they are not (or not all strings of
// one type), the items then in an order from which a stable sort gives the same result.
bool fundir_textos_em_corridas(PyObject** itens, std::size_t n, bool reverso, EspacoPequeno& espaco,
                               Percurso* percurso) {
  CompararTextos comparar{reverso};
  PyTypeObject* tipo = Py_TYPE(itens[0]);
  const auto ver = [itens, tipo](std::size_t j) { return Py_TYPE(itens[j]) == tipo; };
  if (!comeca_monotona(itens, n, comparar, ver)) {
    return false;
  }
  ListaCorridas corridas;
  const std::uint64_t orcamento = orcamento_de_fusao_textos(n);
  if (medir_corridas(itens, n, comparar, ver, corridas, orcamento) != n ||
      !fundir_corridas(itens, reinterpret_cast<PyObject**>(espaco.chaves), n, corridas, comparar,
                       orcamento)) {
    return false;
  }
  anotar_corridas(corridas, percurso);
  return true;
}

// Orders `itens` by the n keys `chaves` (the items themselves, or the key objects at the start of
// the block), their sort keys read into the block: NATIVO, or TIMSORT with the reason noted
// (nothing moved), or ERRO. A list in order, strictly the other way, or in a few runs is found
// out by its keys, as on the long paths.
Veredito ordenar_pelas_chaves(PyObject** itens, PyObject* const* chaves, Py_ssize_t n, bool reverso,
                              EspacoPequeno& espaco, Percurso* percurso) {
  const auto quantidade = static_cast<std::size_t>(n);
  PyObject* primeira = chaves[0];
  percurso->algoritmo = KEYED_RADIX;
  percurso->pequena = true;
  if (LeitorTexto::aceita(primeira)) {
    percurso->texto = PyBytes_CheckExact(primeira) ? "bytes" : "str";
    if (itens == chaves &&
        fundir_textos_em_corridas(itens, quantidade, reverso, espaco, percurso)) {
      return Veredito::NATIVO;
    }
    LeitorTexto leitor(primeira, chaves, espaco.chaves, reverso);
    if (leitor.ler_todos(chaves, n, [](Py_ssize_t) {}) < n) {
      percurso->motivo = leitor.motivo;
      return Veredito::TIMSORT;
    }
    if (!ordenar_por_corridas_de_textos(itens, chaves, espaco.inicio(), quantidade, leitor, reverso,
                                        false, percurso)) {
      ordenar_textos(itens, chaves, quantidade, leitor, espaco.chaves, false, percurso);
    }
    return Veredito::NATIVO;
  }
  if (PyTuple_CheckExact(primeira)) {
    return ordenar_tuplas_por_colunas(itens, chaves, quantidade, reverso, percurso);
  }
  const std::uint64_t mascara = reverso ? mascara_reversa : mascara_ascendente;
  EstatisticasChaves estat;
  const Py_ssize_t lidas = ler_numeros([chaves](Py_ssize_t i) { return chaves[i]; }, n,
                                       espaco.chaves, mascara, &estat, percurso);
  if (lidas < 0) {
    return Veredito::ERRO;
  }
  if (lidas < n) {
    if (percurso->motivo == MotivoInterpretador::NENHUM) {
      percurso->motivo = MotivoInterpretador::TIPO;
    }
    return Veredito::TIMSORT;
  }
  if (estat.descidas == n - 1) {
    // Strictly descending keys, all distinct: reversed, the items are in stable order.
    std::reverse(itens, itens + n);
    percurso->invertida = true;
  } else if (quantidade <= maior_por_insercao) {
    ordenar_por_insercao(espaco.chaves, itens, quantidade);
  } else if (!ordenar_chaves_por_corridas(itens, espaco.inicio(), quantidade, estat, false,
                                          percurso)) {
    std::uint64_t* outras = espaco.chaves + quantidade;
    auto* outros = reinterpret_cast<PyObject**>(outras + quantidade);
    constexpr std::uint64_t bit_alto = std::uint64_t{1} << 63;
    if (percurso->floats && estat.menor_chave < bit_alto && estat.maior_chave >= bit_alto) {
      radix_bytes_por_sinal(espaco.chaves, outras, itens, outros, quantidade);
    } else {
      radix_bytes(espaco.chaves, outras, itens, outros, quantidade);
    }
  }
  return Veredito::NATIVO;
}

// The positions of up to 255 objects by identity, each object's positions in increasing order:
// an open-addressed table twice as long as they are many, on the stack.
class PosicoesPorIdentidade {
 public:
  PosicoesPorIdentidade(PyObject* const* objetos, std::size_t n)
      : mascara_(std::bit_ceil(2 * n) - 1) {
    std::fill_n(objetos_, mascara_ + 1, nullptr);
    for (std::size_t i = n; i-- > 0;) {  // from the last, so that each chain starts at its first
      const std::size_t k = lugar(objetos[i]);
      seguinte_[i] = objetos_[k] == nullptr ? sem_posicao : primeira_[k];
      objetos_[k] = objetos[i];
      primeira_[k] = static_cast<std::uint8_t>(i);
    }
  }

  // The first position of `objeto` not yet taken (it must have one).
  std::size_t tomar(PyObject* objeto) {
    const std::size_t k = lugar(objeto);
    const std::uint8_t posicao = primeira_[k];
    primeira_[k] = seguinte_[posicao];
    return posicao;
  }

  static constexpr std::size_t maximo = 255;

 private:
  std::size_t lugar(PyObject* objeto) const {
    std::size_t k = (reinterpret_cast<std::uintptr_t>(objeto) >> 4) * 0x9E3779B97F4A7C15u >> 40;
    for (k &= mascara_; objetos_[k] != nullptr && objetos_[k] != objeto; k = (k + 1) & mascara_) {
    }
    return k;
  }

  static constexpr std::uint8_t sem_posicao = 255;  // a chain's end: positions end at 254
  std::size_t mascara_;
  PyObject* objetos_[2 * (maximo + 1)];
  std::uint8_t primeira_[2 * (maximo + 1)];
  std::uint8_t seguinte_[maximo];
};

// An empty list, untracked (gc.get_objects() cannot hand it to anyone), for the keys' sort: the
// one kept between calls where it is free (a comparison may sort again, in this thread or, as it
// runs Python code, in another), a new one otherwise. Its items are lent for the sort, their
// references the caller's, and it is empty again before it is given back.
class ListaDeChaves {
 public:
  ListaDeChaves() {
    if (guardada_ != nullptr && !em_uso_) {
      em_uso_ = true;
      lista_ = Py_NewRef(guardada_);
    } else {
      lista_ = PyList_New(0);
      if (lista_ != nullptr) {
        PyObject_GC_UnTrack(lista_);
        if (guardada_ == nullptr) {
          guardada_ = Py_NewRef(lista_);  // kept for the module's life
          em_uso_ = true;
        }
      }
    }
  }
  ListaDeChaves(const ListaDeChaves&) = delete;
  ListaDeChaves& operator=(const ListaDeChaves&) = delete;
  ~ListaDeChaves() {
    if (lista_ == guardada_) {
      em_uso_ = false;
    }
    Py_XDECREF(lista_);
  }

  explicit operator bool() const { return lista_ != nullptr; }
  PyObject* get() const { return lista_; }

 private:
  PyObject* lista_;
  static inline PyObject* guardada_ = nullptr;
  static inline bool em_uso_ = false;
};

}  // namespace

// The items ordered by the interpreter's sort of their n keys, all computed: a list of the keys
// is ordered by list.sort() (the very comparisons, in the same order, that it makes ordering the
// items by those keys), and each item follows its key, found by identity. Where the sort fails
// part way, the items take the order that it left the keys in, as they would have. For a few
// items this costs far less than replaying the keys through a key function. 0, or -1 with an
// exception set.
int ordenar_pela_ordem_das_chaves(RetencaoLista& retida, PyObject* const* chaves, Py_ssize_t n,
                                  int reverso) {
  ListaDeChaves lista;
  if (!lista) {
    return -1;
  }
  const auto quantidade = static_cast<std::size_t>(n);
  PyObject* ordenadas[PosicoesPorIdentidade::maximo];
  std::copy_n(chaves, quantidade, ordenadas);
  const int resultado =
      ordenar_emprestados_pelo_interpretador(lista.get(), ordenadas, n, nullptr, reverso);
  PosicoesPorIdentidade posicoes(chaves, quantidade);
  PyObject* ordenados[PosicoesPorIdentidade::maximo];
  PyObject** itens = retida.itens();
  for (std::size_t j = 0; j < quantidade; ++j) {
    ordenados[j] = itens[posicoes.tomar(ordenadas[j])];
  }
  std::copy_n(ordenados, quantidade, itens);
  return resultado;
}

int ordenar_lista_pequena(PyObject* lista, Py_ssize_t n, PyObject* funcao_chave, int reverso,
                          Percurso* percurso) {
  EspacoPequeno espaco(static_cast<std::size_t>(n));
  if (espaco.inicio() == nullptr) {
    percurso->motivo = MotivoInterpretador::MEMORIA;
    return ordenar_pelo_interpretador(lista, funcao_chave, reverso);
  }
  RetencaoLista retida(lista);
  PyObject** itens = retida.itens();
  if (funcao_chave == nullptr) {
    const Veredito veredito = ordenar_pelas_chaves(itens, itens, n, reverso != 0, espaco, percurso);
    if (veredito == Veredito::ERRO ||
        (veredito == Veredito::TIMSORT &&
         ordenar_retidos_pelo_interpretador(retida, nullptr, reverso) < 0)) {
      return -1;
    }
    return retida.terminar();
  }
  // Every key, computed once, in item order, kept until the items are in order.
  percurso->chaves = true;
  ReferenciasGuardadas chaves(espaco.objetos_chaves);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* chave = PyObject_CallOneArg(funcao_chave, itens[i]);
    if (chave == nullptr) {
      return -1;
    }
    chaves.guardar(chave);
  }
  const Veredito veredito =
      tipo_de_chave(espaco.objetos_chaves[0], &percurso->motivo) == TipoChave::OUTRO
          ? Veredito::TIMSORT
          : ordenar_pelas_chaves(itens, espaco.objetos_chaves, n, reverso != 0, espaco, percurso);
  if (veredito == Veredito::ERRO) {
    return -1;
  }
  if (veredito == Veredito::TIMSORT) {
    if (ordenar_pela_ordem_das_chaves(retida, espaco.objetos_chaves, n, reverso) < 0) {
      return -1;
    }
  }
  chaves.liberar();
  return retida.terminar();
}

}  // namespace vesksort
