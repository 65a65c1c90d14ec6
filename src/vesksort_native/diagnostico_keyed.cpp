// The result of a successful keyed sort: the list, the pair with the strategy name, or the
// pair with the diagnostic dictionary and its estimate of the auxiliary memory.
#include "vesksort.h"

namespace vesksort {
namespace {

int multiplicar_tamanho(std::size_t a, std::size_t b, std::size_t* resultado) {
  if (b != 0 && a > SIZE_MAX / b) {
    return 0;
  }
  *resultado = a * b;
  return 1;
}

int somar_tamanho(std::size_t a, std::size_t b, std::size_t* resultado) {
  if (a > SIZE_MAX - b) {
    return 0;
  }
  *resultado = a + b;
  return 1;
}

PyObject* novo_none() { return Py_NewRef(Py_None); }

// Takes over `valor` (a new reference, or null when its constructor failed).
int adicionar_item_diagnostico(PyObject* diagnostico, const char* nome, PyObject* valor) {
  if (valor == nullptr) {
    return -1;
  }
  const int resultado = PyDict_SetItemString(diagnostico, nome, valor);
  Py_DECREF(valor);
  return resultado;
}

}  // namespace

int estimar_memoria_keyed(Py_ssize_t n, AlgoritmoKeyed algoritmo, std::uint64_t amplitude,
                          std::size_t* estimativa, std::size_t* pior_caso) {
  // Bytes per element: list item slot, two 64-bit keys and the object scratch pointer.
  constexpr std::size_t bytes_por_radix = 32;
  const auto quantidade = static_cast<std::size_t>(n);
  std::size_t pior;
  if (!multiplicar_tamanho(quantidade, bytes_por_radix, &pior)) {
    return 0;
  }
  std::size_t estimado;
  switch (algoritmo) {
    case KEYED_RADIX:
      estimado = pior;
      break;
    case KEYED_COUNTING: {
      // While the keys are narrowed: item slot, 64-bit and 32-bit key. While it orders: item
      // slot, 32-bit key, output pointer, and the count table.
      const std::size_t fase_conversao = quantidade * 20;
      if (amplitude == UINT64_MAX || amplitude >= SIZE_MAX) {
        return 0;
      }
      std::size_t tabela;
      std::size_t fase_ordenacao;
      if (!multiplicar_tamanho(static_cast<std::size_t>(amplitude) + 1, 8, &tabela) ||
          !somar_tamanho(quantidade * 20, tabela, &fase_ordenacao)) {
        return 0;
      }
      estimado = fase_conversao > fase_ordenacao ? fase_conversao : fase_ordenacao;
      break;
    }
    case KEYED_TRIVIAL:
    case KEYED_JA_ORDENADO:
    default:
      estimado = quantidade * 16;  // item slot and 64-bit key
      break;
  }
  *estimativa = estimado;
  *pior_caso = pior;
  return 1;
}

PyObject* finalizar_resultado_keyed(Referencia lista, const char* estrategia, const char* algoritmo,
                                    const char* motivo, TipoRetorno tipo, Py_ssize_t n,
                                    int possui_dominio, std::int64_t menor_valor,
                                    std::int64_t maior_valor, std::uint64_t amplitude,
                                    int passagens, int normalizado, int reverso,
                                    AlgoritmoKeyed codigo_algoritmo) {
  if (tipo != RETORNO_DIAGNOSTICO_ESTRUTURADO) {
    return finalizar_resultado(std::move(lista), estrategia, tipo);
  }
  std::size_t estimativa = 0;
  std::size_t pior_caso = 0;
  const int estimativa_valida =
      estimar_memoria_keyed(n, codigo_algoritmo, amplitude, &estimativa, &pior_caso);

  Referencia diagnostico(PyDict_New());
  if (!diagnostico) {
    return nullptr;
  }
  PyObject* d = diagnostico.get();
  // Each value is made only once every earlier one is in; the first failure stops the rest.
  if (adicionar_item_diagnostico(d, "strategy", PyUnicode_FromString(estrategia)) < 0 ||
      adicionar_item_diagnostico(d, "algorithm", PyUnicode_FromString(algoritmo)) < 0 ||
      adicionar_item_diagnostico(d, "reason", PyUnicode_FromString(motivo)) < 0 ||
      adicionar_item_diagnostico(d, "n", PyLong_FromSsize_t(n)) < 0 ||
      adicionar_item_diagnostico(d, "key_domain", PyUnicode_FromString("signed-int64")) < 0 ||
      adicionar_item_diagnostico(
          d, "key_min", possui_dominio ? PyLong_FromLongLong(menor_valor) : novo_none()) < 0 ||
      adicionar_item_diagnostico(
          d, "key_max", possui_dominio ? PyLong_FromLongLong(maior_valor) : novo_none()) < 0 ||
      adicionar_item_diagnostico(
          d, "key_span", possui_dominio ? PyLong_FromUnsignedLongLong(amplitude) : novo_none()) <
          0 ||
      adicionar_item_diagnostico(
          d, "radix_passes",
          codigo_algoritmo == KEYED_RADIX ? PyLong_FromLong(passagens) : novo_none()) < 0 ||
      adicionar_item_diagnostico(d, "normalized", PyBool_FromLong(normalizado)) < 0 ||
      adicionar_item_diagnostico(d, "stable", PyBool_FromLong(1)) < 0 ||
      adicionar_item_diagnostico(d, "reverse", PyBool_FromLong(reverso)) < 0 ||
      adicionar_item_diagnostico(d, "key_calls", PyLong_FromSsize_t(n)) < 0 ||
      adicionar_item_diagnostico(d, "estimated_variable_auxiliary_bytes",
                                 estimativa_valida ? PyLong_FromSize_t(estimativa) : novo_none()) <
          0 ||
      adicionar_item_diagnostico(d, "worst_case_variable_auxiliary_bytes",
                                 estimativa_valida ? PyLong_FromSize_t(pior_caso) : novo_none()) <
          0 ||
      adicionar_item_diagnostico(d, "memory_estimate_scope",
                                 PyUnicode_FromString("result-list items and native variable "
                                                      "buffers; excludes input objects, "
                                                      "allocator overhead, and fixed stack")) < 0 ||
      adicionar_item_diagnostico(d, "prototype", PyBool_FromLong(1)) < 0) {
    return nullptr;
  }
  return formar_par(std::move(lista), std::move(diagnostico));
}

}  // namespace vesksort
