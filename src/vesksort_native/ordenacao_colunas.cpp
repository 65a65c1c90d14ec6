// Tuples ordered column by column: the rows by their first items, then each run of rows equal
// there by their second items, and so on, as Python compares tuples (the first items that differ
// decide; a tuple that ends first comes first). A column is read only for the rows that are equal
// up to it, so that what no comparison of sorted() reaches (the values of sorted(d.items()) whose
// keys differ) is never looked at. A column orders natively where the rows that reach it hold
// numbers (ints, bools, floats), dates and times of one kind, or strings of one type; anything
// else sends the list to the interpreter's sort, which then meets it as it would have.
//
// Nothing here runs Python code or lets go of the lock.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "leitores.h"

namespace vesksort {
namespace {

// Rows equal in this many columns go to the interpreter's sort, as longer tuples do on the
// packed path.
constexpr Py_ssize_t maior_coluna_lida = 32;

bool textos_iguais_devagar(PyObject* a, PyObject* b);

inline bool textos_iguais(PyObject* a, PyObject* b) {
  return a == b || textos_iguais_devagar(a, b);
}

[[gnu::noinline]] bool textos_iguais_devagar(PyObject* a, PyObject* b) {
  const VistaTexto x = LeitorTexto::vista(a);
  const VistaTexto y = LeitorTexto::vista(b);
  return x.comprimento == y.comprimento && x.largura == y.largura &&
         std::memcmp(x.dados, y.dados, x.comprimento * static_cast<std::size_t>(x.largura)) == 0;
}

class OrdenacaoColunas {
 public:
  // `espaco`: 4n words, and after them the rows (2n 32-bit words) and a mark per row.
  OrdenacaoColunas(PyObject* const* tuplas, std::size_t n, Py_ssize_t menor_comprimento,
                   bool reverso, std::uint64_t* espaco)
      : tuplas_(tuplas),
        menor_comprimento_(menor_comprimento),
        reverso_(reverso),
        mascara_(reverso ? mascara_reversa : mascara_ascendente),
        espaco_(espaco),
        linhas_(reinterpret_cast<std::uint32_t*>(espaco + 4 * n)),
        linhas_outras_(linhas_ + n),
        iguais_(reinterpret_cast<std::uint8_t*>(linhas_outras_ + n)) {
    for (std::size_t i = 0; i < n; ++i) {
      linhas_[i] = static_cast<std::uint32_t>(i);
    }
  }

  static std::size_t palavras(std::size_t n) { return 4 * n + n + (n + 7) / 8; }

  // 1 with the rows in order, 0 with the reason in *motivo, -1 with an exception set.
  int ordenar(std::size_t n, MotivoInterpretador* motivo) {
    motivo_ = MotivoInterpretador::NENHUM;
    if (!amostra_ordena_segunda_coluna(n)) {
      *motivo = MotivoInterpretador::TIPO;
      return 0;
    }
    const int resultado = ordenar_parte(0, n, 0);
    *motivo = motivo_;
    return resultado;
  }

  const std::uint32_t* linhas() const { return linhas_; }
  Py_ssize_t colunas_lidas() const { return colunas_lidas_; }

 private:
  enum class Tipo { NUMEROS, TEXTOS };

  PyObject* tupla(std::size_t posicao) const { return tuplas_[linhas_[posicao]]; }
  Py_ssize_t comprimento(std::size_t posicao) const { return PyTuple_GET_SIZE(tupla(posicao)); }
  PyObject* item(std::size_t posicao, Py_ssize_t coluna) const {
    return PyTuple_GET_ITEM(tupla(posicao), coluna);
  }

  // The rows lie anywhere in memory, and their items elsewhere again: the tuple of row k + 2d is
  // fetched ahead, then the item of row k + d, whose tuple has come in meanwhile.
  void buscar_adiante(std::size_t inicio, std::size_t k, std::size_t m, Py_ssize_t coluna) const {
    constexpr auto distancia = static_cast<std::size_t>(distancia_prefetch);
    if (k + 2 * distancia < m) {
      __builtin_prefetch(tupla(inicio + k + 2 * distancia));
    }
    if (k + distancia < m) {
      __builtin_prefetch(item(inicio + k + distancia, coluna));
    }
  }

  // Whether a sample of rows shows no two with equal strings first whose second items could not
  // be ordered natively together (words and objects: (category, record)). Such lists go to the
  // interpreter before the first column is ordered for nothing.
  bool amostra_ordena_segunda_coluna(std::size_t n) const {
    constexpr std::size_t amostras = 48;
    PyObject* vistas[amostras][2];
    std::size_t vistas_quantidade = 0;
    const std::size_t quantas = n < amostras ? n : amostras;
    for (std::size_t k = 0; k < quantas; ++k) {
      PyObject* linha = tuplas_[quantas == 1 ? 0 : k * (n - 1) / (quantas - 1)];
      if (PyTuple_GET_SIZE(linha) < 2 || !LeitorTexto::aceita(PyTuple_GET_ITEM(linha, 0))) {
        return true;
      }
      PyObject* primeiro = PyTuple_GET_ITEM(linha, 0);
      PyObject* segundo = PyTuple_GET_ITEM(linha, 1);
      for (std::size_t v = 0; v < vistas_quantidade; ++v) {
        if (Py_TYPE(vistas[v][0]) == Py_TYPE(primeiro) && textos_iguais(vistas[v][0], primeiro)) {
          return ordenaveis_juntos(vistas[v][1], segundo);
        }
      }
      vistas[vistas_quantidade][0] = primeiro;
      vistas[vistas_quantidade][1] = segundo;
      ++vistas_quantidade;
    }
    return true;
  }

  // Whether two items of one column are of kinds that a native path orders together.
  static bool ordenaveis_juntos(PyObject* a, PyObject* b) {
    const auto numero = [](PyObject* x) {
      return numero_exato(x) && !(PyFloat_CheckExact(x) && std::isnan(PyFloat_AS_DOUBLE(x)));
    };
    if (numero(a) || numero(b)) {
      return numero(a) && numero(b);
    }
    // Strings, or dates and times, of one type: the column's own reading judges the rest.
    return Py_TYPE(a) == Py_TYPE(b) && (LeitorTexto::aceita(a) || LeitorTemporal().comecar(a));
  }

  // Orders the rows inicio ... fim - 1, equal in their columns before `coluna`.
  int ordenar_parte(std::size_t inicio, std::size_t fim, Py_ssize_t coluna) {
    if (!separar_terminadas(&inicio, &fim, coluna) || fim - inicio < 2) {
      return 1;
    }
    if (coluna >= maior_coluna_lida) {
      motivo_ = MotivoInterpretador::TUPLA_LONGA;
      return 0;
    }
    colunas_lidas_ = coluna + 1 > colunas_lidas_ ? coluna + 1 : colunas_lidas_;
    const int lido = ordenar_coluna(inicio, fim, coluna);
    if (lido <= 0) {
      return lido;
    }
    // Each run of rows equal in this column, by the next one.
    for (std::size_t a = inicio; a < fim;) {
      std::size_t b = a + 1;
      while (b < fim && iguais_[b] != 0) {
        ++b;
      }
      if (b - a > 1) {
        const int resultado = ordenar_parte(a, b, coluna + 1);
        if (resultado <= 0) {
          return resultado;
        }
      }
      a = b;
    }
    return 1;
  }

  // The rows that end before `coluna` are prefixes of the others: they come first (last,
  // descending), in their order, and the part narrows to the rest. False where every row ends.
  bool separar_terminadas(std::size_t* inicio, std::size_t* fim, Py_ssize_t coluna) {
    if (coluna < menor_comprimento_) {
      return true;
    }
    std::size_t terminadas = 0;
    for (std::size_t p = *inicio; p < *fim; ++p) {
      terminadas += comprimento(p) == coluna;
    }
    if (terminadas == 0) {
      return true;
    }
    if (terminadas == *fim - *inicio) {
      return false;
    }
    const std::size_t antes = reverso_ ? *fim - *inicio - terminadas : terminadas;
    std::size_t destinos[2] = {reverso_ ? *inicio : *inicio + antes,
                               reverso_ ? *inicio + antes : *inicio};  // [goes on, ended]
    for (std::size_t p = *inicio; p < *fim; ++p) {
      linhas_outras_[destinos[comprimento(p) == coluna ? 1 : 0]++] = linhas_[p];
    }
    std::memcpy(linhas_ + *inicio, linhas_outras_ + *inicio,
                (*fim - *inicio) * sizeof(std::uint32_t));
    if (reverso_) {
      *fim -= terminadas;
    } else {
      *inicio += terminadas;
    }
    return true;
  }

  // Orders the rows inicio ... fim - 1 by their items in `coluna`, and marks each row that equals
  // the one before it there.
  int ordenar_coluna(std::size_t inicio, std::size_t fim, Py_ssize_t coluna) {
    const std::size_t m = fim - inicio;
    PyObject* primeiro = item(inicio, coluna);
    if (LeitorTexto::aceita(primeiro)) {
      return ordenar_textos(inicio, m, coluna);
    }
    const int lido = ler_numeros(inicio, m, coluna);
    if (lido <= 0) {
      return lido;
    }
    std::uint64_t* chaves = espaco_;
    radix_bytes(chaves, chaves + m, linhas_ + inicio, linhas_outras_ + inicio, m);
    iguais_[inicio] = 0;
    for (std::size_t k = 1; k < m; ++k) {
      iguais_[inicio + k] = chaves[k] == chaves[k - 1];
    }
    return 1;
  }

  // The keys of the items in `coluna` of the m rows from `inicio`, at the start of the scratch:
  // ints and bools as int64 until a float comes, then all as floats; or dates and times of the
  // first one's kind.
  int ler_numeros(std::size_t inicio, std::size_t m, Py_ssize_t coluna) {
    const auto objeto = [this, inicio, m, coluna](Py_ssize_t k) {
      buscar_adiante(inicio, static_cast<std::size_t>(k), m, coluna);
      return item(inicio + static_cast<std::size_t>(k), coluna);
    };
    EstatisticasChaves estat;
    Percurso percurso;
    const Py_ssize_t lidas = vesksort::ler_numeros(objeto, static_cast<Py_ssize_t>(m), espaco_,
                                                   mascara_, &estat, &percurso);
    motivo_ = percurso.motivo;
    if (lidas < 0) {
      return -1;
    }
    return lidas == static_cast<Py_ssize_t>(m) ? 1 : 0;
  }

  // Strings of the first one's type, ordered by prefix keys; rows whose keys differ hold
  // different strings (equal strings share every key), so only equal keys are compared.
  int ordenar_textos(std::size_t inicio, std::size_t m, Py_ssize_t coluna) {
    PyObject** textos = reinterpret_cast<PyObject**>(espaco_ + 3 * m);
    for (std::size_t k = 0; k < m; ++k) {
      if (k + distancia_prefetch < m) {
        __builtin_prefetch(tupla(inicio + k + distancia_prefetch));
      }
      textos[k] = item(inicio + k, coluna);
    }
    LeitorTexto leitor(textos[0], textos, espaco_, reverso_);
    if (leitor.ler_todos(textos, static_cast<Py_ssize_t>(m), [](Py_ssize_t) {}) <
        static_cast<Py_ssize_t>(m)) {
      motivo_ = leitor.motivo;
      return 0;
    }
    const std::uint32_t* ordem = ordenar_linhas_de_textos(textos, m, leitor, espaco_);
    const std::uint64_t* chaves = espaco_;
    iguais_[inicio] = 0;
    PyObject* anterior = nullptr;
    for (std::size_t k = 0; k < m; ++k) {
      if (k + distancia_prefetch < m) {
        __builtin_prefetch(&textos[ordem[k + distancia_prefetch]]);
        __builtin_prefetch(&linhas_[inicio + ordem[k + distancia_prefetch]]);
      }
      PyObject* atual = textos[ordem[k]];
      linhas_outras_[inicio + k] = linhas_[inicio + ordem[k]];
      if (k > 0) {
        iguais_[inicio + k] = chaves[k] == chaves[k - 1] && textos_iguais(anterior, atual);
      }
      anterior = atual;
    }
    std::memcpy(linhas_ + inicio, linhas_outras_ + inicio, m * sizeof(std::uint32_t));
    return 1;
  }

  PyObject* const* tuplas_;
  Py_ssize_t menor_comprimento_;
  bool reverso_;
  std::uint64_t mascara_;
  std::uint64_t* espaco_;
  std::uint32_t* linhas_;
  std::uint32_t* linhas_outras_;
  std::uint8_t* iguais_;
  Py_ssize_t colunas_lidas_ = 0;
  MotivoInterpretador motivo_ = MotivoInterpretador::NENHUM;
};

}  // namespace

Veredito ordenar_tuplas_por_colunas(PyObject** itens, PyObject* const* tuplas, std::size_t n,
                                    bool reverso, Percurso* percurso) {
  percurso->tuplas = true;
  Py_ssize_t menor_comprimento = PY_SSIZE_T_MAX;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + distancia_prefetch < n) {
      __builtin_prefetch(tuplas[i + distancia_prefetch]);
    }
    if (!PyTuple_CheckExact(tuplas[i])) {
      percurso->motivo = MotivoInterpretador::NAO_TUPLA;
      return Veredito::TIMSORT;
    }
    menor_comprimento = std::min(menor_comprimento, PyTuple_GET_SIZE(tuplas[i]));
  }
  BufferNativo<std::uint64_t> espaco;
  if (n <= UINT32_MAX) {
    espaco = BufferNativo<std::uint64_t>::alocar(OrdenacaoColunas::palavras(n));
  }
  if (!espaco) {
    percurso->motivo = MotivoInterpretador::MEMORIA;
    return Veredito::TIMSORT;
  }
  OrdenacaoColunas ordenacao(tuplas, n, menor_comprimento, reverso, espaco.get());
  const int resultado = ordenacao.ordenar(n, &percurso->motivo);
  if (resultado < 0) {
    return Veredito::ERRO;
  }
  if (resultado == 0) {
    // Items that do not order together, in the first column or where rows tie.
    const MotivoInterpretador motivo = percurso->motivo;
    if (motivo == MotivoInterpretador::TIPO || motivo == MotivoInterpretador::NAO_TEXTO ||
        motivo == MotivoInterpretador::NAO_TEMPORAL) {
      percurso->motivo = MotivoInterpretador::COLUNA_MISTA;
    }
    return Veredito::TIMSORT;
  }
  percurso->colunas = ordenacao.colunas_lidas();
  percurso->algoritmo = KEYED_RADIX;
  // The items in order through the scratch's first words, free now.
  const std::uint32_t* linhas = ordenacao.linhas();
  auto* saida = reinterpret_cast<PyObject**>(espaco.get());
  for (std::size_t p = 0; p < n; ++p) {
    saida[p] = itens[linhas[p]];
  }
  std::memcpy(itens, saida, n * sizeof(PyObject*));
  return Veredito::NATIVO;
}

}  // namespace vesksort
