// The machine's limit for the native paths: the steps of the module's cores run over plain
// arrays, with the module's own pure kernels and no interpreter. The int objects of a list are
// stood in for by 32-byte records laid out in the order in which the ints lie in memory.
//
//   nucleos_bench VALUES_FILE unkeyed|keyed|keyed-reverse REPEATS
//
// VALUES_FILE holds the signed 64-bit values in list order, then for each element the rank of
// its object's address among the list's distinct objects (native byte order): the stand-ins
// are laid out in that order, so that a list whose ints lie scattered in memory is scanned in
// the same scattered order, and an object that the list holds twice is one stand-in. Prints one
// JSON object: the best time of each step over REPEATS runs, in ns per element, with the
// kernel that the module would choose for these values.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vesksort.h"

namespace {

using namespace vesksort;

// Where the scan reads an int: its reference count is written by a list copy, its value read.
struct IntSimulado {
  Py_ssize_t referencias;
  const void* tipo;
  std::uintptr_t etiqueta;
  std::int64_t valor;
};

template <class T>
T* alocar(std::size_t quantidade, bool zerar = false) {
  void* dados = zerar ? std::calloc(quantidade, sizeof(T)) : std::malloc(quantidade * sizeof(T));
  if (dados == nullptr) {
    std::fprintf(stderr, "nucleos_bench: out of memory\n");
    std::exit(1);
  }
  pedir_paginas_grandes(dados, quantidade * sizeof(T));
  return static_cast<T*>(dados);
}

using Relogio = std::chrono::steady_clock;

double segundos_desde(Relogio::time_point inicio) {
  return std::chrono::duration<double>(Relogio::now() - inicio).count();
}

// The counting bounds of the two cores: the unkeyed driver needs 250000 elements, the keyed one
// 8192; both take a span of at most 3999999 and 4n, or any span up to that from 10^6 on.
bool escolher_contagem(Py_ssize_t n, std::uint64_t amplitude, Py_ssize_t menor_tamanho) {
  return n >= menor_tamanho && amplitude <= 3999999 &&
         (n >= 1000000 || amplitude <= 4 * static_cast<std::uint64_t>(n));
}

// How the module orders keys with these statistics. `rebasear(menor)` subtracts the smallest
// key from every key and returns the mask of bits in which the rebased keys vary.
struct Plano {
  bool contagem;
  std::uint64_t amplitude;
  std::uint64_t variacao;
  int passagens;
};

template <class Rebasear>
Plano planejar(const EstatisticasChaves& estat, Py_ssize_t n, Py_ssize_t menor_contagem,
               Rebasear rebasear) {
  Plano plano;
  plano.variacao = estat.variacao;
  plano.passagens = contar_digitos_variaveis(plano.variacao);
  plano.amplitude = estat.maior_chave - estat.menor_chave;
  plano.contagem = escolher_contagem(n, plano.amplitude, menor_contagem);
  if (plano.contagem || contar_digitos_amplitude(plano.amplitude) < plano.passagens) {
    plano.variacao = rebasear(estat.menor_chave);
    plano.passagens = contar_digitos_variaveis(plano.variacao);
  }
  return plano;
}

struct Tempos {
  double copia = 1e30;      // list copy: pointer copy and a reference-count store per element
  double varredura = 1e30;  // scan of the ints into records (or keys) with the statistics
  double ordenar = 1e30;    // rebasing, buffers and kernel
  double escrita = 1e30;    // write-back of the objects into the item array
  double toque = 1e30;      // one reference-count store per element (release of a key list)
  const char* algoritmo = "";
  int passagens = 0;

  void manter_menor(double& atual, double novo) { atual = novo < atual ? novo : atual; }
};

void medir_copia(PyObject** itens, std::size_t n, Tempos& t) {
  PyObject** copia = alocar<PyObject*>(n);
  const auto inicio = Relogio::now();
  for (std::size_t i = 0; i < n; ++i) {
    copia[i] = itens[i];
    ++reinterpret_cast<IntSimulado*>(itens[i])->referencias;
  }
  t.manter_menor(t.copia, segundos_desde(inicio));
  std::free(copia);
}

void medir_toque(PyObject** itens, std::size_t n, Tempos& t) {
  const auto inicio = Relogio::now();
  for (std::size_t i = 0; i < n; ++i) {
    --reinterpret_cast<IntSimulado*>(itens[i])->referencias;
  }
  t.manter_menor(t.toque, segundos_desde(inicio));
}

// The unkeyed core from the scan on: records, rebasing, radix or counting, write-back.
void medir_unkeyed(PyObject** originais, std::size_t n, Tempos& t) {
  PyObject** itens = alocar<PyObject*>(n);
  std::memcpy(itens, originais, n * sizeof(PyObject*));
  const auto tamanho = static_cast<Py_ssize_t>(n);

  auto inicio = Relogio::now();
  Entrada* origem = alocar<Entrada>(n);
  EstatisticasChaves estat;
  for (Py_ssize_t i = 0; i < tamanho; ++i) {
    if (i + distancia_prefetch < tamanho) {
      __builtin_prefetch(itens[i + distancia_prefetch]);
    }
    PyObject* elemento = itens[i];
    const std::uint64_t chave =
        chave_ordenavel(reinterpret_cast<const IntSimulado*>(elemento)->valor);
    origem[i] = Entrada{elemento, chave};
    estat.acrescentar(i, chave);
  }
  t.manter_menor(t.varredura, segundos_desde(inicio));

  inicio = Relogio::now();
  const auto [contagem, amplitude, variacao, passagens] =
      planejar(estat, tamanho, 250000,
               [&](std::uint64_t menor) { return normalizar_entradas(origem, tamanho, menor); });
  PyObject** resultado;
  void* liberar_depois[3] = {nullptr, nullptr, nullptr};
  Entrada* ordenadas = nullptr;
  if (contagem) {
    auto* chaves = alocar<std::uint32_t>(n);
    for (std::size_t i = 0; i < n; ++i) {
      chaves[i] = static_cast<std::uint32_t>(origem[i].chave);
    }
    std::free(origem);
    auto* saida = alocar<PyObject*>(n);
    auto* contagens = alocar<Py_ssize_t>(static_cast<std::size_t>(amplitude) + 1, true);
    contagem_estavel(chaves, itens, saida, n, contagens, amplitude);
    resultado = saida;
    liberar_depois[0] = chaves;
    liberar_depois[1] = saida;
    liberar_depois[2] = contagens;
    t.algoritmo = "counting";
  } else {
    Entrada* destino = alocar<Entrada>(n);
    TabelasRadix tabelas;
    ordenadas = radix_entradas(origem, destino, n, variacao, tabelas);
    resultado = nullptr;
    liberar_depois[0] = origem;
    liberar_depois[1] = destino;
    t.algoritmo = "radix";
    t.passagens = passagens;
  }
  t.manter_menor(t.ordenar, segundos_desde(inicio));

  inicio = Relogio::now();
  if (resultado != nullptr) {
    for (std::size_t i = 0; i < n; ++i) {
      itens[i] = resultado[i];
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      itens[i] = ordenadas[i].objeto;
    }
  }
  for (void* buffer : liberar_depois) {
    std::free(buffer);
  }
  t.manter_menor(t.escrita, segundos_desde(inicio));
  std::free(itens);
}

// The keyed core from the key objects on: the key array, rebasing, counting or compact radix.
// The objects that it orders are never read, only moved.
void medir_keyed(PyObject** chaves_objeto, std::size_t n, bool reverso, Tempos& t) {
  PyObject** itens = alocar<PyObject*>(n);
  std::memcpy(itens, chaves_objeto, n * sizeof(PyObject*));
  const auto tamanho = static_cast<Py_ssize_t>(n);
  const std::uint64_t mascara = reverso ? 0x7FFFFFFFFFFFFFFFULL : 0x8000000000000000ULL;

  auto inicio = Relogio::now();
  auto* chaves_origem = alocar<std::uint64_t>(n);
  EstatisticasChaves estat;
  std::int64_t menor_valor = INT64_MAX;
  std::int64_t maior_valor = INT64_MIN;
  for (Py_ssize_t i = 0; i < tamanho; ++i) {
    if (i + distancia_prefetch < tamanho) {
      __builtin_prefetch(chaves_objeto[i + distancia_prefetch]);
    }
    const std::int64_t valor = reinterpret_cast<const IntSimulado*>(chaves_objeto[i])->valor;
    const std::uint64_t chave = static_cast<std::uint64_t>(valor) ^ mascara;
    chaves_origem[i] = chave;
    menor_valor = valor < menor_valor ? valor : menor_valor;
    maior_valor = valor > maior_valor ? valor : maior_valor;
    estat.acrescentar(i, chave);
  }
  t.manter_menor(t.varredura, segundos_desde(inicio));
  if (menor_valor > maior_valor) {  // keeps the value statistics from being optimised away
    std::abort();
  }

  inicio = Relogio::now();
  if (estat.descidas == 0) {
    t.algoritmo = "already-sorted";
    std::free(chaves_origem);
    t.manter_menor(t.ordenar, segundos_desde(inicio));
    t.escrita = 0;
    std::free(itens);
    return;
  }
  const auto [contagem, amplitude, variacao, passagens] = planejar(
      estat, tamanho, 8192,
      [&](std::uint64_t menor) { return normalizar_chaves(chaves_origem, tamanho, menor); });
  if (contagem) {
    auto* chaves = alocar<std::uint32_t>(n);
    for (std::size_t i = 0; i < n; ++i) {
      chaves[i] = static_cast<std::uint32_t>(chaves_origem[i]);
    }
    std::free(chaves_origem);
    auto* saida = alocar<PyObject*>(n);
    auto* contagens = alocar<Py_ssize_t>(static_cast<std::size_t>(amplitude) + 1, true);
    contagem_estavel(chaves, itens, saida, n, contagens, amplitude);
    for (std::size_t i = 0; i < n; ++i) {
      itens[i] = saida[i];
    }
    std::free(contagens);
    std::free(saida);
    std::free(chaves);
    t.algoritmo = "counting";
  } else {
    auto* chaves_destino = alocar<std::uint64_t>(n);
    auto* objetos_destino = alocar<PyObject*>(n);
    TabelasRadix tabelas;
    radix_compacto(chaves_origem, chaves_destino, itens, objetos_destino, n, variacao, tabelas);
    std::free(objetos_destino);
    std::free(chaves_destino);
    std::free(chaves_origem);
    t.algoritmo = "radix";
    t.passagens = passagens;
  }
  t.manter_menor(t.ordenar, segundos_desde(inicio));
  t.escrita = 0;  // the compact kernel writes the item array in every pass
  std::free(itens);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: nucleos_bench VALUES_FILE unkeyed|keyed|keyed-reverse REPEATS\n");
    return 2;
  }
  const char* modo = argv[2];
  const bool unkeyed = std::strcmp(modo, "unkeyed") == 0;
  const bool reverso = std::strcmp(modo, "keyed-reverse") == 0;
  if (!unkeyed && !reverso && std::strcmp(modo, "keyed") != 0) {
    std::fprintf(stderr, "nucleos_bench: unknown mode %s\n", modo);
    return 2;
  }
  const int repeticoes = std::atoi(argv[3]);

  std::FILE* arquivo = std::fopen(argv[1], "rb");
  if (arquivo == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fseek(arquivo, 0, SEEK_END);
  const long bytes = std::ftell(arquivo);
  std::fseek(arquivo, 0, SEEK_SET);
  const auto n = static_cast<std::size_t>(bytes) / (2 * sizeof(std::int64_t));
  auto* valores = alocar<std::int64_t>(2 * n + 1);
  if (std::fread(valores, sizeof(std::int64_t), 2 * n, arquivo) != 2 * n) {
    std::fprintf(stderr, "nucleos_bench: short read\n");
    return 1;
  }
  std::fclose(arquivo);
  const std::int64_t* posicoes = valores + n;

  auto* ints = alocar<IntSimulado>(n + 1);
  auto* itens = alocar<PyObject*>(n + 1);
  for (std::size_t i = 0; i < n; ++i) {
    const auto posicao = static_cast<std::size_t>(posicoes[i]);
    if (posicao >= n) {
      std::fprintf(stderr, "nucleos_bench: address rank out of range\n");
      return 1;
    }
    ints[posicao] = IntSimulado{1, nullptr, 2, valores[i]};
    itens[i] = reinterpret_cast<PyObject*>(&ints[posicao]);
  }

  // The first run pays for mapping the buffers in, which a process that sorts repeatedly
  // does not: it is left out.
  Tempos t;
  for (int r = -1; r < repeticoes; ++r) {
    if (r == 0) {
      t = Tempos{};
    }
    medir_copia(itens, n, t);
    medir_toque(itens, n, t);
    if (unkeyed) {
      medir_unkeyed(itens, n, t);
    } else {
      medir_keyed(itens, n, reverso, t);
    }
  }
  const double por_elemento = n > 0 ? 1e9 / static_cast<double>(n) : 0.0;
  std::printf(
      "{\"n\": %zu, \"algorithm\": \"%s\", \"passes\": %d, \"copy\": %.4f, \"scan\": %.4f, "
      "\"order\": %.4f, \"write_back\": %.4f, \"touch\": %.4f}\n",
      n, t.algoritmo, t.passagens, t.copia * por_elemento, t.varredura * por_elemento,
      t.ordenar * por_elemento, t.escrita * por_elemento, t.toque * por_elemento);
  std::free(itens);
  std::free(ints);
  std::free(valores);
  return 0;
}
