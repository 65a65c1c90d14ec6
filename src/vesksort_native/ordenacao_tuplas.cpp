// Tuples of numbers ordered natively. Python orders tuples by their first differing item, and a
// tuple that is a prefix of another comes first: the order of their columns, the first column
// first. Each column is read as the drop-ins read values (ints in int64, or floats with the ints
// among them), rebased, and packed beside its neighbours into as few 64-bit words as their widths
// allow; the words are then sorted from the last to the first.
#include <algorithm>
#include <cstring>

#include "vesksort.h"

namespace vesksort {
namespace {

// Longer tuples go to the interpreter's sort: the columns' state lives in the call's frame.
constexpr Py_ssize_t maior_quantidade_colunas = 32;

// The key that a row which ends before a column holds there until the packing skips it: that of
// the int 0, which every column domain reads.
constexpr std::uint64_t chave_ausente = mascara_ascendente;

// Reads item j of a row into its column's key, ints as int64 until the column meets a float:
// then the ints already read take the keys of their float values. 1, 0 with the reason, -1.
int ler_item(PyObject* item, std::uint64_t* coluna, std::size_t linha, bool* floats,
             MotivoInterpretador* motivo) {
  if (!*floats) {
    std::int64_t valor;
    if (PyLong_CheckExact(item)) {
      const int lido = ler_int64_exato(item, &valor);
      if (lido <= 0) {
        *motivo = MotivoInterpretador::FORA_INT64;
        return lido;
      }
      coluna[linha] = chave_ordenavel(valor);
      return 1;
    }
    if (ler_bool(item, &valor)) {
      coluna[linha] = chave_ordenavel(valor);
      return 1;
    }
    if (!PyFloat_CheckExact(item)) {
      *motivo = MotivoInterpretador::TIPO;
      return 0;
    }
    EstatisticasChaves descartadas;  // a column's order is judged from its packed words
    const auto chave_lida = [coluna](Py_ssize_t i) -> std::uint64_t& { return coluna[i]; };
    if (!converter_para_floats(static_cast<Py_ssize_t>(linha), mascara_ascendente, chave_lida,
                               &descartadas)) {
      *motivo = MotivoInterpretador::INTEIRO_ALEM_DE_FLOAT;
      return 0;
    }
    *floats = true;
  }
  return ler_chave_float(item, mascara_ascendente, &coluna[linha], motivo);
}

// Whether every item of `tupla` is an exact int, a bool or an exact float.
bool so_numeros(PyObject* tupla) {
  for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(tupla); ++j) {
    if (!numero_exato(PyTuple_GET_ITEM(tupla, j))) {
      return false;
    }
  }
  return true;
}

}  // namespace

Veredito ordenar_tuplas(PyObject** itens, ReferenciasGuardadas* chaves_tuplas,
                        BufferNativo<std::uint64_t>& bloco, std::size_t palavras_bloco,
                        std::size_t inicio, Py_ssize_t n, bool reverso, bool liberar_gil,
                        Percurso* percurso) {
  const bool tuplas_no_bloco = chaves_tuplas != nullptr;
  percurso->tuplas = true;
  const auto quantidade = static_cast<std::size_t>(n);
  // From `inicio` on, the block holds the columns, n keys each, and at least 4n words: the
  // records of the radix sort take their place once they are packed. The radix tables follow.
  // When the block cannot grow, the interpreter's sort, which needs less, takes the items.
  const auto crescer = [&](std::size_t colunas_alocadas, std::size_t tabelas = 0) {
    const std::size_t palavras = inicio + quantidade * colunas_alocadas + tabelas;
    if (palavras <= palavras_bloco) {
      return true;
    }
    if (!bloco.realocar(palavras)) {
      percurso->motivo = MotivoInterpretador::MEMORIA;
      return false;
    }
    palavras_bloco = palavras;
    return true;
  };
  const auto tuplas = [&]() {
    return tuplas_no_bloco ? reinterpret_cast<PyObject**>(bloco.get()) : itens;
  };
  const auto colunas = [&]() { return bloco.get() + inicio; };
  // The rows' lengths, kept only once they differ: until then every row has the first one's.
  BufferNativo<std::uint32_t> comprimentos;

  // Tuples with items that are no numbers (strings, dates, objects of a column that ties may
  // never reach) are ordered a column at a time.
  const auto por_colunas = [&]() {
    const Veredito veredito =
        ordenar_tuplas_por_colunas(itens, tuplas(), quantidade, reverso, percurso);
    if (veredito == Veredito::NATIVO && chaves_tuplas != nullptr) {
      chaves_tuplas->reapontar(tuplas());
      chaves_tuplas->liberar();
    }
    return veredito;
  };

  PyObject* primeira = tuplas()[0];
  if (PyTuple_CheckExact(primeira) && !so_numeros(primeira)) {
    return por_colunas();
  }
  Py_ssize_t quantidade_colunas =
      PyTuple_CheckExact(primeira)
          ? std::min(PyTuple_GET_SIZE(primeira), Py_ssize_t{maior_quantidade_colunas})
          : 0;
  const Py_ssize_t comprimento_comum = quantidade_colunas;
  // Room for the records at once, unless the block already holds tuples as keys: then a tuple
  // that no column can order may still send the keys on before the block has grown.
  const std::size_t menor_colunas_alocadas = tuplas_no_bloco ? 1 : 4;
  const std::size_t menor_tabelas_alocadas = tuplas_no_bloco ? 0 : palavras_tabelas_radix;
  if (!crescer(std::max<std::size_t>(menor_colunas_alocadas,
                                     static_cast<std::size_t>(quantidade_colunas)),
               menor_tabelas_alocadas)) {
    return Veredito::TIMSORT;
  }
  Py_ssize_t menor_comprimento = quantidade_colunas;
  bool floats[maior_quantidade_colunas] = {};
  for (std::size_t i = 0; i < quantidade; ++i) {
    PyObject* const* fonte = tuplas();
    if (i + distancia_prefetch < quantidade) {
      __builtin_prefetch(fonte[i + distancia_prefetch]);
    }
    if (i + distancia_prefetch / 2 < quantidade) {
      buscar_campos(fonte[i + distancia_prefetch / 2]);
    }
    PyObject* tupla = fonte[i];
    if (!PyTuple_CheckExact(tupla)) {
      percurso->motivo = MotivoInterpretador::NAO_TUPLA;
      return Veredito::TIMSORT;
    }
    const Py_ssize_t comprimento = PyTuple_GET_SIZE(tupla);
    if (comprimento > maior_quantidade_colunas) {
      percurso->motivo = MotivoInterpretador::TUPLA_LONGA;
      return Veredito::TIMSORT;
    }
    if (comprimento != comprimento_comum && !comprimentos) {
      comprimentos = BufferNativo<std::uint32_t>::alocar(quantidade);
      if (!comprimentos) {
        percurso->motivo = MotivoInterpretador::MEMORIA;
        return Veredito::TIMSORT;
      }
      std::fill(comprimentos.get(), comprimentos.get() + i,
                static_cast<std::uint32_t>(comprimento_comum));
    }
    if (comprimento > quantidade_colunas) {
      if (!crescer(
              std::max<std::size_t>(menor_colunas_alocadas, static_cast<std::size_t>(comprimento)),
              menor_tabelas_alocadas)) {
        return Veredito::TIMSORT;
      }
      // The rows before this one end before the new columns.
      for (Py_ssize_t j = quantidade_colunas; j < comprimento; ++j) {
        std::uint64_t* coluna = colunas() + static_cast<std::size_t>(j) * quantidade;
        std::fill(coluna, coluna + i, chave_ausente);
      }
      quantidade_colunas = comprimento;
    }
    if (comprimentos) {
      comprimentos[i] = static_cast<std::uint32_t>(comprimento);
    }
    menor_comprimento = std::min(menor_comprimento, comprimento);
    std::uint64_t* base = colunas();
    for (Py_ssize_t j = 0; j < comprimento; ++j) {
      const int lido =
          ler_item(PyTuple_GET_ITEM(tupla, j), base + static_cast<std::size_t>(j) * quantidade, i,
                   &floats[j], &percurso->motivo);
      if (lido <= 0) {
        if (lido == 0 && percurso->motivo == MotivoInterpretador::TIPO) {
          return por_colunas();
        }
        return lido < 0 ? Veredito::ERRO : Veredito::TIMSORT;
      }
    }
    for (Py_ssize_t j = comprimento; j < quantidade_colunas; ++j) {
      base[static_cast<std::size_t>(j) * quantidade + i] = chave_ausente;
    }
  }
  percurso->floats =
      std::find(floats, floats + quantidade_colunas, true) != floats + quantidade_colunas;

  // Each column's range over the rows that reach it, and the bits of its packed keys.
  const std::uint32_t* linhas = comprimentos.get();
  ColunaTupla descricao[maior_quantidade_colunas];
  for (Py_ssize_t j = 0; j < quantidade_colunas; ++j) {
    const std::uint64_t* coluna = colunas() + static_cast<std::size_t>(j) * quantidade;
    std::uint64_t menor = UINT64_MAX;
    std::uint64_t maior = 0;
    for (std::size_t i = 0; i < quantidade; ++i) {
      if (linhas == nullptr || linhas[i] > static_cast<std::uint32_t>(j)) {
        menor = std::min(menor, coluna[i]);
        maior = std::max(maior, coluna[i]);
      }
    }
    const std::uint64_t ausencias = menor_comprimento <= j ? 1 : 0;
    if (ausencias != 0 && maior - menor == UINT64_MAX) {
      percurso->motivo = MotivoInterpretador::COLUNA_CHEIA;
      return Veredito::TIMSORT;
    }
    descricao[j] = ColunaTupla{menor, maior, ausencias, largura_bits(maior - menor + ausencias)};
  }

  std::uint64_t variacoes[maior_quantidade_colunas];
  const int palavras = empacotar_colunas(colunas(), linhas, quantidade, descricao,
                                         static_cast<int>(quantidade_colunas), reverso, variacoes);
  percurso->palavras = palavras;
  if (palavras == 0) {
    percurso->algoritmo = KEYED_JA_ORDENADO;  // every tuple equal: input order is the order
    return Veredito::NATIVO;
  }
  int passagens = 0;
  for (int k = 0; k < palavras; ++k) {
    passagens += contar_digitos_variaveis(variacoes[k]);
  }
  percurso->algoritmo = KEYED_RADIX;
  percurso->passagens = passagens;
  // The scratch of the sort, after the words: the keys' other side (where the key tuples stood,
  // when there are key tuples: they are released once the block has its room), then the objects'
  // other side (one word) or the row numbers (several), then the tables. One word takes 3n words
  // in all, several take 2n beside theirs.
  if (palavras > 1 && quantidade > UINT32_MAX) {
    percurso->motivo = MotivoInterpretador::MEMORIA;
    return Veredito::TIMSORT;
  }
  const std::size_t colunas_ordenacao =
      (palavras == 1 ? 3 : static_cast<std::size_t>(palavras) + 2) - (tuplas_no_bloco ? 1 : 0);
  if (!crescer(colunas_ordenacao, palavras_tabelas_radix)) {
    return Veredito::TIMSORT;
  }
  if (chaves_tuplas != nullptr) {
    // Read and packed: from here on nothing hands them over.
    chaves_tuplas->reapontar(tuplas());
    chaves_tuplas->liberar();
  }
  std::uint64_t* palavras_lidas = colunas();
  std::uint64_t* outras_chaves =
      tuplas_no_bloco ? palavras_lidas - quantidade : palavras_lidas + palavras * quantidade;
  std::uint64_t* depois = colunas() + (colunas_ordenacao - 1) * quantidade;
  TabelasRadix& tabelas = tabelas_radix_em(depois + quantidade);
  LiberacaoGil sem_gil(liberar_gil);
  if (palavras == 1) {
    radix_compacto(palavras_lidas, outras_chaves, itens, reinterpret_cast<PyObject**>(depois),
                   quantidade, variacoes[0], tabelas);
    return Veredito::NATIVO;
  }
  const std::uint32_t* ordem =
      ordenar_linhas(palavras_lidas, palavras, quantidade, variacoes, outras_chaves,
                     reinterpret_cast<std::uint32_t*>(depois), tabelas);
  // The keys' other side takes the items in order, then the item array.
  auto* saida = reinterpret_cast<PyObject**>(outras_chaves);
  for (std::size_t p = 0; p < quantidade; ++p) {
    saida[p] = itens[ordem[p]];
  }
  std::memcpy(itens, saida, quantidade * sizeof(PyObject*));
  return Veredito::NATIVO;
}

}  // namespace vesksort
