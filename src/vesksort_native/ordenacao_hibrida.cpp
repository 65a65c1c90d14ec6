// The unkeyed hybrid sort: decides from a sample and one scan whether a list of exact ints
// can be ordered natively, and sends every other list to the interpreter's list sort with the
// reason as its strategy name.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include "temporais.h"
#include "vesksort.h"

namespace vesksort {
namespace {

constexpr Py_ssize_t menor_tamanho_nativo = 2048;
constexpr Py_ssize_t maior_total_amostras = 256;
// Shorter lists are sampled every eighth element, so that a list that is not sorted natively
// costs no larger a share of its length than at 2048 elements.
constexpr Py_ssize_t menor_total_amostras = 16;
constexpr Py_ssize_t menor_tamanho_contagem = 250000;
constexpr Py_ssize_t tamanho_contagem_livre = 1000000;
constexpr std::uint64_t maior_amplitude_contagem = 3999999;
// The largest block that glibc serves from memory it keeps between calls (its largest mmap
// threshold on 64-bit systems): anything larger is mapped afresh on every call.
constexpr std::size_t maior_bloco_mantido = std::size_t{32} << 20;

PyObject* usar_timsort(Referencia lista, const char* motivo, TipoRetorno tipo) {
  if (ordenar_pelo_interpretador(lista.get(), nullptr, 0) < 0) {
    return nullptr;
  }
  return finalizar_resultado(std::move(lista), motivo, tipo);
}

// Reads 256 evenly spaced elements (fewer below 2048), first and last included, allocating
// nothing: a list that is not made of int64 values, or that looks nearly monotonic, costs no
// more than this. With a `percurso`, floats are read too, and ints among them.
Veredito avaliar_amostra(PyObject* const* itens, Py_ssize_t n, const char** motivo,
                         Percurso* percurso) {
  const Py_ssize_t total_amostras = std::clamp(n >> 3, menor_total_amostras, maior_total_amostras);
  const Py_ssize_t intervalo = n - 1;
  const Py_ssize_t divisor = total_amostras - 1;
  Py_ssize_t descidas_amostra = 0;
  Py_ssize_t subidas_amostra = 0;
  std::int64_t anterior_amostra = 0;
  double anterior_numero = 0.0;
  if (LeitorTemporal temporais;
      percurso != nullptr && !numero_exato(itens[0]) && temporais.comecar(itens[0])) {
    return Veredito::NATIVO;  // the scan judges dates and times
  }
  bool viu_float = false;
  bool viu_inteiro_alem_de_float = false;
  for (Py_ssize_t amostra = 0; amostra < total_amostras; ++amostra) {
    // Equals amostra * (n - 1) / 255 without the overflow of the product.
    const Py_ssize_t indice =
        amostra * (intervalo / divisor) + (amostra * (intervalo % divisor)) / divisor;
    PyObject* elemento = itens[indice];
    std::int64_t valor = 0;
    double numero;
    if (PyLong_CheckExact(elemento)) {
      const int lido = ler_int64_exato(elemento, &valor);
      if (lido < 0) {
        return Veredito::ERRO;
      }
      if (lido == 0) {
        *motivo = "timsort: magnitude detectada na amostra";
        anotar_motivo(percurso, MotivoInterpretador::FORA_INT64);
        return Veredito::TIMSORT;
      }
      viu_inteiro_alem_de_float |= !inteiro_exato_em_float(valor);
      numero = static_cast<double>(valor);
    } else if (percurso != nullptr && ler_bool(elemento, &valor)) {
      numero = static_cast<double>(valor);
    } else if (percurso != nullptr && PyFloat_CheckExact(elemento)) {
      numero = PyFloat_AS_DOUBLE(elemento);
      if (numero != numero) {
        *motivo = "timsort: amostra incompatível com int64";
        percurso->motivo = MotivoInterpretador::NAO_NUMERO;
        return Veredito::TIMSORT;
      }
      viu_float = true;
    } else {
      *motivo = "timsort: amostra incompatível com int64";
      anotar_motivo(percurso, MotivoInterpretador::TIPO);
      return Veredito::TIMSORT;
    }
    if (amostra > 0) {
      // Among floats only the numeric order matters here: the sample judges, it does not sort.
      descidas_amostra += viu_float ? numero < anterior_numero : valor < anterior_amostra;
      subidas_amostra += viu_float ? numero > anterior_numero : valor > anterior_amostra;
    }
    anterior_amostra = valor;
    anterior_numero = numero;
  }
  if (viu_float && viu_inteiro_alem_de_float) {
    *motivo = "timsort: amostra incompatível com int64";
    anotar_motivo(percurso, MotivoInterpretador::INTEIRO_ALEM_DE_FLOAT);
    return Veredito::TIMSORT;
  }
  // The drop-ins order a list nearly in order natively, by its runs (or by radix where they
  // are too many); only the strategy functions leave it to the interpreter.
  if (percurso == nullptr && (descidas_amostra <= 2 || subidas_amostra <= 2)) {
    *motivo = "timsort: amostra quase monotônica";
    anotar_motivo(percurso, MotivoInterpretador::QUASE_MONOTONICA);
    return Veredito::TIMSORT;
  }
  return Veredito::NATIVO;
}

// Where a scan puts what it reads of item i: its record (object and key); for sort()'s copy
// also the item with a new reference, or its key alone, the item taking a new reference as it
// is read (its memory is in the cache then).
struct SaidaRegistros {
  static constexpr bool toma_referencias = false;
  Entrada* registros;
  void guardar(Py_ssize_t i, PyObject* objeto, std::uint64_t chave) const {
    registros[i] = Entrada{objeto, chave};
  }
  std::uint64_t& chave(Py_ssize_t i) const { return registros[i].chave; }
};

struct SaidaRegistrosCopiados {
  static constexpr bool toma_referencias = true;
  Entrada* registros;
  PyObject** copia;
  void guardar(Py_ssize_t i, PyObject* objeto, std::uint64_t chave) const {
    registros[i] = Entrada{objeto, chave};
    copia[i] = Py_NewRef(objeto);
  }
  std::uint64_t& chave(Py_ssize_t i) const { return registros[i].chave; }
};

struct SaidaChaves {
  static constexpr bool toma_referencias = true;
  std::uint64_t* chaves;
  void guardar(Py_ssize_t i, PyObject* objeto, std::uint64_t chave) const {
    chaves[i] = chave;
    Py_INCREF(objeto);
  }
  std::uint64_t& chave(Py_ssize_t i) const { return chaves[i]; }
};

// Both scans write what they read of the items [0, *lidos) before they return.

// The rest of a scan once a float is met, at `inicio`: the ints before it take the keys of
// their float values, and every value from there on is read as a float-mode key.
template <class Saida>
Veredito varrer_floats(PyObject* const* itens, Py_ssize_t inicio, Py_ssize_t n,
                       std::uint64_t mascara, const Saida saida, EstatisticasChaves* estat,
                       Percurso* percurso, Py_ssize_t* lidos) {
  EstatisticasChaves local;
  const auto chave_lida = [saida](Py_ssize_t i) -> std::uint64_t& { return saida.chave(i); };
  *lidos = inicio;
  if (!converter_para_floats(inicio, mascara, chave_lida, &local)) {
    percurso->motivo = MotivoInterpretador::INTEIRO_ALEM_DE_FLOAT;
    return Veredito::TIMSORT;
  }
  for (Py_ssize_t i = inicio; i < n; ++i) {
    if (i + distancia_prefetch < n) {
      __builtin_prefetch(itens[i + distancia_prefetch], Saida::toma_referencias ? 1 : 0);
    }
    PyObject* elemento = itens[i];
    std::uint64_t chave;
    const int lido = ler_chave_float(elemento, mascara, &chave, &percurso->motivo);
    if (lido <= 0) {
      *lidos = i;
      return lido < 0 ? Veredito::ERRO : Veredito::TIMSORT;
    }
    saida.guardar(i, elemento, chave);
    local.acrescentar(i, chave);
  }
  *lidos = n;
  percurso->floats = true;
  *estat = local;
  return Veredito::NATIVO;
}

// A scan of dates, datetimes or timedeltas, of the first item's kind: their int64 keys, as ints'.
template <class Saida>
Veredito varrer_temporais(PyObject* const* itens, Py_ssize_t n, std::uint64_t mascara,
                          const Saida saida, LeitorTemporal& leitor, EstatisticasChaves* estat,
                          Percurso* percurso, Py_ssize_t* lidos) {
  EstatisticasChaves local;
  percurso->temporal = leitor.nome();
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i + distancia_prefetch < n) {
      __builtin_prefetch(itens[i + distancia_prefetch], Saida::toma_referencias ? 1 : 0);
    }
    PyObject* elemento = itens[i];
    std::int64_t valor;
    if (leitor.ler(elemento, &valor, &percurso->motivo) == 0) {
      *lidos = i;
      return Veredito::TIMSORT;
    }
    const std::uint64_t chave = static_cast<std::uint64_t>(valor) ^ mascara;
    saida.guardar(i, elemento, chave);
    local.acrescentar(i, chave);
  }
  *lidos = n;
  *estat = local;
  return Veredito::NATIVO;
}

// One pass over the items builds every record and every statistic that the decisions need.
// `mascara` turns a value into its sort key: ascending, or descending for a reversed sort.
template <class Saida>
Veredito varrer(PyObject* const* itens, Py_ssize_t n, std::uint64_t mascara, const Saida saida,
                EstatisticasChaves* estat, Percurso* percurso, Py_ssize_t* lidos) {
  EstatisticasChaves local;  // kept in registers through the loop
  for (Py_ssize_t i = 0; i < n; ++i) {
    // The ints may lie anywhere in memory; fetching ahead overlaps the cache misses (of the
    // store of the new reference too, when taking one).
    if (i + distancia_prefetch < n) {
      __builtin_prefetch(itens[i + distancia_prefetch], Saida::toma_referencias ? 1 : 0);
    }
    PyObject* elemento = itens[i];
    std::int64_t valor;
    int lido;
    if (PyLong_CheckExact(elemento)) {
      lido = ler_int64_exato(elemento, &valor);
    } else if (percurso != nullptr && ler_bool(elemento, &valor)) {
      lido = 1;
      ++percurso->booleanos;
    } else {
      if (percurso != nullptr && PyFloat_CheckExact(elemento)) {
        return varrer_floats(itens, i, n, mascara, saida, estat, percurso, lidos);
      }
      if (LeitorTemporal temporais; percurso != nullptr && i == 0 && temporais.comecar(elemento)) {
        return varrer_temporais(itens, n, mascara, saida, temporais, estat, percurso, lidos);
      }
      anotar_motivo(percurso, MotivoInterpretador::TIPO);
      *lidos = i;
      return Veredito::TIMSORT;
    }
    if (lido <= 0) {
      anotar_motivo(percurso, MotivoInterpretador::FORA_INT64);
      *lidos = i;
      return lido < 0 ? Veredito::ERRO : Veredito::TIMSORT;
    }
    // Unsigned order of the keys is signed order of the values (or its reverse).
    const std::uint64_t chave = static_cast<std::uint64_t>(valor) ^ mascara;
    saida.guardar(i, elemento, chave);
    local.acrescentar(i, chave);
  }
  *lidos = n;
  *estat = local;
  return Veredito::NATIVO;
}

// The kernel that a scan's statistics call for, and the digits that it sorts on.
struct Plano {
  bool contagem;
  std::uint64_t amplitude;
  std::uint64_t variacao;
  int passagens;
  bool normalizar;  // the keys are to be rebased to 0 ... amplitude first
};

Plano planejar(const EstatisticasChaves& estat, Py_ssize_t n) {
  const std::uint64_t amplitude = estat.maior_chave - estat.menor_chave;
  const int passagens = contar_digitos_variaveis(estat.variacao);
  const bool contagem =
      n >= menor_tamanho_contagem && amplitude <= maior_amplitude_contagem &&
      (n >= tamanho_contagem_livre || amplitude <= 4 * static_cast<std::uint64_t>(n));
  return Plano{contagem, amplitude, estat.variacao, passagens,
               contagem || contar_digitos_amplitude(amplitude) < passagens};
}

bool quase_monotonica(const EstatisticasChaves& estat, Py_ssize_t n) {
  return estat.descidas <= (n >> 7) || estat.subidas <= (n >> 7);
}

// The drop-ins' path for keys in a few runs: the records `registros`, with room for as many again
// after them, merged by runs and their objects written to `itens`, where merging costs less than
// `passagens` radix passes. False otherwise: the records are then in an order from which a stable
// sort by their keys gives the same result.
bool ordenar_por_corridas(PyObject** itens, Entrada* registros, std::size_t n,
                          const EstatisticasChaves& estat, int passagens, bool liberar_gil,
                          Percurso* percurso) {
  ListaCorridas corridas;
  const std::uint64_t orcamento = orcamento_de_fusao(n, passagens);
  if (!talvez_corridas(estat, static_cast<Py_ssize_t>(n)) ||
      !medir_corridas_de_registros(registros, n, orcamento, corridas) ||
      !fundir_registros(itens, registros, registros + n, n, corridas, orcamento, liberar_gil)) {
    return false;
  }
  anotar_corridas(corridas, percurso);
  return true;
}

// ordenar_copia's result: the n items in order at the start of its block.
Veredito entregar_copia(BufferNativo<std::uint64_t>& bloco, std::size_t quantidade,
                        BufferNativo<PyObject*>* resultado) {
  // A block that the allocator keeps between calls goes back whole, the items copied out of it:
  // shrunk, it would teach glibc to map the next call's block afresh. A larger one is mapped
  // afresh by every call anyway, and shrinks in place.
  if (3 * quantidade * sizeof(std::uint64_t) <= maior_bloco_mantido) {
    *resultado = BufferNativo<PyObject*>::alocar(quantidade);
    if (*resultado) {
      std::memcpy(resultado->get(), bloco.get(), quantidade * sizeof(PyObject*));
      return Veredito::NATIVO;
    }
  }
  bloco.encolher(quantidade * sizeof(PyObject*) / sizeof(std::uint64_t));
  *resultado = BufferNativo<PyObject*>::adotar(reinterpret_cast<PyObject**>(bloco.release()));
  return Veredito::NATIVO;
}

}  // namespace

PyObject* vesk_sort_impl(PyObject* iteravel, TipoRetorno tipo, int copiar) {
  Referencia lista;
  if (copiar) {
    lista.reset(PyList_CheckExact(iteravel)
                    ? PyList_GetSlice(iteravel, 0, PyList_GET_SIZE(iteravel))
                    : PySequence_List(iteravel));
    if (!lista) {
      return nullptr;
    }
  } else {
    if (!PyList_CheckExact(iteravel)) {
      PyErr_SetString(PyExc_TypeError, "vesk_sort_in_place requer uma list exata");
      return nullptr;
    }
    lista = Referencia::nova(iteravel);
  }

  const Py_ssize_t n = PyList_GET_SIZE(lista.get());
  if (n <= 1) {
    return finalizar_resultado(std::move(lista), "trivial", tipo);
  }
  if (n < menor_tamanho_nativo) {
    return usar_timsort(std::move(lista), "timsort: entrada pequena", tipo);
  }

  const char* nome = nullptr;
  char estrategia[tamanho_nome_estrategia];
  Veredito veredito;
  {
    // In copy mode the kernel runs without the lock; the list, held, shows nobody its items.
    RetencaoLista retida(lista.get());
    veredito = ordenar_inteiros(retida.itens(), n, false, copiar != 0, &nome, estrategia);
    if (veredito == Veredito::NATIVO && retida.terminar() < 0) {
      return nullptr;
    }
  }
  switch (veredito) {
    case Veredito::ERRO:
      return nullptr;
    case Veredito::TIMSORT:
      return usar_timsort(std::move(lista), nome, tipo);
    case Veredito::NATIVO:
      break;
  }
  return finalizar_resultado(std::move(lista), nome, tipo);
}

namespace {

// Floats within the caches, in order or in a few runs, found and merged by comparing the objects'
// values, as the interpreter's sort does, before any record is read: true when the items are in
// order. False otherwise; where the merge stopped part way, the items (all taken, for sort()'s
// copy) stand in an order from which a stable sort gives the same result, and *copia is null.
bool fundir_floats_em_corridas(PyObject** itens, Py_ssize_t n, bool reverso, CopiaItens*& copia,
                               Percurso* percurso) {
  constexpr Py_ssize_t maior_nos_caches = Py_ssize_t{1} << 17;
  constexpr Py_ssize_t menor_alem_do_cache = Py_ssize_t{1} << 15;
  PyObject* const* valores = copia != nullptr ? copia->origem : itens;
  if (n > maior_nos_caches || !PyFloat_CheckExact(valores[0])) {
    return false;
  }
  CompararFloats comparar{reverso};
  // The floats of a long list lie anywhere in memory, beyond the caches: fetching ahead
  // overlaps the misses. A shorter list's lie in them, where the fetches only cost.
  const Py_ssize_t buscados = n >= menor_alem_do_cache ? n : 0;
  const auto ver = [valores, buscados](std::size_t j) {
    if (static_cast<Py_ssize_t>(j) + distancia_prefetch < buscados) {
      CompararFloats::buscar(valores[static_cast<Py_ssize_t>(j) + distancia_prefetch]);
    }
    return CompararFloats::valida(valores[j]);
  };
  if (!comeca_monotona(valores, static_cast<std::size_t>(n), comparar, ver)) {
    return false;
  }
  const auto quantidade = static_cast<std::size_t>(n);
  const std::uint64_t orcamento = orcamento_de_fusao(quantidade, 2);
  ListaCorridas corridas;
  if (!ver(0) ||
      medir_corridas(valores, quantidade, comparar, ver, corridas, orcamento) != quantidade) {
    return false;
  }
  if (copia != nullptr) {
    for (Py_ssize_t i = 0; i < n; ++i) {
      itens[i] = Py_NewRef(valores[i]);
    }
    copia->copiados = n;
    copia = nullptr;  // the items hold their references: what follows reads them
  }
  if (!corridas.em_ordem()) {
    BufferNativo<PyObject*> auxiliar = BufferNativo<PyObject*>::alocar(quantidade / 2 + 1);
    if (!auxiliar ||
        !fundir_corridas(itens, auxiliar.get(), quantidade, corridas, comparar, orcamento)) {
      return false;
    }
  }
  percurso->floats = true;
  anotar_corridas(corridas, percurso);
  return true;
}

}  // namespace

Veredito ordenar_inteiros(PyObject** itens, Py_ssize_t n, bool reverso, bool liberar_gil,
                          const char** nome, char* estrategia, Percurso* percurso,
                          CopiaItens* copia) {
  if (percurso != nullptr && fundir_floats_em_corridas(itens, n, reverso, copia, percurso)) {
    *nome = "corridas";
    return Veredito::NATIVO;
  }
  PyObject* const* valores = copia != nullptr ? copia->origem : itens;
  if (n >= 2 * menor_total_amostras) {
    const Veredito amostra = avaliar_amostra(valores, n, nome, percurso);
    if (amostra != Veredito::NATIVO) {
      return amostra;
    }
  }

  // The records, and after them room for as many again (the radix kernel's other side) and for
  // its tables.
  BufferNativo<Entrada> bloco =
      BufferNativo<Entrada>::alocar(2 * static_cast<std::size_t>(n) + entradas_tabelas_radix);
  if (!bloco) {
    if (percurso != nullptr) {
      *nome = "timsort: sem memória para o bloco nativo";
      percurso->motivo = MotivoInterpretador::MEMORIA;
      return Veredito::TIMSORT;
    }
    PyErr_NoMemory();
    return Veredito::ERRO;
  }
  EstatisticasChaves estat;
  const std::uint64_t mascara = reverso ? mascara_reversa : mascara_ascendente;
  Py_ssize_t lidos = 0;
  const Veredito varrido =
      copia != nullptr
          ? varrer(valores, n, mascara, SaidaRegistrosCopiados{bloco.get(), itens}, &estat,
                   percurso, &lidos)
          : varrer(itens, n, mascara, SaidaRegistros{bloco.get()}, &estat, percurso, &lidos);
  if (copia != nullptr) {
    copia->copiados = lidos;
  }
  switch (varrido) {
    case Veredito::ERRO:
      return Veredito::ERRO;
    case Veredito::TIMSORT:
      *nome = "timsort: tipo ou magnitude fora de int64";
      return Veredito::TIMSORT;
    case Veredito::NATIVO:
      break;
  }
  Plano plano = planejar(estat, n);
  if (percurso != nullptr && ordenar_por_corridas(itens, bloco.get(), static_cast<std::size_t>(n),
                                                  estat, plano.passagens, liberar_gil, percurso)) {
    *nome = "corridas";
    return Veredito::NATIVO;
  }
  if (percurso == nullptr && quase_monotonica(estat, n)) {
    *nome = "timsort: entrada quase monotônica";
    anotar_motivo(percurso, MotivoInterpretador::QUASE_MONOTONICA);
    return Veredito::TIMSORT;
  }

  if (plano.normalizar) {
    plano.variacao = normalizar_entradas(bloco.get(), n, estat.menor_chave);
    plano.passagens = contar_digitos_variaveis(plano.variacao);
  }
  *nome = plano.contagem ? ordenar_por_contagem(itens, bloco, n, plano.amplitude, plano.variacao,
                                                plano.passagens, liberar_gil, estrategia)
                         : ordenar_por_radix(itens, bloco.get(), n, plano.variacao, plano.passagens,
                                             liberar_gil, estrategia);
  if (percurso != nullptr) {
    // Counting hands over to radix when its counts cannot be had.
    const bool contou = std::string_view(*nome).starts_with("counting");
    percurso->algoritmo = contou ? KEYED_COUNTING : KEYED_RADIX;
    percurso->passagens = contou ? 0 : plano.passagens;
  }
  return Veredito::NATIVO;
}

bool copia_por_posicoes(Py_ssize_t n) {
  return (2 * static_cast<std::size_t>(n) + entradas_tabelas_radix) * sizeof(Entrada) >
         maior_bloco_mantido;
}

Veredito ordenar_copia(PyObject* const* origem, Py_ssize_t n, bool reverso, bool liberar_gil,
                       Percurso* percurso, BufferNativo<PyObject*>* resultado,
                       Py_ssize_t* tomados) {
  *tomados = 0;
  const char* nome = nullptr;
  if (n >= 2 * menor_total_amostras) {
    const Veredito amostra = avaliar_amostra(origem, n, &nome, percurso);
    if (amostra != Veredito::NATIVO) {
      return amostra;
    }
  }
  if (static_cast<std::uint64_t>(n) > UINT32_MAX) {
    percurso->motivo = MotivoInterpretador::MEMORIA;  // more items than 32-bit positions
    return Veredito::TIMSORT;
  }
  // The keys and their other side, then 32-bit positions on both sides, then the tables: 24
  // bytes per item. The result's item array takes the place of the keys at the end.
  const auto quantidade = static_cast<std::size_t>(n);
  BufferNativo<std::uint64_t> bloco =
      BufferNativo<std::uint64_t>::alocar(3 * quantidade + palavras_tabelas_radix);
  if (!bloco) {
    percurso->motivo = MotivoInterpretador::MEMORIA;
    return Veredito::TIMSORT;
  }
  std::uint64_t* chaves = bloco.get();
  EstatisticasChaves estat;
  const std::uint64_t mascara = reverso ? mascara_reversa : mascara_ascendente;
  const Veredito varrido =
      varrer(origem, n, mascara, SaidaChaves{chaves}, &estat, percurso, tomados);
  if (varrido != Veredito::NATIVO) {
    return varrido;
  }
  Plano plano = planejar(estat, n);
  ListaCorridas corridas;
  if (talvez_corridas(estat, n) &&
      medir_corridas_de_chaves(chaves, quantidade, orcamento_de_fusao(quantidade, plano.passagens),
                               corridas)) {
    // The records of the runs' merge take the place of the other side and the positions, and
    // the keys' room is the merge's scratch, then the items in order. The merge runs to its end:
    // the positions that a radix sort would need are gone.
    anotar_corridas(corridas, percurso);
    auto* registros = reinterpret_cast<Entrada*>(chaves + quantidade);
    for (std::size_t i = 0; i < quantidade; ++i) {
      registros[i] = Entrada{origem[i], chaves[i]};
    }
    auto* saida = reinterpret_cast<PyObject**>(chaves);
    if (corridas.em_ordem()) {
      std::memcpy(saida, origem, quantidade * sizeof(PyObject*));
    } else {
      fundir_registros(saida, registros, reinterpret_cast<Entrada*>(chaves), quantidade, corridas,
                       UINT64_MAX, liberar_gil);
    }
    return entregar_copia(bloco, quantidade, resultado);
  }
  if (plano.normalizar) {
    plano.variacao = normalizar_chaves(chaves, n, estat.menor_chave);
    plano.passagens = contar_digitos_variaveis(plano.variacao);
  }
  // Counting: the item array at the start, the counts after it, the keys narrowed to 32 bits at
  // the end (grown for wide counts; radix when that cannot be had).
  const std::size_t palavras_contagem =
      quantidade + static_cast<std::size_t>(plano.amplitude) + 1 + (quantidade + 1) / 2;
  const bool contar =
      plano.contagem && (palavras_contagem <= 3 * quantidade + palavras_tabelas_radix ||
                         bloco.realocar(palavras_contagem));
  chaves = bloco.get();
  auto* saida = reinterpret_cast<PyObject**>(chaves);
  if (contar) {
    const std::size_t palavras = std::max(palavras_contagem, 3 * quantidade);
    const AreaContagem area{reinterpret_cast<std::uint32_t*>(chaves + palavras) - quantidade,
                            reinterpret_cast<Py_ssize_t*>(chaves + quantidade), saida};
    contar_na_area(
        area, [chaves](std::size_t i) { return chaves[i]; }, origem, quantidade, plano.amplitude,
        liberar_gil);
    percurso->algoritmo = KEYED_COUNTING;
    percurso->passagens = 0;
  } else {
    auto* posicoes = reinterpret_cast<std::uint32_t*>(chaves + 2 * quantidade);
    TabelasRadix& tabelas = tabelas_radix_em(chaves + 3 * quantidade);
    {
      LiberacaoGil sem_gil(liberar_gil);
      for (std::size_t i = 0; i < quantidade; ++i) {
        posicoes[i] = static_cast<std::uint32_t>(i);
      }
      const int lado = radix_linhas(chaves, chaves + quantidade, posicoes, posicoes + quantidade,
                                    quantidade, plano.variacao, tabelas);
      const std::uint32_t* ordem = posicoes + (lado != 0 ? quantidade : 0);
      for (std::size_t p = 0; p < quantidade; ++p) {
        saida[p] = origem[ordem[p]];
      }
    }
    percurso->algoritmo = KEYED_RADIX;
    percurso->passagens = plano.passagens;
  }
  return entregar_copia(bloco, quantidade, resultado);
}

}  // namespace vesksort
