// Lists of strings (exact str, or exact bytes) ordered by prefix keys: the keys of every string's
// first 7 bytes are sorted by radix with the strings themselves beside them (the items of a list
// of strings), or their row numbers (keys that a key function gave); then each run of
// equal keys that leaves bytes to compare is ordered by the keys of its next bytes, level by
// level, after skipping what all of its strings share. Small runs, and runs nested deeper than
// the levels kept, are ordered by comparing their strings. Every step is stable.
//
// The strings are only read: nothing here calls the interpreter, so the lock may be released
// around it while the strings' list is out of everyone else's reach.
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "leitores.h"

namespace vesksort {
namespace {

// Runs of equal keys up to this length are ordered by comparison rather than by more keys.
constexpr std::size_t maior_parte_por_comparacao = 24;
// The levels of runs within runs kept at once; deeper ones are ordered by comparison.
constexpr int maior_profundidade = 48;
// Blocks that the merge sort first orders by insertion.
constexpr std::size_t bloco_insercao = 16;
// Blocks of the long runs that levels of keys gave up on: their strings share long stretches, so
// that each comparison costs more than a move, and a binary search places each string.
constexpr std::size_t bloco_insercao_binaria = 32;

// A run of rows (their keys equal down to the level before) being ordered by the keys of the
// level that starts at `posicao`: `cursor` is where the search for equal keys in it goes on.
struct Quadro {
  std::size_t cursor;
  std::size_t fim;
  PosicaoTexto posicao;
  std::size_t tamanho;  // its rows
  int improdutivos;     // levels in a row, down to this one, that left one run of most rows
  // Where the keys are those of a pivot's level (chave_de_pivo), the code points of the pivot
  // from `posicao` on; SIZE_MAX where they are prefix keys.
  std::size_t pivo = SIZE_MAX;
};

// The key of a string that shares `comum` code points with a pivot of `resto` code points (both
// from the same position), and orders before it (`antes`), after it, or equals it. Its unsigned
// order is the strings' order wherever the shares differ: of the strings before the pivot, the
// more they share with it the later they come; of those after it, the earlier.
inline std::uint64_t chave_de_pivo(std::size_t comum, std::size_t resto, int ordem) {
  if (ordem < 0) {
    return 2 * comum;
  }
  if (ordem == 0) {
    return 2 * resto + 1;
  }
  return 4 * resto + 2 - 2 * comum;
}

// What a key of chave_de_pivo says that its strings share with the pivot.
inline std::size_t comum_da_chave_de_pivo(std::uint64_t chave, std::size_t resto) {
  return chave <= 2 * resto ? chave / 2 : (4 * resto + 2 - chave) / 2;
}

// A level that leaves more than 7/8 of its rows in one run of equal keys (strings that are
// prefixes of one another, a common stretch that the skip did not reach) separates little:
// after this many in a row, the run is ordered by comparison. Each level costs a read of its
// rows, so that levels in all cost a few reads of every string.
constexpr int maior_sequencia_improdutiva = 2;
// Such a run, when longer than this, is first split by how far each string follows its longest
// (a pivot's level): strings that are prefixes of one another, or of a periodic text, share
// distinct lengths with it, and one pass over them orders them. Where that level too leaves one
// run of most rows, the run goes to comparison.
constexpr std::size_t menor_parte_por_pivo = 64;

// `Linha` is what moves beside a key: the string itself (PyObject*), or its row number
// (std::uint32_t) in `textos`.
template <class Linha>
class OrdenacaoTextos {
 public:
  // `espaco`: the keys and rows (2n words each for objects, one for row numbers), then, with
  // `contagem_larga`, palavras_alem_das_linhas(n) words for the first split's counts.
  OrdenacaoTextos(PyObject* const* textos, const LeitorTexto& leitor, std::uint64_t* espaco,
                  std::size_t n, bool contagem_larga)
      : textos_(textos),
        chaves_(espaco),
        chaves_outras_(espaco + n),
        linhas_(reinterpret_cast<Linha*>(espaco + 2 * n)),
        linhas_outras_(linhas_ + n),
        contagem_larga_(contagem_larga && palavras_alem_das_linhas(n) > 0
                            ? reinterpret_cast<std::uint32_t*>(linhas_outras_ + n)
                            : nullptr),
        mascara_(leitor.mascara()),
        codificado_(leitor.codificado()),
        bytes_(leitor.bytes()),
        inicio_(leitor.inicio()) {
    leitor.resumir(&resumo_);
  }

  // Orders the rows 0 ... n - 1, whose first keys stand in place, into linhas().
  void ordenar(std::size_t n, const EstatisticasChaves& estat, Percurso* percurso) {
    for (std::size_t i = 0; i < n; ++i) {
      if constexpr (std::is_same_v<Linha, PyObject*>) {
        linhas_[i] = textos_[i];
      } else {
        linhas_[i] = static_cast<std::uint32_t>(i);
      }
    }
    if (estat.subidas == 0 && estat.descidas > 0 && estritamente_descendentes(n)) {
      // Strictly descending strings, all distinct: reversed, the rows are in order.
      for (std::size_t i = 0, j = n - 1; i < j; ++i, --j) {
        std::swap(chaves_[i], chaves_[j]);
        std::swap(linhas_[i], linhas_[j]);
      }
      percurso->invertida = true;
    } else if (estat.descidas > 0) {
      radix_bytes(chaves_, chaves_outras_, linhas_, linhas_outras_, n, &resumo_, contagem_larga_);
    }
    resolver_empates(n);
    percurso->passagens = niveis_;
  }

  const Linha* linhas() const { return linhas_; }

 private:
  // Whether the strings, whose keys do not ascend, strictly descend: where two keys are equal,
  // the strings tell.
  bool estritamente_descendentes(std::size_t n) const {
    for (std::size_t i = 1; i < n; ++i) {
      if (chaves_[i] == chaves_[i - 1] && (!chave_deixa_bytes(chaves_[i] ^ mascara_) ||
                                           comparar(linhas_[i - 1], linhas_[i], 0) <= 0)) {
        return false;
      }
    }
    return true;
  }

  PyObject* texto(Linha linha) const {
    if constexpr (std::is_same_v<Linha, PyObject*>) {
      return linha;
    } else {
      return textos_[linha];
    }
  }

  bool ascii(PyObject* texto) const { return bytes_ || !codificado_ || PyUnicode_IS_ASCII(texto); }

  std::uint64_t chave(PyObject* texto, PosicaoTexto posicao) const {
    return LeitorTexto::chave_em(texto, LeitorTexto::vista(texto), posicao, codificado_) ^ mascara_;
  }

  // Where the level after the one at `posicao` starts.
  PosicaoTexto seguinte(PyObject* texto, PosicaoTexto posicao) const {
    if (ascii(texto)) {
      return PosicaoTexto{posicao.indice + bytes_por_chave, 0};
    }
    return avancar_codificado(LeitorTexto::vista(texto), posicao, bytes_por_chave);
  }

  int comparar(Linha a, Linha b, std::size_t inicio) const {
    const int ordem =
        comparar_textos(LeitorTexto::vista(texto(a)), LeitorTexto::vista(texto(b)), inicio);
    return mascara_ != 0 ? -ordem : ordem;
  }

  // Stable radix sort of the rows inicio ... fim - 1 by their keys, left in place.
  void ordenar_por_chaves(std::size_t inicio, std::size_t fim) {
    radix_bytes(chaves_ + inicio, chaves_outras_ + inicio, linhas_ + inicio,
                linhas_outras_ + inicio, fim - inicio);
  }

  // Fetches ahead a string's header and the line of its bytes from code point `indice` on, where
  // an ASCII str or a bytes object keeps them: the strings lie anywhere in memory, and a level
  // past the first reads both, a line apart in strings as long as paths or URLs.
  void buscar(PyObject* texto, std::size_t indice) const {
    __builtin_prefetch(texto);
    __builtin_prefetch(reinterpret_cast<const char*>(texto) +
                       (bytes_ ? offsetof(PyBytesObject, ob_sval) : sizeof(PyASCIIObject)) +
                       indice);
  }

  // The keys of the rows inicio ... fim - 1 at `posicao`; returns the bits in which they vary.
  std::uint64_t chaves_do_nivel(std::size_t inicio, std::size_t fim, PosicaoTexto posicao) {
    std::uint64_t variacao = 0;
    const std::uint64_t primeira = chave(texto(linhas_[inicio]), posicao);
    for (std::size_t i = inicio; i < fim; ++i) {
      // The strings lie anywhere in memory: fetching ahead overlaps the cache misses.
      if (i + distancia_prefetch < fim) {
        buscar(texto(linhas_[i + distancia_prefetch]), posicao.indice);
      }
      chaves_[i] = chave(texto(linhas_[i]), posicao);
      variacao |= chaves_[i] ^ primeira;
    }
    return variacao;
  }

  // How many code points from `de` on the strings of rows inicio ... fim - 1 all share, and
  // whether they are all equal.
  // Each string is read no further than what all before it share, so that the part's common
  // prefix costs about its own length once; strings equal to the first take one memcmp.
  std::size_t prefixo_da_parte(std::size_t inicio, std::size_t fim, std::size_t de,
                               bool* iguais) const {
    PyObject* primeiro = texto(linhas_[inicio]);
    const VistaTexto primeira = LeitorTexto::vista(primeiro);
    const std::size_t resto = primeira.comprimento - de;
    const auto largura = static_cast<std::size_t>(primeira.largura);
    std::size_t comum = resto;
    *iguais = true;
    for (std::size_t i = inicio + 1; i < fim && (comum > 0 || *iguais); ++i) {
      if (i + distancia_prefetch < fim) {
        buscar(texto(linhas_[i + distancia_prefetch]), de);
      }
      PyObject* outro = texto(linhas_[i]);
      if (outro == primeiro) {
        continue;
      }
      const VistaTexto vista = LeitorTexto::vista(outro);
      if (*iguais) {
        if (vista.comprimento == primeira.comprimento && vista.largura == primeira.largura &&
            std::memcmp(static_cast<const char*>(primeira.dados) + de * largura,
                        static_cast<const char*>(vista.dados) + de * largura,
                        resto * largura) == 0) {
          continue;
        }
        *iguais = false;
      }
      const std::size_t partilhado = prefixo_comum(primeira, vista, de, comum);
      comum = partilhado < comum ? partilhado : comum;
    }
    return comum;
  }

  // Stable insertion sort of the rows inicio ... fim - 1, compared from code point `de` on.
  void inserir(Linha* linhas, std::size_t inicio, std::size_t fim, std::size_t de) const {
    for (std::size_t i = inicio + 1; i < fim; ++i) {
      const Linha linha = linhas[i];
      std::size_t j = i;
      for (; j > inicio && comparar(linhas[j - 1], linha, de) > 0; --j) {
        linhas[j] = linhas[j - 1];
      }
      linhas[j] = linha;
    }
  }

  // Stable merge sort of the rows inicio ... fim - 1, compared from code point `de` on, with
  // the other side of the rows as scratch: blocks ordered by insertion, merged depth first as
  // they come (corridas.h), while their strings are still in the caches.
  void ordenar_por_comparacao(std::size_t inicio, std::size_t fim, std::size_t de) {
    const auto comparar_de = [this, de](Linha a, Linha b) { return comparar(a, b, de); };
    FusaoCorridas<Linha, const decltype(comparar_de)> fusao(
        linhas_ + inicio, linhas_outras_ + inicio, fim - inicio, comparar_de);
    const bool longa = fim - inicio > maior_parte_por_comparacao;
    const std::size_t bloco = longa ? bloco_insercao_binaria : bloco_insercao;
    for (std::size_t a = inicio; a < fim; a += bloco) {
      const std::size_t b = a + bloco < fim ? a + bloco : fim;
      if (longa) {
        inserir_por_busca(linhas_, a, b, de);
      } else {
        inserir(linhas_, a, b, de);
      }
      fusao.acrescentar(a - inicio, b - inicio);
    }
    fusao.terminar();
  }

  // Stable binary insertion sort of the rows inicio ... fim - 1, compared from `de` on.
  void inserir_por_busca(Linha* linhas, std::size_t inicio, std::size_t fim, std::size_t de) const {
    for (std::size_t i = inicio + 1; i < fim; ++i) {
      const Linha linha = linhas[i];
      std::size_t baixo = inicio;
      std::size_t alto = i;
      while (baixo < alto) {
        const std::size_t meio = baixo + (alto - baixo) / 2;
        if (comparar(linha, linhas[meio], de) < 0) {
          alto = meio;
        } else {
          baixo = meio + 1;
        }
      }
      std::memmove(linhas + baixo + 1, linhas + baixo, (i - baixo) * sizeof(Linha));
      linhas[baixo] = linha;
    }
  }

  // The keys of a pivot's level for the rows inicio ... fim - 1, from code point `de` on: the
  // longest string of the rows is the pivot. Returns its code points from `de` on.
  std::size_t chaves_de_pivo(std::size_t inicio, std::size_t fim, std::size_t de) {
    std::size_t pivo = inicio;
    std::size_t maior = 0;
    for (std::size_t i = inicio; i < fim; ++i) {
      const std::size_t comprimento = LeitorTexto::vista(texto(linhas_[i])).comprimento;
      if (comprimento > maior) {
        maior = comprimento;
        pivo = i;
      }
    }
    const VistaTexto referencia = LeitorTexto::vista(texto(linhas_[pivo]));
    const std::size_t resto = referencia.comprimento - de;
    for (std::size_t i = inicio; i < fim; ++i) {
      if (i + distancia_prefetch < fim) {
        __builtin_prefetch(texto(linhas_[i + distancia_prefetch]));
      }
      const VistaTexto vista = LeitorTexto::vista(texto(linhas_[i]));
      const std::size_t comum = prefixo_comum(vista, referencia, de);
      int ordem;
      if (de + comum == vista.comprimento) {
        ordem = de + comum == referencia.comprimento ? 0 : -1;
      } else if (de + comum == referencia.comprimento) {
        ordem = 1;
      } else {
        ordem =
            ponto_de_codigo(vista, de + comum) < ponto_de_codigo(referencia, de + comum) ? -1 : 1;
      }
      chaves_[i] = chave_de_pivo(comum, resto, ordem) ^ mascara_;
    }
    return resto;
  }

  // Orders every run of equal keys that leaves bytes to compare, depth first.
  void resolver_empates(std::size_t n) {
    Quadro pilha[maior_profundidade];
    int topo = 0;
    pilha[0] = Quadro{0, n, PosicaoTexto{inicio_, 0}, n, 0, SIZE_MAX};
    while (topo >= 0) {
      Quadro& quadro = pilha[topo];
      std::size_t inicio = quadro.cursor;
      std::size_t fim = inicio;
      while (inicio < quadro.fim) {
        fim = inicio + 1;
        while (fim < quadro.fim && chaves_[fim] == chaves_[inicio]) {
          ++fim;
        }
        if (fim - inicio > 1 &&
            (quadro.pivo != SIZE_MAX || chave_deixa_bytes(chaves_[inicio] ^ mascara_))) {
          break;
        }
        inicio = fim;
      }
      if (inicio >= quadro.fim) {
        --topo;
        continue;
      }
      quadro.cursor = fim;
      const bool de_pivo = quadro.pivo != SIZE_MAX;
      PosicaoTexto posicao =
          de_pivo
              ? PosicaoTexto{quadro.posicao.indice +
                                 comum_da_chave_de_pivo(chaves_[inicio] ^ mascara_, quadro.pivo),
                             0}
              : seguinte(texto(linhas_[inicio]), quadro.posicao);
      const bool improdutivo = fim - inicio > quadro.tamanho - quadro.tamanho / 4;
      const int improdutivos = improdutivo ? quadro.improdutivos + 1 : 0;
      if (fim - inicio <= maior_parte_por_comparacao || topo + 1 == maior_profundidade ||
          (improdutivo && de_pivo)) {
        ordenar_por_comparacao(inicio, fim, posicao.indice);
        continue;
      }
      if (improdutivos >= maior_sequencia_improdutiva) {
        if (fim - inicio <= menor_parte_por_pivo) {
          ordenar_por_comparacao(inicio, fim, posicao.indice);
          continue;
        }
        // From the code point that the level reached: the rows share all before it.
        const std::size_t resto = chaves_de_pivo(inicio, fim, posicao.indice);
        ordenar_por_chaves(inicio, fim);
        pilha[++topo] =
            Quadro{inicio, fim, PosicaoTexto{posicao.indice, 0}, fim - inicio, 0, resto};
        niveis_ = topo + 1 > niveis_ ? topo + 1 : niveis_;
        continue;
      }
      // Where the strings start to differ: what they all share is skipped, and equal strings (a
      // word many times over) are in order already.
      bool iguais;
      const std::size_t comum = prefixo_da_parte(inicio, fim, posicao.indice, &iguais);
      if (iguais) {
        continue;
      }
      if (comum > 0) {
        posicao = PosicaoTexto{posicao.indice + comum, 0};
      }
      if (chaves_do_nivel(inicio, fim, posicao) != 0) {
        ordenar_por_chaves(inicio, fim);
      }
      pilha[++topo] = Quadro{inicio, fim, posicao, fim - inicio, improdutivos, SIZE_MAX};
      niveis_ = topo + 1 > niveis_ ? topo + 1 : niveis_;
    }
  }

  PyObject* const* textos_;
  std::uint64_t* chaves_;
  std::uint64_t* chaves_outras_;
  Linha* linhas_;
  Linha* linhas_outras_;
  std::uint32_t* contagem_larga_;
  std::uint64_t mascara_;
  bool codificado_;
  bool bytes_;
  std::size_t inicio_;   // where the first keys start
  ResumoChaves resumo_;  // of the first keys
  int niveis_ = 1;
};

}  // namespace

const std::uint32_t* ordenar_linhas_de_textos(PyObject* const* textos, std::size_t n,
                                              const LeitorTexto& leitor, std::uint64_t* espaco) {
  OrdenacaoTextos<std::uint32_t> ordenacao(textos, leitor, espaco, n, false);
  Percurso percurso;
  ordenacao.ordenar(n, leitor.estat, &percurso);
  return ordenacao.linhas();
}

void ordenar_textos(PyObject** itens, PyObject* const* textos, std::size_t n,
                    const LeitorTexto& leitor, std::uint64_t* espaco, bool liberar_gil,
                    Percurso* percurso) {
  LiberacaoGil sem_gil(liberar_gil);
  std::size_t primeira_movida = 0;
  if (itens == textos) {
    OrdenacaoTextos<PyObject*> ordenacao(textos, leitor, espaco, n, true);
    ordenacao.ordenar(n, leitor.estat, percurso);
    const PyObject* const* ordenados = ordenacao.linhas();
    while (primeira_movida < n && ordenados[primeira_movida] == itens[primeira_movida]) {
      ++primeira_movida;
    }
    std::memcpy(itens + primeira_movida, ordenados + primeira_movida,
                (n - primeira_movida) * sizeof(PyObject*));
  } else {
    OrdenacaoTextos<std::uint32_t> ordenacao(textos, leitor, espaco, n, true);
    ordenacao.ordenar(n, leitor.estat, percurso);
    const std::uint32_t* linhas = ordenacao.linhas();
    while (primeira_movida < n && linhas[primeira_movida] == primeira_movida) {
      ++primeira_movida;
    }
    // The items in order, through the keys' room, which is free now.
    auto* ordenados = reinterpret_cast<PyObject**>(espaco);
    for (std::size_t i = primeira_movida; i < n; ++i) {
      ordenados[i] = itens[linhas[i]];
    }
    std::memcpy(itens + primeira_movida, ordenados + primeira_movida,
                (n - primeira_movida) * sizeof(PyObject*));
  }
  percurso->algoritmo = primeira_movida == n ? KEYED_JA_ORDENADO : KEYED_RADIX;
}

}  // namespace vesksort
