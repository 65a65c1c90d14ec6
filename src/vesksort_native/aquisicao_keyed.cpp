// The keyed core's key acquisition: one validated signed 64-bit key per item, from a key
// function, from a full cache, or from a cached prefix followed by key-function calls. When a
// cache-mode call gives up, every key it computed is left, in item order, in the cache list, so
// that a fallback sort never computes a key twice.
#include <cstring>

#include "leitores.h"

namespace vesksort {
namespace {

constexpr Py_ssize_t tamanho_checkpoint = 2048;
constexpr Py_ssize_t maior_entrada_sem_digitos = 32768;

// Appends slots inicio ... fim - 1 of `chaves_python` to `destino`, in order.
int preservar_cache_prefixado(PyObject* destino, PyObject* const* chaves_python, Py_ssize_t inicio,
                              Py_ssize_t fim) {
  for (Py_ssize_t i = inicio; i < fim; ++i) {
    if (PyList_Append(destino, chaves_python[i]) < 0) {
      return -1;
    }
  }
  return 0;
}

void liberar_cache_chaves_python(PyObject** chaves_python, Py_ssize_t inicio, Py_ssize_t fim) {
  if (chaves_python == nullptr) {
    return;
  }
  for (Py_ssize_t i = inicio; i < fim; ++i) {
    Py_DECREF(chaves_python[i]);
  }
  PyMem_Free(chaves_python);
}

// The key objects that a prefix call computed (slots inicio ... quantidade - 1), released with
// their array when the scope ends.
class ChavesPython {
 public:
  ChavesPython(PyObject** slots, Py_ssize_t inicio)
      : slots_(slots), inicio_(inicio), quantidade_(inicio) {}
  ChavesPython(const ChavesPython&) = delete;
  ChavesPython& operator=(const ChavesPython&) = delete;
  ~ChavesPython() { liberar(); }

  void guardar(Py_ssize_t i, PyObject* chave) {
    slots_[i] = chave;
    quantidade_ = i + 1;
  }
  int preservar_em(PyObject* destino, Py_ssize_t inicio) const {
    return preservar_cache_prefixado(destino, slots_, inicio, quantidade_);
  }
  void liberar() {
    liberar_cache_chaves_python(slots_, inicio_, quantidade_);
    slots_ = nullptr;
  }

 private:
  PyObject** slots_;
  Py_ssize_t inicio_;
  Py_ssize_t quantidade_;
};

// Among the first 2048 keys of a prefix call with an empty cache: few changes of direction over
// a wide span predict a sort that the interpreter's own merge of runs does better.
bool checkpoint_adaptativo(Py_ssize_t quantidade_amostrada, Py_ssize_t n, Py_ssize_t descidas,
                           Py_ssize_t subidas, std::uint64_t menor_chave, std::uint64_t maior_chave,
                           std::uint64_t variacao) {
  const Py_ssize_t limite_mudancas_direcao = quantidade_amostrada >> 5;
  const bool prefixo_quase_monotono = (descidas >= 1 && descidas <= limite_mudancas_direcao) ||
                                      (subidas >= 1 && subidas <= limite_mudancas_direcao) ||
                                      (subidas == 0 && descidas >= 1);
  return prefixo_quase_monotono && maior_chave - menor_chave > 4 * static_cast<std::uint64_t>(n) &&
         (n <= maior_entrada_sem_digitos || contar_digitos_variaveis(variacao) > 4);
}

}  // namespace

PyObject* sort_by_int64_key_prototype_impl(PyObject* iteravel, PyObject* funcao_chave,
                                           PyObject* chaves_cacheadas, TipoRetorno tipo,
                                           ModoChaveKeyed modo_chave, int reverso) {
  const bool modo_cache = modo_chave != KEYED_CHAVE_DIRETA;
  if (modo_chave != KEYED_CACHE_COMPLETO && !PyCallable_Check(funcao_chave)) {
    PyErr_SetString(PyExc_TypeError, "key deve ser chamável");
    return nullptr;
  }
  Referencia lista;
  if (modo_cache) {
    if (!PyList_CheckExact(iteravel) || !PyList_CheckExact(chaves_cacheadas) ||
        iteravel == chaves_cacheadas) {
      PyErr_SetString(PyExc_TypeError, "o caminho cacheado requer duas lists exatas e distintas");
      return nullptr;
    }
    lista = Referencia::nova(iteravel);
  } else {
    lista.reset(PyList_CheckExact(iteravel)
                    ? PyList_GetSlice(iteravel, 0, PyList_GET_SIZE(iteravel))
                    : PySequence_List(iteravel));
    if (!lista) {
      return nullptr;
    }
  }

  const Py_ssize_t n = PyList_GET_SIZE(lista.get());
  const Py_ssize_t tamanho_cache = modo_cache ? PyList_GET_SIZE(chaves_cacheadas) : 0;
  if (modo_chave == KEYED_CACHE_COMPLETO && tamanho_cache != n) {
    PyErr_SetString(PyExc_ValueError, "items e cached_keys devem ter o mesmo tamanho");
    return nullptr;
  }
  if (modo_chave == KEYED_CACHE_PREFIXO && tamanho_cache > n) {
    PyErr_SetString(PyExc_ValueError, "cached_keys não pode ser maior que items");
    return nullptr;
  }
  const Py_ssize_t tamanho_cache_inicial = modo_chave == KEYED_CACHE_PREFIXO ? tamanho_cache : 0;
  if (n == 0) {
    return resultado_keyed_vazio(std::move(lista), tipo, reverso);
  }

  if (static_cast<std::size_t>(n) >= (std::size_t{1} << 61)) {
    return PyErr_NoMemory();
  }
  BufferNativo<std::uint64_t> chaves_origem =
      BufferNativo<std::uint64_t>::alocar(static_cast<std::size_t>(n));
  if (!chaves_origem) {
    return PyErr_NoMemory();
  }
  PyObject** slots = nullptr;
  if (modo_chave == KEYED_CACHE_PREFIXO) {
    slots = static_cast<PyObject**>(PyMem_Malloc(static_cast<std::size_t>(n) * sizeof(PyObject*)));
    if (slots == nullptr) {
      return PyErr_NoMemory();
    }
  }
  ChavesPython chaves_python_origem(slots, tamanho_cache_inicial);
  // A key function may also reorder or replace the caller's items without resizing the list;
  // the keys would then belong to other objects. The items as they stood at entry are compared
  // with the list before any key is used or handed back.
  // Each of them is held with a reference of its own, so that no new object can take its
  // address, also where the allocator would put one that replaced a dropped item.
  BufferNativo<PyObject*> copia_itens;
  if (modo_chave == KEYED_CACHE_PREFIXO && tamanho_cache_inicial < n) {
    copia_itens = BufferNativo<PyObject*>::alocar(static_cast<std::size_t>(n));
    if (!copia_itens) {
      return PyErr_NoMemory();
    }
  }
  ReferenciasGuardadas itens_na_entrada(copia_itens.get());
  for (Py_ssize_t i = 0; copia_itens && i < n; ++i) {
    itens_na_entrada.guardar(Py_NewRef(itens_da_lista(lista.get())[i]));
  }
  const auto itens_intactos = [&]() {
    if (copia_itens && std::memcmp(copia_itens.get(), itens_da_lista(lista.get()),
                                   static_cast<std::size_t>(n) * sizeof(PyObject*)) != 0) {
      PyErr_SetString(PyExc_ValueError, "items mudou durante o cálculo das chaves");
      return false;
    }
    return true;
  };

  LeitorInt64 leitor{chaves_origem.get(), reverso ? mascara_reversa : mascara_ascendente};
  const bool checkpoint_armado = modo_chave == KEYED_CACHE_PREFIXO && tamanho_cache_inicial == 0;

  for (Py_ssize_t i = 0; i < n; ++i) {
    // The objects may lie anywhere in memory: fetching ahead the key object that will be read,
    // or the item that the key function will be given, overlaps the cache misses.
    if (i + distancia_prefetch < n) {
      const Py_ssize_t adiante = i + distancia_prefetch;
      __builtin_prefetch(modo_chave == KEYED_CACHE_COMPLETO || adiante < tamanho_cache_inicial
                             ? PyList_GET_ITEM(chaves_cacheadas, adiante)
                             : itens_da_lista(lista.get())[adiante]);
    }
    if (modo_chave != KEYED_CACHE_COMPLETO && i + distancia_prefetch / 2 < n &&
        i + distancia_prefetch / 2 >= tamanho_cache_inicial) {
      buscar_campos(itens_da_lista(lista.get())[i + distancia_prefetch / 2]);
    }
    PyObject* resultado_chave;
    Referencia resultado_novo;  // a key that only this call holds (direct mode)
    if (modo_chave == KEYED_CACHE_COMPLETO || i < tamanho_cache_inicial) {
      resultado_chave = PyList_GET_ITEM(chaves_cacheadas, i);
    } else {
      // The key function may drop the list's own reference to its argument.
      const Referencia item = Referencia::nova(itens_da_lista(lista.get())[i]);
      resultado_chave = PyObject_CallOneArg(funcao_chave, item.get());
      if (resultado_chave == nullptr) {
        return nullptr;
      }
      if (modo_chave == KEYED_CACHE_PREFIXO) {
        chaves_python_origem.guardar(i, resultado_chave);
      } else {
        resultado_novo.reset(resultado_chave);
      }
      // In the cache modes `items` is the caller's list; a key function that resized it would
      // leave the keys and items misaligned, and later reads past its end.
      if (modo_cache && PyList_GET_SIZE(lista.get()) != n) {
        PyErr_SetString(PyExc_ValueError, "items mudou de tamanho durante o cálculo das chaves");
        return nullptr;
      }
    }

    const Leitura lida = leitor.ler(i, resultado_chave);
    if (lida == Leitura::ERRO) {
      return nullptr;
    }
    if (lida == Leitura::OUTRA) {
      if (modo_cache) {
        // Give up: the keys computed here go to the cache list for the fallback sort.
        if (!itens_intactos()) {
          return nullptr;
        }
        if (modo_chave == KEYED_CACHE_PREFIXO &&
            chaves_python_origem.preservar_em(chaves_cacheadas, tamanho_cache_inicial) < 0) {
          return nullptr;
        }
        Py_RETURN_NONE;
      }
      if (leitor.motivo == MotivoInterpretador::TIPO) {
        PyErr_Format(PyExc_TypeError,
                     "key deve retornar int exato em int64; item %zd retornou %.200s", i,
                     Py_TYPE(resultado_chave)->tp_name);
      } else {
        PyErr_Format(PyExc_OverflowError,
                     "key result for item %zd is outside the signed int64 range", i);
      }
      return nullptr;
    }
    resultado_novo.reset();

    const EstatisticasChaves& estat = leitor.estat;
    if (checkpoint_armado && i + 1 == tamanho_checkpoint &&
        checkpoint_adaptativo(i + 1, n, estat.descidas, estat.subidas, estat.menor_chave,
                              estat.maior_chave, estat.variacao)) {
      if (!itens_intactos() || chaves_python_origem.preservar_em(chaves_cacheadas, 0) < 0) {
        return nullptr;
      }
      Py_RETURN_FALSE;
    }
  }

  if (!itens_intactos()) {
    return nullptr;
  }
  itens_na_entrada.liberar();
  // The values live on in chaves_origem; the key objects are no longer needed.
  chaves_python_origem.liberar();
  if (modo_cache && PyList_SetSlice(chaves_cacheadas, 0, n, nullptr) < 0) {
    return nullptr;
  }
  return ordenar_keyed(ChavesKeyed{std::move(lista), n, tipo, reverso, !modo_cache,
                                   std::move(chaves_origem), leitor.estat, leitor.menor_valor(),
                                   leitor.maior_valor()});
}

}  // namespace vesksort
