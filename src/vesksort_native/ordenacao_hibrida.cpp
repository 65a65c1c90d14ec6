// The unkeyed hybrid sort: decides from a sample and one scan whether a list of exact ints
// can be ordered natively, and sends every other list to the interpreter's list sort with the
// reason as its strategy name.
#include <algorithm>
#include <string_view>

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
  if (descidas_amostra <= 2 || subidas_amostra <= 2) {
    *motivo = "timsort: amostra quase monotônica";
    anotar_motivo(percurso, MotivoInterpretador::QUASE_MONOTONICA);
    return Veredito::TIMSORT;
  }
  return Veredito::NATIVO;
}

// Both scans write the records of the items [0, *lidos) before they return. With a `copia`
// they store each item read there too, with a new reference: the copy that sort() makes.

// The rest of a scan once a float is met, at `inicio`: the ints before it take the keys of
// their float values, and every value from there on is read as a float-mode key.
Veredito varrer_floats(PyObject* const* itens, Py_ssize_t inicio, Py_ssize_t n,
                       std::uint64_t mascara, Entrada* origem, EstatisticasChaves* estat,
                       Percurso* percurso, PyObject** copia, Py_ssize_t* lidos) {
  EstatisticasChaves local;
  const auto chave_lida = [origem](Py_ssize_t i) -> std::uint64_t& { return origem[i].chave; };
  *lidos = inicio;
  if (!converter_para_floats(inicio, mascara, chave_lida, &local)) {
    percurso->motivo = MotivoInterpretador::INTEIRO_ALEM_DE_FLOAT;
    return Veredito::TIMSORT;
  }
  for (Py_ssize_t i = inicio; i < n; ++i) {
    if (i + distancia_prefetch < n) {
      __builtin_prefetch(itens[i + distancia_prefetch]);
    }
    PyObject* elemento = itens[i];
    std::uint64_t chave;
    const int lido = ler_chave_float(elemento, mascara, &chave, &percurso->motivo);
    if (lido <= 0) {
      *lidos = i;
      return lido < 0 ? Veredito::ERRO : Veredito::TIMSORT;
    }
    origem[i] = Entrada{elemento, chave};
    if (copia != nullptr) {
      copia[i] = Py_NewRef(elemento);
    }
    local.acrescentar(i, chave);
  }
  *lidos = n;
  percurso->floats = true;
  *estat = local;
  return Veredito::NATIVO;
}

// One pass over the items builds every record and every statistic that the decisions need.
// `mascara` turns a value into its sort key: ascending, or descending for a reversed sort.
template <bool copiando>
Veredito varrer(PyObject* const* itens, Py_ssize_t n, std::uint64_t mascara, Entrada* origem,
                EstatisticasChaves* estat, Percurso* percurso, PyObject** copia,
                Py_ssize_t* lidos) {
  EstatisticasChaves local;  // kept in registers through the loop
  for (Py_ssize_t i = 0; i < n; ++i) {
    // The ints may lie anywhere in memory; fetching ahead overlaps the cache misses (of the
    // store of the new reference too, when copying).
    if (i + distancia_prefetch < n) {
      __builtin_prefetch(itens[i + distancia_prefetch], copiando ? 1 : 0);
    }
    PyObject* elemento = itens[i];
    if (!PyLong_CheckExact(elemento)) {
      if (percurso != nullptr && PyFloat_CheckExact(elemento)) {
        return varrer_floats(itens, i, n, mascara, origem, estat, percurso, copia, lidos);
      }
      anotar_motivo(percurso, MotivoInterpretador::TIPO);
      *lidos = i;
      return Veredito::TIMSORT;
    }
    std::int64_t valor;
    const int lido = ler_int64_exato(elemento, &valor);
    if (lido <= 0) {
      anotar_motivo(percurso, MotivoInterpretador::FORA_INT64);
      *lidos = i;
      return lido < 0 ? Veredito::ERRO : Veredito::TIMSORT;
    }
    const std::uint64_t chave = static_cast<std::uint64_t>(valor) ^ mascara;
    origem[i] = Entrada{elemento, chave};
    if constexpr (copiando) {
      copia[i] = Py_NewRef(elemento);
    }
    // Unsigned order of the keys is signed order of the values (or its reverse).
    local.acrescentar(i, chave);
  }
  *lidos = n;
  *estat = local;
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

Veredito ordenar_inteiros(PyObject** itens, Py_ssize_t n, bool reverso, bool liberar_gil,
                          const char** nome, char* estrategia, Percurso* percurso,
                          CopiaItens* copia) {
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
          ? varrer<true>(valores, n, mascara, bloco.get(), &estat, percurso, itens, &lidos)
          : varrer<false>(valores, n, mascara, bloco.get(), &estat, percurso, nullptr, &lidos);
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
  if (estat.descidas <= (n >> 7) || estat.subidas <= (n >> 7)) {
    *nome = "timsort: entrada quase monotônica";
    anotar_motivo(percurso, MotivoInterpretador::QUASE_MONOTONICA);
    return Veredito::TIMSORT;
  }

  std::uint64_t variacao = estat.variacao;
  int passagens = contar_digitos_variaveis(variacao);
  const std::uint64_t amplitude = estat.maior_chave - estat.menor_chave;
  const int digitos_amplitude = contar_digitos_amplitude(amplitude);
  const bool usar_contagem =
      n >= menor_tamanho_contagem && amplitude <= maior_amplitude_contagem &&
      (n >= tamanho_contagem_livre || amplitude <= 4 * static_cast<std::uint64_t>(n));
  if (usar_contagem || digitos_amplitude < passagens) {
    variacao = normalizar_entradas(bloco.get(), n, estat.menor_chave);
    passagens = contar_digitos_variaveis(variacao);
  }

  *nome = usar_contagem ? ordenar_por_contagem(itens, bloco, n, amplitude, variacao, passagens,
                                               liberar_gil, estrategia)
                        : ordenar_por_radix(itens, bloco.get(), n, variacao, passagens, liberar_gil,
                                            estrategia);
  if (percurso != nullptr) {
    // Counting hands over to radix when its counts cannot be had.
    const bool contou = std::string_view(*nome).starts_with("counting");
    percurso->algoritmo = contou ? KEYED_COUNTING : KEYED_RADIX;
    percurso->passagens = contou ? 0 : passagens;
  }
  return Veredito::NATIVO;
}

}  // namespace vesksort
