// The readers of sort keys, one per kind of value: each turns the objects of a list (its items,
// or the keys that a key function gave them) into 64-bit keys whose unsigned order is the
// objects' order, one object at a time, in order, and says when an object is not of its kind.
// The drop-in's loop calls the reader of the first object's kind for every object.
#ifndef VESKSORT_LEITORES_H
#define VESKSORT_LEITORES_H

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "temporais.h"
#include "textos.h"
#include "vesksort.h"

namespace vesksort {

// What a reader made of one object.
enum class Leitura {
  LIDA,   // its key is written
  OUTRA,  // it is not of the reader's kind, or not one it can order (the reason is noted)
  ERRO,   // an exception is set
};

// What the two number readers share: where the keys go, the mask that orders them, their
// statistics, and why a value could not be read.
struct LeitorNumerico {
  LeitorNumerico(std::uint64_t* destino, std::uint64_t mascara_chaves)
      : chaves(destino), mascara(mascara_chaves) {}

  Leitura guardar(Py_ssize_t i, std::uint64_t chave) {
    chaves[i] = chave;
    estat.acrescentar(i, chave);
    return Leitura::LIDA;
  }

  std::uint64_t* chaves;
  std::uint64_t mascara;
  EstatisticasChaves estat;
  MotivoInterpretador motivo = MotivoInterpretador::NENHUM;
};

// Exact ints in the signed 64-bit range, and bools where `aceita_bool`.
struct LeitorInt64 : LeitorNumerico {
  using LeitorNumerico::LeitorNumerico;

  Leitura ler(Py_ssize_t i, PyObject* objeto) {
    std::int64_t valor = 0;
    int lido = 0;
    if (PyLong_CheckExact(objeto)) {
      lido = ler_int64_exato(objeto, &valor);
    } else if (aceita_bool && ler_bool(objeto, &valor)) {
      lido = 1;
      ++booleanos;
    }
    if (lido <= 0) {
      motivo =
          PyLong_CheckExact(objeto) ? MotivoInterpretador::FORA_INT64 : MotivoInterpretador::TIPO;
      return lido < 0 ? Leitura::ERRO : Leitura::OUTRA;
    }
    return guardar(i, static_cast<std::uint64_t>(valor) ^ mascara);
  }

  // The smallest and the largest value read (some must have been).
  std::int64_t menor_valor() const {
    return valor(mascara == mascara_ascendente ? estat.menor_chave : estat.maior_chave);
  }
  std::int64_t maior_valor() const {
    return valor(mascara == mascara_ascendente ? estat.maior_chave : estat.menor_chave);
  }

  bool aceita_bool = false;
  std::size_t booleanos = 0;

 private:
  std::int64_t valor(std::uint64_t chave) const {
    return static_cast<std::int64_t>(chave ^ mascara);
  }
};

// Exact floats that are not NaN, and exact ints that a float holds exactly.
struct LeitorFloat : LeitorNumerico {
  using LeitorNumerico::LeitorNumerico;

  // The reader that takes over from an int reader at a float: the ints read so far take the
  // keys of their float values. False, with the reason noted, when one of them is no float.
  bool continuar(const LeitorInt64& inteiros, Py_ssize_t lidas) {
    const auto chave_lida = [this](Py_ssize_t i) -> std::uint64_t& { return chaves[i]; };
    estat = inteiros.estat;
    if (!converter_para_floats(lidas, mascara, chave_lida, &estat)) {
      motivo = MotivoInterpretador::INTEIRO_ALEM_DE_FLOAT;
      return false;
    }
    return true;
  }

  Leitura ler(Py_ssize_t i, PyObject* objeto) {
    std::uint64_t chave;
    const int lido = ler_chave_float(objeto, mascara, &chave, &motivo);
    if (lido <= 0) {
      return lido < 0 ? Leitura::ERRO : Leitura::OUTRA;
    }
    return guardar(i, chave);
  }
};

// Dates, datetimes or timedeltas of the first key's kind (temporais.h), as int64 keys.
struct LeitorDatas : LeitorNumerico {
  using LeitorNumerico::LeitorNumerico;

  Leitura ler(Py_ssize_t i, PyObject* objeto) {
    std::int64_t valor;
    if (temporais.ler(objeto, &valor, &motivo) == 0) {
      return Leitura::OUTRA;
    }
    return guardar(i, static_cast<std::uint64_t>(valor) ^ mascara);
  }

  LeitorTemporal temporais;
};

// The keys of objeto(inicio) ... objeto(n - 1) by `leitor`: n, the index of the first it could
// not read, or -1. A loop of its own, out of line: inlined into its caller, its registers spilled.
// A reader that copies as plain bytes works on a copy of its own, its statistics kept in
// registers rather than stored and loaded again for every key.
template <class Leitor, class Objeto>
[[gnu::noinline]] Py_ssize_t ler_desde(Leitor& leitor, Objeto objeto, Py_ssize_t inicio,
                                       Py_ssize_t n) {
  const auto ler_com = [&](Leitor& quem) -> Py_ssize_t {
    for (Py_ssize_t i = inicio; i < n; ++i) {
      const Leitura lida = quem.ler(i, objeto(i));
      if (lida != Leitura::LIDA) {
        return lida == Leitura::ERRO ? -1 : i;
      }
    }
    return n;
  };
  if constexpr (std::is_trivially_copyable_v<Leitor>) {
    Leitor local = leitor;
    const Py_ssize_t lidas = ler_com(local);
    leitor = local;
    return lidas;
  } else {
    return ler_com(leitor);
  }
}

// The number keys of objeto(0) ... objeto(n - 1) (ints and bools, floats with ints among them,
// or dates and times of one kind), by the reader of the first one's kind, into `chaves`: the count
// read (n, or less where one is of another kind, the reason in `percurso`), or -1.
template <class Objeto>
Py_ssize_t ler_numeros(Objeto objeto, Py_ssize_t n, std::uint64_t* chaves, std::uint64_t mascara,
                       EstatisticasChaves* estat, Percurso* percurso) {
  PyObject* primeiro = objeto(0);
  const auto todos = [&](auto& leitor, Py_ssize_t inicio) {
    return ler_desde(leitor, objeto, inicio, n);
  };
  if (LeitorDatas datas{chaves, mascara};
      !numero_exato(primeiro) && datas.temporais.comecar(primeiro)) {
    percurso->temporal = datas.temporais.nome();
    const Py_ssize_t lidas = todos(datas, 0);
    percurso->motivo = datas.motivo;
    *estat = datas.estat;
    return lidas;
  }
  LeitorInt64 inteiros{chaves, mascara};
  inteiros.aceita_bool = true;
  Py_ssize_t lidas = todos(inteiros, 0);
  percurso->motivo = inteiros.motivo;
  percurso->booleanos = inteiros.booleanos;
  *estat = inteiros.estat;
  if (lidas >= 0 && lidas < n && PyFloat_CheckExact(objeto(lidas))) {
    percurso->floats = true;
    LeitorFloat floats{chaves, mascara};
    lidas = floats.continuar(inteiros, lidas) ? todos(floats, lidas) : lidas;
    percurso->motivo = lidas < n ? floats.motivo : MotivoInterpretador::NENHUM;
    *estat = floats.estat;
  }
  return lidas;
}

// The kinds of key that a native path orders, as the first key tells.
enum class TipoChave { INT64, FLOAT, TUPLA, TEXTO, TEMPORAL, OUTRO };

// The kind of `chave`; OUTRO with the reason in *motivo.
TipoChave tipo_de_chave(PyObject* chave, MotivoInterpretador* motivo);

// The interpreter's sort of the held items, handed the `prontas` keys computed so far in
// `chaves` (references it takes over) by a one-shot replay that calls `funcao_chave` for the
// items that follow. 0, or -1 with an exception set.
int entregar_ao_interpretador(RetencaoLista& retida, PyObject** chaves, Py_ssize_t prontas,
                              PyObject* funcao_chave, int reverso);

// String keys `textos` that `leitor` read, their prefix keys at `bloco + n` (4n words, the first
// n free or holding `textos`, the last 2n free), in a few runs: `itens` merged by them, where that
// costs less than the prefix keys' sort. False, with nothing moved, otherwise.
bool ordenar_por_corridas_de_textos(PyObject** itens, PyObject* const* textos, std::uint64_t* bloco,
                                    std::size_t n, const LeitorTexto& leitor, bool reverso,
                                    bool liberar, Percurso* percurso);

// Number keys at `bloco + n` (4n words, the last 2n free), in a few runs: `itens` merged by them,
// where that costs less than radix passes. False, the keys as they were, otherwise.
bool ordenar_chaves_por_corridas(PyObject** itens, std::uint64_t* bloco, std::size_t n,
                                 const EstatisticasChaves& estat, bool liberar, Percurso* percurso);

// Exact tuples: their columns are read once all of them are in.
struct LeitorTupla {
  MotivoInterpretador motivo = MotivoInterpretador::NENHUM;

  Leitura ler(Py_ssize_t, PyObject* objeto) {
    if (!PyTuple_CheckExact(objeto)) {
      motivo = MotivoInterpretador::NAO_TUPLA;
      return Leitura::OUTRA;
    }
    return Leitura::LIDA;
  }
};

static_assert(offsetof(PyBytesObject, ob_sval) > 7 && sizeof(PyASCIIObject) > 7);

// Exact str, or exact bytes, as the first object is: the key of each one's first 7 bytes (see
// textos.h). A str list is read as bytes while its strings are Latin-1, and in the dense code from
// its first wider string on: the keys before it are read again then, unless they were all
// ASCII, whose bytes are their code.
class LeitorTexto {
 public:
  // `textos` is where the objects read so far stay: the list's items, or the keys kept.
  LeitorTexto(PyObject* primeiro, PyObject* const* textos, std::uint64_t* chaves, bool reverso)
      : textos_(textos),
        chaves_(chaves),
        mascara_(reverso ? ~std::uint64_t{0} : 0),
        tipo_(Py_TYPE(primeiro)) {}

  static bool aceita(PyObject* objeto) {
    return PyUnicode_CheckExact(objeto) || PyBytes_CheckExact(objeto);
  }
  // A bytes object, and a compact str, keep their data after a header of more than 7 bytes and
  // end it with a zero byte.
  static VistaTexto vista(PyObject* objeto) {
    if (PyBytes_CheckExact(objeto)) {
      return VistaTexto{PyBytes_AS_STRING(objeto),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(objeto)), 1, true};
    }
    return VistaTexto{PyUnicode_DATA(objeto),
                      static_cast<std::size_t>(PyUnicode_GET_LENGTH(objeto)),
                      static_cast<int>(PyUnicode_KIND(objeto)), PyUnicode_IS_COMPACT(objeto) != 0};
  }

  // The key of `objeto` from `posicao` on (ascending): in the dense code where the list is read
  // so (`codificado`), but for an ASCII str, whose bytes are its code.
  static std::uint64_t chave_em(PyObject* objeto, const VistaTexto& texto, PosicaoTexto posicao,
                                bool codificado) {
    return codificado && PyUnicode_CheckExact(objeto) && !PyUnicode_IS_ASCII(objeto)
               ? chave_codificada_em(texto, posicao)
               : chave_bruta(texto, posicao.indice);
  }

  Leitura ler(Py_ssize_t i, PyObject* objeto) {
    if (Py_TYPE(objeto) != tipo_) {
      motivo = MotivoInterpretador::NAO_TEXTO;
      return Leitura::OUTRA;
    }
    ler_chave(i, objeto, estat);
    return Leitura::LIDA;
  }

  // The same over origem[0] ... origem[n - 1], the statistics kept in registers, with
  // ao_ler(i) after each one read, while its memory is in the cache: returns how many were read
  // (n, or the index of the first that is not of the kind).
  template <class AoLer>
  Py_ssize_t ler_todos(PyObject* const* origem, Py_ssize_t n, AoLer ao_ler) {
    EstatisticasChaves local = estat;
    Py_ssize_t i = 0;
    for (; i < n; ++i) {
      // The strings may lie anywhere in memory: fetching ahead overlaps the cache misses.
      // Its first bytes may lie on the line after its header's.
      if (i + distancia_prefetch < n) {
        __builtin_prefetch(origem[i + distancia_prefetch], 1);  // a copy writes its count
        __builtin_prefetch(reinterpret_cast<const char*>(origem[i + distancia_prefetch]) + 63);
      }
      if (Py_TYPE(origem[i]) != tipo_) {
        motivo = MotivoInterpretador::NAO_TEXTO;
        break;
      }
      ler_chave(i, origem[i], local);
      ao_ler(i);
    }
    estat = local;
    return i;
  }

  bool codificado() const { return codificado_; }
  bool bytes() const { return tipo_ == &PyBytes_Type; }
  std::uint64_t mascara() const { return mascara_; }
  // The code points that every string shares, skipped by the keys.
  std::size_t inicio() const { return inicio_; }
  // The keys read, as the radix sort's first reads would find them.
  void resumir(ResumoChaves* resumo) const {
    resumo->menor = estat.menor_chave;
    resumo->maior = estat.maior_chave;
    std::memcpy(resumo->primeiros_bytes, primeiros_bytes_, sizeof(primeiros_bytes_));
  }

  EstatisticasChaves estat;
  MotivoInterpretador motivo = MotivoInterpretador::NENHUM;

 private:
  // The first strings tell what the strings may share (URLs, paths, dates, identifiers with a
  // common head): the keys start after it, and every later string is checked against it.
  static constexpr Py_ssize_t amostra_inicio = 16;

  [[gnu::always_inline]] void ler_chave(Py_ssize_t i, PyObject* objeto,
                                        EstatisticasChaves& contadas) {
    const VistaTexto texto = vista(objeto);
    if (inicio_ > 0 && !partilha_inicio(texto)) [[unlikely]] {
      recomecar(i, 0, contadas);
    }
    if (tipo_ == &PyUnicode_Type) {
      if (!codificado_ && PyUnicode_KIND(objeto) != PyUnicode_1BYTE_KIND) {
        codificado_ = true;
        if (!todos_ascii_) {
          recomecar(i, inicio_, contadas);
        }
      }
      todos_ascii_ &= PyUnicode_IS_ASCII(objeto) != 0;
    }
    guardar(i, chave_em(objeto, texto, PosicaoTexto{inicio_, 0}, codificado_), contadas);
    if (i == amostra_inicio - 1 && !desistiu_) [[unlikely]] {
      medir_inicio(contadas);
    }
  }
  void guardar(Py_ssize_t i, std::uint64_t chave, EstatisticasChaves& contadas) {
    chave ^= mascara_;
    chaves_[i] = chave;
    contadas.acrescentar(i, chave);
    ++primeiros_bytes_[chave >> 56];
  }
  [[gnu::noinline]] static std::uint64_t chave_codificada_em(const VistaTexto& texto,
                                                             PosicaoTexto posicao) {
    return chave_codificada(texto, posicao);
  }
  bool partilha_inicio(const VistaTexto& texto) const {
    if (texto.comprimento < inicio_) {
      return false;
    }
    if (texto.dados == referencia_.dados) {
      return true;  // the first string itself, met again
    }
    if (texto.largura == referencia_.largura) {
      return std::memcmp(texto.dados, referencia_.dados,
                         inicio_ * static_cast<std::size_t>(texto.largura)) == 0;
    }
    return prefixo_comum(referencia_, texto, 0) >= inicio_;
  }
  // The keys of the strings before `lidos` again, from code point `inicio` on.
  [[gnu::noinline]] void recomecar(Py_ssize_t lidos, std::size_t inicio,
                                   EstatisticasChaves& contadas) {
    desistiu_ = desistiu_ || inicio < inicio_;
    inicio_ = inicio;
    contadas = EstatisticasChaves{};
    std::memset(primeiros_bytes_, 0, sizeof(primeiros_bytes_));
    for (Py_ssize_t j = 0; j < lidos; ++j) {
      guardar(j, chave_em(textos_[j], vista(textos_[j]), PosicaoTexto{inicio_, 0}, codificado_),
              contadas);
    }
  }
  [[gnu::noinline]] void medir_inicio(EstatisticasChaves& contadas) {
    referencia_ = vista(textos_[0]);
    std::size_t comum = referencia_.comprimento;
    for (Py_ssize_t j = 1; j < amostra_inicio && comum > 0; ++j) {
      const std::size_t partilhado = prefixo_comum(referencia_, vista(textos_[j]), 0);
      comum = partilhado < comum ? partilhado : comum;
    }
    if (comum > 0) {
      recomecar(amostra_inicio, comum, contadas);
    }
  }

  PyObject* const* textos_;
  std::uint64_t* chaves_;
  std::uint64_t mascara_;
  PyTypeObject* tipo_;
  bool codificado_ = false;
  bool todos_ascii_ = true;
  std::size_t inicio_ = 0;
  VistaTexto referencia_{};
  std::uint32_t primeiros_bytes_[256] = {};  // how many keys have each value of their top byte
  bool desistiu_ = false;  // a string did not share what the first ones did: none is skipped
};

// The order of two strings of one kind, as a sort asks for it (descending with `reverso`); one
// object met twice is equal to itself without a look at its bytes.
struct CompararTextos {
  bool reverso;

  // A key that orders two compact ASCII strings wherever it differs: their first 7 bytes and
  // how many follow. Other strings have sem_chave_rapida, which no such key holds (its top bit):
  // a merge builds each item's key once, however many comparisons the item takes part in.
  static constexpr std::uint64_t sem_chave_rapida = ~std::uint64_t{0};
  [[gnu::always_inline]] static std::uint64_t chave_rapida(PyObject* texto) {
    return Py_TYPE(texto) == &PyUnicode_Type && PyUnicode_IS_COMPACT_ASCII(texto)
               ? chave_bruta(vista_ascii(texto), 0)
               : sem_chave_rapida;
  }

  // The order of a and b, whose quick keys are chave_a and chave_b.
  [[gnu::always_inline]] int com_chaves(PyObject* a, std::uint64_t chave_a, PyObject* b,
                                        std::uint64_t chave_b) const {
    // Compact ASCII strings, the most common, are mostly told apart by their keys, inlined into
    // the merges' loops; the rest is out of them.
    if (((chave_a | chave_b) >> 63) == 0) {
      if (chave_a != chave_b) {
        return (chave_a < chave_b) != reverso ? -1 : 1;
      }
      return comparar_ascii(a, b);
    }
    return comparar_devagar(a, b);
  }

  [[gnu::always_inline]] int operator()(PyObject* a, PyObject* b) const {
    return com_chaves(a, chave_rapida(a), b, chave_rapida(b));
  }

  // A string's header, and the line after it, where a short string keeps its first bytes.
  static void buscar(PyObject* texto) {
    __builtin_prefetch(texto);
    __builtin_prefetch(reinterpret_cast<const char*>(texto) + 63);
  }

 private:
  // Compact ASCII strings equal in their first 7 bytes (equal strings, as distinct objects, most
  // often): bytes are code points, and the shorter of two strings equal as far as it goes comes
  // first. Out of line, as the general comparison is, so that the merges' loops stay small.
  [[gnu::noinline]] int comparar_ascii(PyObject* a, PyObject* b) const {
    const auto tamanho_a = static_cast<std::size_t>(PyUnicode_GET_LENGTH(a));
    const auto tamanho_b = static_cast<std::size_t>(PyUnicode_GET_LENGTH(b));
    int ordem = std::memcmp(reinterpret_cast<const PyASCIIObject*>(a) + 1,
                            reinterpret_cast<const PyASCIIObject*>(b) + 1,
                            tamanho_a < tamanho_b ? tamanho_a : tamanho_b);
    ordem =
        ordem != 0 ? (ordem > 0) - (ordem < 0) : (tamanho_a > tamanho_b) - (tamanho_a < tamanho_b);
    return reverso ? -ordem : ordem;
  }

  static VistaTexto vista_ascii(PyObject* texto) {
    return VistaTexto{reinterpret_cast<const PyASCIIObject*>(texto) + 1,
                      static_cast<std::size_t>(PyUnicode_GET_LENGTH(texto)), 1, true};
  }

  [[gnu::noinline]] int comparar_devagar(PyObject* a, PyObject* b) const {
    if (a == b) {
      return 0;
    }
    const int ordem = comparar_textos(LeitorTexto::vista(a), LeitorTexto::vista(b), 0);
    return reverso ? -ordem : ordem;
  }
};

// How many comparisons a merge of the runs of n strings may make where prefix keys would do
// instead. Within the caches a comparison costs little beside a level of keys; beyond them it
// costs a cache miss for each of its strings, where the keys are read in order: there the merge
// must leave most strings where they are, as the items appended to a sorted list do.
inline std::uint64_t orcamento_de_fusao_textos(std::size_t n) {
  constexpr std::size_t menor_alem_dos_caches = std::size_t{1} << 17;
  return n < menor_alem_dos_caches ? 3 * static_cast<std::uint64_t>(n) : n / 2;
}

}  // namespace vesksort

#endif
