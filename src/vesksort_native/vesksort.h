// Shared types of the _vesksort module and the interface of its integer kernels.
//
// The kernels (nucleo_*.cpp) are pure array code: they never call the interpreter, never
// allocate and never touch a reference count. Object pointers pass through them as opaque
// values. The interpreter glue around them lives in ordenacao_nativa.cpp.
#ifndef VESKSORT_VESKSORT_H
#define VESKSORT_VESKSORT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "corridas.h"
#include "numeros.h"
#include "recursos.h"

namespace vesksort {

// Result shape that a wrapper asks of a core.
enum TipoRetorno {
  RETORNO_LISTA = 0,
  RETORNO_DIAGNOSTICO = 1,
  RETORNO_NONE = 2,
  RETORNO_ESTRATEGIA = 3,
  RETORNO_DIAGNOSTICO_ESTRUTURADO = 4,
};

// Where the keyed core takes its keys from.
enum ModoChaveKeyed {
  KEYED_CHAVE_DIRETA = 0,
  KEYED_CACHE_COMPLETO = 1,
  KEYED_CACHE_PREFIXO = 2,
};

// The path that a keyed sort took.
enum AlgoritmoKeyed {
  KEYED_TRIVIAL = 0,
  KEYED_JA_ORDENADO = 1,
  KEYED_COUNTING = 2,
  KEYED_RADIX = 3,
};

// One object of the list being sorted (borrowed: the list keeps it alive) and its sort key.
struct Entrada {
  PyObject* objeto;
  std::uint64_t chave;
};

// ---- Keys and digits ----------------------------------------------------------------------

inline constexpr int bits_digito = 11;
inline constexpr std::uint64_t mascara_digito = 0x7FF;
inline constexpr std::size_t tamanho_tabela_digitos = 2048;
inline constexpr int deslocamentos_digitos[] = {0, 11, 22, 33, 44, 55};

// Flipping the sign bit makes unsigned order of the keys equal signed order of the values;
// flipping every other bit instead makes it the reverse order.
inline constexpr std::uint64_t mascara_ascendente = 0x8000000000000000ULL;
inline constexpr std::uint64_t mascara_reversa = 0x7FFFFFFFFFFFFFFFULL;

constexpr std::uint64_t chave_ordenavel(std::int64_t valor) {
  return static_cast<std::uint64_t>(valor) ^ mascara_ascendente;
}

// Number of 11-bit digits in which the keys vary: the number of radix passes.
constexpr int contar_digitos_variaveis(std::uint64_t variacao) {
  int digitos = 0;
  for (int deslocamento : deslocamentos_digitos) {
    digitos += ((variacao >> deslocamento) & mascara_digito) != 0;
  }
  return digitos;
}

// Number of 11-bit digits needed to write `amplitude`.
constexpr int contar_digitos_amplitude(std::uint64_t amplitude) {
  int digitos = 0;
  for (std::uint64_t restante = amplitude; restante != 0; restante >>= bits_digito) {
    ++digitos;
  }
  return digitos;
}

// Running statistics of a sequence of sort keys, as the kernel choice needs them.
struct EstatisticasChaves {
  std::uint64_t primeira_chave = 0;
  std::uint64_t chave_anterior = 0;
  std::uint64_t menor_chave = UINT64_MAX;
  std::uint64_t maior_chave = 0;
  std::uint64_t variacao = 0;  // bits in which some key differs from the first one
  Py_ssize_t descidas = 0;     // pairs whose second key is smaller
  Py_ssize_t subidas = 0;      // pairs whose second key is larger

  void acrescentar(Py_ssize_t i, std::uint64_t chave) {
    menor_chave = chave < menor_chave ? chave : menor_chave;
    maior_chave = chave > maior_chave ? chave : maior_chave;
    if (i == 0) {
      primeira_chave = chave;
    } else {
      variacao |= chave ^ primeira_chave;
      descidas += chave < chave_anterior;
      subidas += chave > chave_anterior;
    }
    chave_anterior = chave;
  }
};

// The int keys chave(0) ... chave(quantidade - 1), written under `mascara`, become the keys of
// their float values (see numeros.h), and *estat is counted afresh over them; false, keys partly
// converted, when one of the ints lies beyond 2**53 in magnitude.
template <class Chave>
bool converter_para_floats(Py_ssize_t quantidade, std::uint64_t mascara, Chave chave,
                           EstatisticasChaves* estat) {
  EstatisticasChaves convertidas;
  for (Py_ssize_t i = 0; i < quantidade; ++i) {
    std::uint64_t& convertida = chave(i);
    if (!converter_chave_inteira(convertida, mascara)) {
      return false;
    }
    convertidas.acrescentar(i, convertida);
  }
  *estat = convertidas;
  return true;
}

// Rebase the keys to 0 ... amplitude by subtracting the smallest; each returns the mask of bits
// in which the rebased keys vary. Rebasing makes counting possible, or saves radix passes.
inline std::uint64_t normalizar_entradas(Entrada* entradas, Py_ssize_t n, std::uint64_t menor) {
  std::uint64_t variacao = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    entradas[i].chave -= menor;
    variacao |= entradas[i].chave;
  }
  return variacao;
}

inline std::uint64_t normalizar_chaves(std::uint64_t* chaves, Py_ssize_t n, std::uint64_t menor) {
  std::uint64_t variacao = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    chaves[i] -= menor;
    variacao |= chaves[i];
  }
  return variacao;
}

// How many elements ahead a scan over the list's objects fetches the next object's memory.
inline constexpr Py_ssize_t distancia_prefetch = 16;

// Float objects compared by value, as the interpreter's sort compares exact floats, where
// `valida` accepts both: exact, and not NaN.
struct CompararFloats {
  bool reverso;
  static bool valida(PyObject* objeto) {
    return PyFloat_CheckExact(objeto) && !std::isnan(PyFloat_AS_DOUBLE(objeto));
  }
  int operator()(PyObject* a, PyObject* b) const {
    const double x = PyFloat_AS_DOUBLE(a);
    const double y = PyFloat_AS_DOUBLE(b);
    const int ordem = (x > y) - (x < y);
    return reverso ? -ordem : ordem;
  }
  static void buscar(PyObject* numero) { __builtin_prefetch(numero); }
};

// Key functions mostly read a field of their item. For a tuple, fetching its first fields too
// overlaps the second cache miss; the tuple itself was fetched further ahead.
inline void buscar_campos(PyObject* item) {
  if (PyTuple_CheckExact(item)) {
    const Py_ssize_t campos = PyTuple_GET_SIZE(item) < 2 ? PyTuple_GET_SIZE(item) : 2;
    for (Py_ssize_t j = 0; j < campos; ++j) {
      __builtin_prefetch(PyTuple_GET_ITEM(item, j));
      __builtin_prefetch(reinterpret_cast<const char*>(PyTuple_GET_ITEM(item, j)) + 63);
    }
  }
}

// ---- Scratch blocks ------------------------------------------------------------------------
//
// A native sort takes all of its scratch in one block, grown in place where a kernel needs
// more. glibc keeps a freed block for the next call, up to twice the largest block that it has
// mapped and given back, but gives two equal ones back; and a page mapped afresh costs more
// than sorting what it holds.

// Bytes that a stable counting sort needs beside the list: 32-bit keys, the output and the
// counts.
inline std::size_t bytes_contagem(std::size_t n, std::uint64_t amplitude) {
  return 12 * n + 8 * (static_cast<std::size_t>(amplitude) + 1);
}

// The room of a counting sort in a block of `bytes` (at least bytes_contagem, and at least 4n
// beyond the keys or records at its start): the 32-bit keys at the end, the counts at the start
// and the output after them. The keys are narrowed out of the start before the counts and the
// output overwrite it.
struct AreaContagem {
  std::uint32_t* chaves;
  Py_ssize_t* contagem;
  PyObject** saida;
};

inline AreaContagem area_contagem(void* bloco, std::size_t bytes, std::size_t n,
                                  std::uint64_t amplitude) {
  auto* base = static_cast<unsigned char*>(bloco);
  return AreaContagem{
      reinterpret_cast<std::uint32_t*>(base + bytes - 4 * n),
      reinterpret_cast<Py_ssize_t*>(base),
      reinterpret_cast<PyObject**>(base + 8 * (static_cast<std::size_t>(amplitude) + 1)),
  };
}

// ---- Kernels (pure) -----------------------------------------------------------------------

// The most times that a radix sort splits a part of its array by the part's highest digit: it
// leaves at least two digits to sort inside the part.
inline constexpr int niveis_particao = static_cast<int>(std::size(deslocamentos_digitos)) - 2;

// The counters of one radix sort: the boundaries of the parts at each level of splitting, and
// one table for the passes inside a part.
struct TabelasRadix {
  Py_ssize_t fins[niveis_particao][tamanho_tabela_digitos];
  Py_ssize_t parte[tamanho_tabela_digitos];
  // The counts of every digit at once, from one read of the keys (fewer than 2**32 of them).
  std::uint32_t digitos[std::size(deslocamentos_digitos)][tamanho_tabela_digitos];
};

// The tables stand in the call's scratch block, after its arrays, rather than on the stack: their
// 128 KiB would overflow the stack of a thread started after threading.stack_size(64 * 1024).
inline constexpr std::size_t palavras_tabelas_radix = (sizeof(TabelasRadix) + 7) / 8;
inline constexpr std::size_t entradas_tabelas_radix = palavras_tabelas_radix / 2;
static_assert(palavras_tabelas_radix % 2 == 0 && alignof(TabelasRadix) <= 8);

// The tables at `lugar`, in a block from the interpreter's allocator (aligned for any of them).
inline TabelasRadix& tabelas_radix_em(void* lugar) { return *static_cast<TabelasRadix*>(lugar); }

// Stable LSD radix sort of n records on the digits in which `variacao` is non-zero. `a` holds
// the records in input order, `b` is scratch of the same size. Returns whichever of `a` and `b`
// holds the records in ascending key order.
Entrada* radix_entradas(Entrada* a, Entrada* b, std::size_t n, std::uint64_t variacao,
                        TabelasRadix& tabelas);

// The same sort over keys in an array of their own beside the list's item array `itens`, with
// `objetos_destino` as scratch for the objects: on return `itens` holds the objects in ascending
// key order. `chaves_a` holds the keys of `itens` in input order, `chaves_b` is scratch. Returns
// whichever of the two key arrays holds the final keys.
// The same sort over keys with 32-bit row numbers beside them, in arrays of their own: side a
// holds the keys and rows in input order, side b is scratch. Returns 0 when side a holds the
// result, 1 when side b does. n is at most 2**32.
int radix_linhas(std::uint64_t* chaves_a, std::uint64_t* chaves_b, std::uint32_t* linhas_a,
                 std::uint32_t* linhas_b, std::size_t n, std::uint64_t variacao,
                 TabelasRadix& tabelas);

std::uint64_t* radix_compacto(std::uint64_t* chaves_a, std::uint64_t* chaves_b, PyObject** itens,
                              PyObject** objetos_destino, std::size_t n, std::uint64_t variacao,
                              TabelasRadix& tabelas);

// Stable counting sort: `saida` receives `objetos` in ascending order of `chaves` (0 to
// `amplitude`). `contagem` holds `amplitude` + 1 zeroed counters.
void contagem_estavel(const std::uint32_t* chaves, PyObject* const* objetos, PyObject** saida,
                      std::size_t n, Py_ssize_t* contagem, std::uint64_t amplitude);

// One column of tuples: the smallest and largest key of the items present, whether some tuple
// ends before it, and the bits that its packed keys take (0: it decides nothing).
struct ColunaTupla {
  std::uint64_t menor;
  std::uint64_t maior;
  std::uint64_t ausencias;  // 1 when some tuple ends before this column, else 0
  int largura;
};

// Bits needed to write `valor`.
int largura_bits(std::uint64_t valor);

// Packs the columns (column c of row i at colunas[c * n + i]; a row shorter than the column,
// by `comprimentos` when not null, has none) into 64-bit words, in order, as many columns to a
// word as fit: word k is written over column k. Descending when `reverso`. Returns the number of
// words; variacoes[k] receives the bits in which word k varies.
int empacotar_colunas(std::uint64_t* colunas, const std::uint32_t* comprimentos, std::size_t n,
                      const ColunaTupla* descricao, int quantidade_colunas, bool reverso,
                      std::uint64_t* variacoes);

// Stable LSD sort of the rows 0 ... n - 1 (at most 2**32) by their words (word k at
// palavras[k * n]), the last word first, with 32-bit row numbers beside the keys of the word being
// sorted: 12 bytes per row and side. The last word's column is used up as the keys' first side;
// `chaves` is their other side (n keys), `linhas` room for 2n row numbers. Returns the rows in
// order (in `linhas`).
const std::uint32_t* ordenar_linhas(std::uint64_t* palavras, int quantidade_palavras, std::size_t n,
                                    const std::uint64_t* variacoes, std::uint64_t* chaves,
                                    std::uint32_t* linhas, TabelasRadix& tabelas);

// What a read of n keys learns on the way: the smallest and the largest, and how many have each
// value of the highest byte.
struct ResumoChaves {
  std::uint64_t menor;
  std::uint64_t maior;
  std::uint32_t primeiros_bytes[256];
};

// From this many keys on, a radix sort of strings' prefix keys given room for 65536 counts
// (palavras_contagem_larga words) splits them first by two bytes.
inline constexpr std::size_t menor_lista_por_dois_bytes = std::size_t{1} << 15;
inline constexpr std::size_t palavras_contagem_larga = 65536 * sizeof(std::uint32_t) / 8;
// The words that a sort of n strings takes beyond its keys and rows: the counts of that split.
inline std::size_t palavras_alem_das_linhas(std::size_t n) {
  return n >= menor_lista_por_dois_bytes ? palavras_contagem_larga : 0;
}

// Stable MSD radix sort, byte by byte, of n keys (at most 2**32) and the 32-bit row numbers beside
// them: `chaves` and `linhas` in input order on entry, in key order on return; the other two
// arrays are scratch of the same sizes. `resumo`, when not null, summarises the n keys, and saves
// the sort its first reads of them. `contagem_larga`, when not null, is room for 65536 counts.
void radix_bytes(std::uint64_t* chaves, std::uint64_t* chaves_outras, std::uint32_t* linhas,
                 std::uint32_t* linhas_outras, std::size_t n, const ResumoChaves* resumo = nullptr,
                 std::uint32_t* contagem_larga = nullptr);
// The same with an object beside each key instead of a row number.
void radix_bytes(std::uint64_t* chaves, std::uint64_t* chaves_outras, PyObject** objetos,
                 PyObject** objetos_outros, std::size_t n, const ResumoChaves* resumo = nullptr,
                 std::uint32_t* contagem_larga = nullptr);
// The same, the keys first parted by their top bit: the keys of floats of both signs, whose next
// bits (the exponent) vary little within a sign, would otherwise spend a split of a few hundred
// counts on two of them.
void radix_bytes_por_sinal(std::uint64_t* chaves, std::uint64_t* chaves_outras, PyObject** objetos,
                           PyObject** objetos_outros, std::size_t n);

// ---- Interpreter glue ---------------------------------------------------------------------

// A counting sort in `area`: the n keys chave(0) ... chave(n - 1), rebased to 0 ... amplitude and
// read before anything is written over them, are narrowed into area.chaves, the counts are
// zeroed, and area.saida receives `objetos` in key order, without the lock when `liberar_gil`.
template <class Chave>
void contar_na_area(const AreaContagem& area, Chave chave, PyObject* const* objetos, std::size_t n,
                    std::uint64_t amplitude, bool liberar_gil) {
  for (std::size_t i = 0; i < n; ++i) {
    area.chaves[i] = static_cast<std::uint32_t>(chave(i));
  }
  std::memset(area.contagem, 0, (static_cast<std::size_t>(amplitude) + 1) * sizeof(Py_ssize_t));
  LiberacaoGil sem_gil(liberar_gil);
  contagem_estavel(area.chaves, objetos, area.saida, n, area.contagem, amplitude);
}

// The item array of an exact list, read and written directly by the cores.
inline PyObject** itens_da_lista(PyObject* lista) {
  return reinterpret_cast<PyListObject*>(lista)->ob_item;
}

// Exact int to signed 64-bit. Returns 1 with *valor set, 0 when the value lies outside the
// signed 64-bit range (no exception is left set), -1 with an exception set on any other
// failure. Same results as PyLong_AsLongLong; the digits are read in place, which is several
// times cheaper for the values that do not fit a single digit.
inline int ler_int64_exato(PyObject* inteiro, std::int64_t* valor) {
#if PYLONG_BITS_IN_DIGIT == 30 && defined(_PyLong_NON_SIZE_BITS) && defined(_PyLong_SIGN_MASK) && \
    !defined(VESKSORT_SEM_INTERNOS)
  const auto* longo = reinterpret_cast<const PyLongObject*>(inteiro);
  if (PyUnstable_Long_IsCompact(longo)) {
    *valor = PyUnstable_Long_CompactValue(longo);
    return 1;
  }
  const std::uintptr_t etiqueta = longo->long_value.lv_tag;
  const std::uintptr_t quantidade_digitos = etiqueta >> _PyLong_NON_SIZE_BITS;
  const digit* digitos = longo->long_value.ob_digit;
  std::uint64_t magnitude;
  if (quantidade_digitos == 2) {
    magnitude = digitos[0] | static_cast<std::uint64_t>(digitos[1]) << 30;
  } else if (quantidade_digitos == 3 && digitos[2] < 16) {
    magnitude = digitos[0] | static_cast<std::uint64_t>(digitos[1]) << 30 |
                static_cast<std::uint64_t>(digitos[2]) << 60;
  } else {
    return 0;
  }
  // The sign without a branch (random values are negative half of the time): 1 when negative,
  // which the tag's sign field writes as 2. A negative magnitude may be one larger.
  const std::uint64_t negativo = (etiqueta & _PyLong_SIGN_MASK) >> 1;
  if (magnitude - negativo > 0x7FFFFFFFFFFFFFFFULL) {
    return 0;
  }
  *valor = static_cast<std::int64_t>((magnitude ^ (0 - negativo)) + negativo);
  return 1;
#else
  const long long convertido = PyLong_AsLongLong(inteiro);
  if (convertido == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
      return -1;
    }
    PyErr_Clear();
    return 0;
  }
  *valor = convertido;
  return 1;
#endif
}

// The drop-ins read a bool wherever they read ints: False and True are the ints 0 and 1, equal
// to 0, 1, 0.0 and 1.0, as the interpreter compares them.
inline bool ler_bool(PyObject* objeto, std::int64_t* valor) {
  if (!PyBool_Check(objeto)) {
    return false;
  }
  *valor = objeto == Py_True ? 1 : 0;
  return true;
}

// Whether `objeto` is read as a number by the drop-ins: an exact int or float, or a bool.
inline bool numero_exato(PyObject* objeto) {
  return PyLong_CheckExact(objeto) || PyFloat_CheckExact(objeto) || PyBool_Check(objeto);
}

// Why a drop-in call left a list to the interpreter's sort.
enum class MotivoInterpretador {
  NENHUM,
  LISTA_CURTA,
  TIPO,                   // a value, or key, that is not an exact int or float
  NAO_NUMERO,             // a float NaN
  FORA_INT64,             // an int outside the signed 64-bit range
  INTEIRO_ALEM_DE_FLOAT,  // an int beyond 2**53 in magnitude among floats
  QUASE_MONOTONICA,
  NAO_TUPLA,       // among tuples, something that is not an exact tuple
  TUPLA_LONGA,     // a tuple of more than 32 items
  COLUNA_CHEIA,    // tuples of different lengths, with a column whose values span all 2**64 keys
  MEMORIA,         // no memory for the native scratch: the interpreter's sort needs less
  NAO_TEXTO,       // among exact str (or bytes), something else
  NAO_TEMPORAL,    // among dates, datetimes or timedeltas, something of another type
  FUSO_DIFERENTE,  // datetimes with different tzinfo objects
  DURACAO_LONGA,   // a timedelta whose microseconds pass the int64 range
  COLUNA_MISTA,    // tied tuples whose items in a column do not order natively together
};

// The path of a drop-in call, for explain(): the key kind and kernel of a native sort, or why
// the interpreter's sort took the list.
struct Percurso {
  bool chaves = false;             // ordered by a key function's results
  bool floats = false;             // keys of float values (floats, and ints among them)
  bool tuplas = false;             // tuples, ordered column by column
  const char* texto = nullptr;     // "str" or "bytes": strings, ordered by prefix keys
  const char* temporal = nullptr;  // "date", "datetime" or "timedelta", read as int64 keys
  AlgoritmoKeyed algoritmo = KEYED_TRIVIAL;
  int passagens = 0;
  int palavras = 1;             // 64-bit words into which the columns of tuples were packed
  bool invertida = false;       // strictly descending keys, reversed
  std::size_t corridas = 0;     // natural runs merged (more than one)
  std::size_t booleanos = 0;    // bools read among the ints
  Py_ssize_t colunas = 0;       // columns of tuples read one at a time, for the rows tied before
  bool pequena = false;         // a short list, its scratch in one small block
  Py_ssize_t menor_nativo = 0;  // the shortest list of its kind that a native path takes
  MotivoInterpretador motivo = MotivoInterpretador::NENHUM;
};

inline void anotar_motivo(Percurso* percurso, MotivoInterpretador motivo) {
  if (percurso != nullptr) {
    percurso->motivo = motivo;
  }
}

// The float-mode key of a value: an exact float that is not a NaN, or an exact int that orders
// exactly among floats. 1 with *chave set under `mascara` (see numeros.h), 0 with the reason in
// *motivo, -1 with an exception set.
inline int ler_chave_float(PyObject* objeto, std::uint64_t mascara, std::uint64_t* chave,
                           MotivoInterpretador* motivo) {
  double valor;
  if (PyFloat_CheckExact(objeto)) {
    valor = PyFloat_AS_DOUBLE(objeto);
    if (valor != valor) {
      *motivo = MotivoInterpretador::NAO_NUMERO;
      return 0;
    }
  } else if (PyLong_CheckExact(objeto)) {
    std::int64_t inteiro;
    const int lido = ler_int64_exato(objeto, &inteiro);
    if (lido <= 0 || !inteiro_exato_em_float(inteiro)) {
      *motivo = MotivoInterpretador::INTEIRO_ALEM_DE_FLOAT;
      return lido < 0 ? -1 : 0;
    }
    valor = static_cast<double>(inteiro);
  } else if (std::int64_t booleano; ler_bool(objeto, &booleano)) {
    valor = static_cast<double>(booleano);
  } else {
    *motivo = MotivoInterpretador::TIPO;
    return 0;
  }
  *chave = chave_float_ascendente(valor) ^ complemento_float(mascara);
  return 1;
}

// The 2-tuple (lista, segundo); consumes both references on every path.
PyObject* formar_par(Referencia lista, Referencia segundo);

// Shapes a sorted list (one reference, consumed on every path) as `tipo` asks.
PyObject* finalizar_resultado(Referencia lista, const char* estrategia, TipoRetorno tipo);

// Outcome of a step that may keep the native path, leave it for Timsort, or fail.
enum class Veredito { NATIVO, TIMSORT, ERRO };

// The core of the four unkeyed functions.
PyObject* vesk_sort_impl(PyObject* iteravel, TipoRetorno tipo, int copiar);
// Orders the n objects of `itens` natively when they are all exact int64 values far from
// monotonic (judged first from a sample when n >= 2048): NATIVO with the strategy name in
// *nome (it may point into `estrategia`), TIMSORT with the reason in *nome and `itens`
// untouched, or ERRO with an exception set and `itens` untouched. `reverso` orders
// descending, equal values kept in input order. With a `percurso` (the drop-ins), exact floats,
// and ints among them, are ordered too, the path taken is written there, and a scratch block
// that cannot be had sends the items to the interpreter's sort (TIMSORT) instead of MemoryError.
//
// With a `copia` (sorted() without a key), the values are read from `copia->origem` and `itens`
// is the uninitialised item array of the new list: the scan stores each item it reads there with
// a new reference, so that the copy visits no object a second time. `copia->copiados` items are
// stored on return, all of them on NATIVO; the caller copies the rest.
struct CopiaItens {
  PyObject* const* origem;
  Py_ssize_t copiados = 0;
};
Veredito ordenar_inteiros(PyObject** itens, Py_ssize_t n, bool reverso, bool liberar_gil,
                          const char** nome, char* estrategia, Percurso* percurso = nullptr,
                          CopiaItens* copia = nullptr);
// Whether sort()'s copy of n values is better ordered by ordenar_copia: where the records of
// ordenar_inteiros would outgrow the blocks that the allocator keeps between calls, and every
// byte of scratch is mapped afresh.
bool copia_por_posicoes(Py_ssize_t n);
// sort() without a key over `origem`, the n items of an exact list or tuple that nothing changes
// meanwhile (the lock is released only when `liberar_gil`, for a tuple): the values are read
// once, each item taking a new reference as it is read, into keys that are ordered with 32-bit
// positions beside them; the result's item array takes the place of the keys. NATIVO with
// *resultado the n items in order, their references taken; TIMSORT with the reason in
// `percurso` and the references of the first *tomados items taken; ERRO likewise, with an
// exception set.
Veredito ordenar_copia(PyObject* const* origem, Py_ssize_t n, bool reverso, bool liberar_gil,
                       Percurso* percurso, BufferNativo<PyObject*>* resultado, Py_ssize_t* tomados);

// Looks up what the fallbacks call, once at module initialisation.
int preparar_timsort();
// The interpreter's own list sort of `lista`, as `lista.sort(key=funcao_chave, reverse=reverso)`
// (a null key: none). 0, or -1 with its exception.
int ordenar_pelo_interpretador(PyObject* lista, PyObject* funcao_chave, int reverso);
// The same sort of the n items at `itens`, lent for the call to `vazia`, an empty list that
// nobody else can reach (not tracked by the collector), empty again on return. 0, or -1 with the
// sort's exception, the items then in the order that the sort left them in.
int ordenar_emprestados_pelo_interpretador(PyObject* vazia, PyObject** itens, Py_ssize_t n,
                                           PyObject* funcao_chave, int reverso);
// The same sort of the items of a held list, in a list of their own that nobody else can reach;
// the held list stays held. 0, or -1 with the sort's exception.
int ordenar_retidos_pelo_interpretador(RetencaoLista& retida, PyObject* funcao_chave, int reverso);
// Whether a keyword name is "key", or "reverse"; a call site's names are mostly the very
// objects interned here.
bool nome_key(PyObject* nome);
bool nome_reverse(PyObject* nome);
// `sorted(*argumentos, **...)` and `list.sort(*argumentos, **...)` as the caller asked them.
PyObject* chamar_sorted(PyObject* const* argumentos, Py_ssize_t quantidade, PyObject* nomes);
PyObject* chamar_list_sort(PyObject* const* argumentos, Py_ssize_t quantidade, PyObject* nomes);

// The core of the seven keyed functions.
PyObject* sort_by_int64_key_prototype_impl(PyObject* iteravel, PyObject* funcao_chave,
                                           PyObject* chaves_cacheadas, TipoRetorno tipo,
                                           ModoChaveKeyed modo_chave, int reverso);

// What the keyed core's key acquisition hands to its ordering step: every key is in and valid,
// and in the cache modes the cache list has been emptied.
struct ChavesKeyed {
  Referencia lista;  // the list to order: a new one in direct mode, the caller's otherwise
  Py_ssize_t n;      // at least 1
  TipoRetorno tipo;
  int reverso;
  bool liberar_gil;  // the caller's own list keeps the lock: other threads wait for the sort
  BufferNativo<std::uint64_t> chaves_origem;  // sort key of element i at index i
  EstatisticasChaves estat;
  std::int64_t menor_valor;
  std::int64_t maior_valor;
};

// The keyed core's ordering step, from the handover to the shaped result.
PyObject* ordenar_keyed(ChavesKeyed estado);

// What ordering by keys did: the path, and for radix its passes and whether it rebased.
struct OrdemKeyed {
  AlgoritmoKeyed algoritmo;
  int passagens;
  int normalizado;
};

// Orders the n objects of `itens` by their sort keys, which stand in `bloco` from `inicio` on,
// stably: nothing to do, keys already in order, counting sort or compact radix, the latter two
// without the lock when `liberar_gil`. The block, of `palavras_bloco` words (0: not known),
// grows for the kernel's scratch where it holds too few (it may move; what stands before
// `inicio` is kept) and its keys are used up. Returns false with MemoryError set and `itens`
// untouched.
bool ordenar_por_chaves(PyObject** itens, BufferNativo<std::uint64_t>& bloco,
                        std::size_t palavras_bloco, std::size_t inicio, Py_ssize_t n,
                        const EstatisticasChaves& estat, bool liberar_gil, OrdemKeyed* ordem);

// Natural runs of keys (corridas.h), recorded in `corridas` while merging them looks worth
// `orcamento`: false when it looks costlier, or the runs cannot be kept.
bool medir_corridas_de_chaves(const std::uint64_t* chaves, std::size_t n, std::uint64_t orcamento,
                              ListaCorridas& corridas);
bool medir_corridas_de_registros(const Entrada* registros, std::size_t n, std::uint64_t orcamento,
                                 ListaCorridas& corridas);
// The n records merged by the runs measured over their keys, with room for n / 2 records in
// `auxiliar`, and their objects written to `itens` in order; without the lock when `liberar_gil`.
// False, `itens` untouched, when the merges' work passes `orcamento` items first: the records
// are then partly merged, equal keys still in their order, for another stable sort to finish.
bool fundir_registros(PyObject** itens, Entrada* registros, Entrada* auxiliar, std::size_t n,
                      const ListaCorridas& corridas, std::uint64_t orcamento, bool liberar_gil);
// The budget of a run merge over n keys where a radix sort of `passagens` passes would do
// instead: a merge moves a key about as dearly as a pass, and finds each stray item by a
// binary search.
inline std::uint64_t orcamento_de_fusao(std::size_t n, int passagens) {
  return static_cast<std::uint64_t>(n) * static_cast<unsigned>(passagens > 2 ? passagens : 2);
}
// The path of runs recorded in `corridas` (at least one), for explain(): already in order,
// reversed, or runs merged.
inline void anotar_corridas(const ListaCorridas& corridas, Percurso* percurso) {
  if (corridas.quantidade() > 1) {
    percurso->algoritmo = KEYED_RADIX;
    percurso->corridas = corridas.quantidade();
  } else if (corridas.em_ordem()) {
    percurso->algoritmo = KEYED_JA_ORDENADO;
  } else {
    percurso->algoritmo = KEYED_RADIX;
    percurso->invertida = true;
  }
}
// Whether keys may be in few runs, worth measuring: a merge of runs that averaged fewer than 16
// keys would cost more than radix passes.
inline bool talvez_corridas(const EstatisticasChaves& estat, Py_ssize_t n) {
  return estat.descidas <= (n >> 4) || estat.subidas <= (n >> 4);
}

// The keyed result of an empty input.
PyObject* resultado_keyed_vazio(Referencia lista, TipoRetorno tipo, int reverso);

// Shapes the result of a successful keyed sort; consumes `lista` on every path. Only
// RETORNO_DIAGNOSTICO_ESTRUTURADO reads the arguments after `tipo`.
PyObject* finalizar_resultado_keyed(Referencia lista, const char* estrategia, const char* algoritmo,
                                    const char* motivo, TipoRetorno tipo, Py_ssize_t n,
                                    int possui_dominio, std::int64_t menor_valor,
                                    std::int64_t maior_valor, std::uint64_t amplitude,
                                    int passagens, int normalizado, int reverso,
                                    AlgoritmoKeyed codigo_algoritmo);

// Auxiliary bytes that a keyed path needs; 0 when a size computation overflows.
int estimar_memoria_keyed(Py_ssize_t n, AlgoritmoKeyed algoritmo, std::uint64_t amplitude,
                          std::size_t* estimativa, std::size_t* pior_caso);

// The replay type: readied once at module initialisation, made only by the two factories.
int preparar_tipo_replay();
// A new replay over the cache list `chaves` for the items `itens`; a null `funcao_chave` makes
// a full-cache replay.
PyObject* criar_replay_chaves_cacheadas(PyObject* itens, PyObject* chaves, PyObject* funcao_chave);
// The same without the checks, for a sort of `quantidade` items that the caller has vouched for.
PyObject* novo_replay(PyObject* chaves, PyObject* funcao_chave, Py_ssize_t quantidade);
// A replay for a hand-over: its first `prontas` answers take over the references of `chaves`
// (each slot left null), the others call `funcao_chave`. The caller keeps the array, ends the
// replay's use of it with encerrar_entrega() and releases the references left in it.
PyObject* novo_replay_de_entrega(PyObject** chaves, Py_ssize_t prontas, PyObject* funcao_chave,
                                 Py_ssize_t quantidade);
void encerrar_entrega(PyObject* replay);

// Room for the longest strategy name that a kernel formats.
inline constexpr std::size_t tamanho_nome_estrategia = 48;

// Kernels over the records of the item array `itens` (element i belongs to record i), which
// stand in the first half of `bloco`, a block of 2n records and then room for the radix tables
// (entradas_tabelas_radix records). On return the items are reordered
// and the strategy name is returned (it may point into `estrategia`); nothing can fail. The lock
// is released around the array work when `liberar_gil` is set: then nothing but the caller may
// reach `itens`.
const char* ordenar_por_radix(PyObject** itens, Entrada* bloco, Py_ssize_t n,
                              std::uint64_t variacao, int passagens, bool liberar_gil,
                              char* estrategia);
// Keys must be rebased to 0 ... `amplitude` (at most 3999999). The block grows when the counts
// need it; when it cannot, the records go to ordenar_por_radix with `variacao` and `passagens`.
const char* ordenar_por_contagem(PyObject** itens, BufferNativo<Entrada>& bloco, Py_ssize_t n,
                                 std::uint64_t amplitude, std::uint64_t variacao, int passagens,
                                 bool liberar_gil, char* estrategia);

// The drop-ins sort() and sort_in_place(): sorted() and list.sort() in one native call each.
PyObject* py_sort_drop_in(PyObject* modulo, PyObject* const* argumentos, Py_ssize_t quantidade,
                          PyObject* nomes);
PyObject* py_sort_in_place_drop_in(PyObject* modulo, PyObject* const* argumentos,
                                   Py_ssize_t quantidade, PyObject* nomes);
// Orders the n objects of `itens` by the exact tuples of numbers `tuplas[i]` (the items
// themselves, or their keys), lexicographically as Python compares tuples, stably, descending
// when `reverso`: NATIVO with `itens` reordered, TIMSORT with the reason in `percurso` and
// `itens` untouched (also when its scratch cannot be had), or ERRO with an exception set and
// `itens` untouched. The tuples are the items when `chaves_tuplas` is null, and otherwise the
// keys that it guards, the first n words of `bloco`, which holds `palavras_bloco` words (0:
// none yet); on NATIVO it has released them. Scratch grows `bloco` from `inicio` on (it may
// move; what stands before `inicio` is kept until the keys are released).
Veredito ordenar_tuplas(PyObject** itens, ReferenciasGuardadas* chaves_tuplas,
                        BufferNativo<std::uint64_t>& bloco, std::size_t palavras_bloco,
                        std::size_t inicio, Py_ssize_t n, bool reverso, bool liberar_gil,
                        Percurso* percurso);

class LeitorTexto;
// Orders the n (at most 2**32) objects of `itens` by the strings `textos` (the items
// themselves, or their keys) that `leitor` read, stably: their first keys stand at the start of
// `espaco`, 4n words where the items are the strings (the objects move beside their keys), 3n
// words otherwise (32-bit row numbers do), and palavras_alem_das_linhas(n) words after those.
// The path is written to `percurso`;
// nothing can fail. Without the lock when `liberar_gil`.
void ordenar_textos(PyObject** itens, PyObject* const* textos, std::size_t n,
                    const LeitorTexto& leitor, std::uint64_t* espaco, bool liberar_gil,
                    Percurso* percurso);

// The order of the n (at most 2**32) strings `textos` that `leitor` read, their first keys at the
// start of `espaco` (3n words): their row numbers, within `espaco`, in order. Nothing can fail.
const std::uint32_t* ordenar_linhas_de_textos(PyObject* const* textos, std::size_t n,
                                              const LeitorTexto& leitor, std::uint64_t* espaco);

// Orders the n (at most 2**32) objects of `itens` by the exact tuples `tuplas[i]` (the items
// themselves, or their keys) column by column, as ordenar_tuplas does, where a column holds
// strings, or where later columns hold objects that only tied rows would compare: each column is
// read for the rows that are equal up to it, and no further. NATIVO with `itens` reordered,
// TIMSORT with the reason in `percurso` and `itens` untouched.
Veredito ordenar_tuplas_por_colunas(PyObject** itens, PyObject* const* tuplas, std::size_t n,
                                    bool reverso, Percurso* percurso);

// The held items (at most 255) ordered by the interpreter's sort of their n keys, all computed,
// in `chaves`: 0, or -1 with an exception set, the items then in the order that the sort left
// their keys in.
int ordenar_pela_ordem_das_chaves(RetencaoLista& retida, PyObject* const* chaves, Py_ssize_t n,
                                  int reverso);
// A list shorter than the long native paths take (at most 255 items), ordered by the key
// function's results when `funcao_chave`, natively where its values or keys allow, by the
// interpreter's sort otherwise (the keys computed handed to it). 0, or -1 with an exception set.
int ordenar_lista_pequena(PyObject* lista, Py_ssize_t n, PyObject* funcao_chave, int reverso,
                          Percurso* percurso);

// explain(): sort() that also tells the path it took.
PyObject* py_explain_drop_in(PyObject* modulo, PyObject* const* argumentos, Py_ssize_t quantidade,
                             PyObject* nomes);

}  // namespace vesksort

#endif
