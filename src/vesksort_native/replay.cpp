// The one-shot replay callable: call k answers with entry k of a cache list or, past a cached
// prefix, with the real key function's result. Handed to the interpreter's list sort as its
// key, it lets a fallback sort reuse every key computed before it.
#include <cstddef>
#include <utility>

#include "vesksort.h"

namespace vesksort {
namespace {

struct EstadoReplayChaves {
  PyObject ob_base;
  vectorcallfunc vectorcall;
  PyObject* chaves;        // the cache list, shared with the caller
  PyObject* funcao_chave;  // null in a full-cache replay
  Py_ssize_t quantidade;   // calls answered in the replay's whole life
  Py_ssize_t proximo;      // calls accepted so far: the index of the next item
  // A hand-over replay's keys, owned by its maker: each answer takes its reference over.
  PyObject** entregues;
  Py_ssize_t quantidade_entregues;
};

EstadoReplayChaves* como_replay(PyObject* objeto) {
  return reinterpret_cast<EstadoReplayChaves*>(objeto);
}

PyObject* reproduzir_chave_cacheada(PyObject* objeto, PyObject* const* argumentos,
                                    std::size_t nargsf, PyObject* nomes_argumentos) {
  EstadoReplayChaves* replay = como_replay(objeto);
  if (PyVectorcall_NARGS(nargsf) != 1 ||
      (nomes_argumentos != nullptr && PyTuple_GET_SIZE(nomes_argumentos) != 0)) {
    PyErr_SetString(PyExc_TypeError,
                    "o replay de chaves recebe exatamente um argumento posicional");
    return nullptr;
  }
  const Py_ssize_t indice = replay->proximo;
  if (indice >= replay->quantidade) {
    PyErr_SetString(PyExc_RuntimeError, "o replay de chaves é de uso único");
    return nullptr;
  }
  // The slot is spent whatever follows, also when the key function fails or re-enters.
  replay->proximo = indice + 1;
  if (indice < replay->quantidade_entregues) {
    return std::exchange(replay->entregues[indice], nullptr);
  }
  // A replay cleared by the collector has no cache and no key function left.
  if (replay->chaves != nullptr && indice < PyList_GET_SIZE(replay->chaves)) {
    return Py_NewRef(PyList_GET_ITEM(replay->chaves, indice));
  }
  if (replay->funcao_chave != nullptr) {
    // The call may clear the replay and drop its reference to the key function.
    const Referencia funcao = Referencia::nova(replay->funcao_chave);
    return PyObject_Vectorcall(funcao.get(), argumentos, 1, nullptr);
  }
  PyErr_SetString(PyExc_RuntimeError, "o replay não possui uma chave cacheada para este item");
  return nullptr;
}

int visitar_replay_chaves(PyObject* objeto, visitproc visit, void* arg) {
  EstadoReplayChaves* replay = como_replay(objeto);
  Py_VISIT(replay->chaves);
  Py_VISIT(replay->funcao_chave);
  return 0;
}

int limpar_replay_chaves(PyObject* objeto) {
  EstadoReplayChaves* replay = como_replay(objeto);
  Py_CLEAR(replay->funcao_chave);
  Py_CLEAR(replay->chaves);
  return 0;
}

void destruir_replay_chaves(PyObject* objeto) {
  PyObject_GC_UnTrack(objeto);
  limpar_replay_chaves(objeto);
  Py_TYPE(objeto)->tp_free(objeto);
}

// A static type object; its slots are set before it is readied, at module initialisation.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject tipo_replay_chaves = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

}  // namespace

int preparar_tipo_replay() {
  PyTypeObject* tipo = &tipo_replay_chaves;
  tipo->tp_name = "vesksort_native._CachedKeyReplay";
  tipo->tp_basicsize = sizeof(EstadoReplayChaves);
  tipo->tp_itemsize = 0;
  tipo->tp_dealloc = destruir_replay_chaves;
  tipo->tp_vectorcall_offset = offsetof(EstadoReplayChaves, vectorcall);
  tipo->tp_call = PyVectorcall_Call;
  tipo->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
  tipo->tp_doc = "Callable interno de uso único para replay de chaves.";
  tipo->tp_traverse = visitar_replay_chaves;
  tipo->tp_clear = limpar_replay_chaves;
  return PyType_Ready(tipo);
}

PyObject* criar_replay_chaves_cacheadas(PyObject* itens, PyObject* chaves, PyObject* funcao_chave) {
  if (!PyList_CheckExact(itens) || !PyList_CheckExact(chaves) || itens == chaves) {
    PyErr_SetString(PyExc_TypeError, "o replay requer duas lists exatas e distintas");
    return nullptr;
  }
  if (funcao_chave == nullptr) {
    if (PyList_GET_SIZE(chaves) != PyList_GET_SIZE(itens)) {
      PyErr_SetString(PyExc_ValueError, "items e cached_keys devem ter o mesmo tamanho");
      return nullptr;
    }
  } else if (!PyCallable_Check(funcao_chave) || PyList_GET_SIZE(chaves) > PyList_GET_SIZE(itens)) {
    PyErr_SetString(PyExc_TypeError, "o replay de prefixo requer key chamável e prefixo válido");
    return nullptr;
  }
  return novo_replay(chaves, funcao_chave, PyList_GET_SIZE(itens));
}

PyObject* novo_replay(PyObject* chaves, PyObject* funcao_chave, Py_ssize_t quantidade) {
  PyObject* objeto = PyType_GenericAlloc(&tipo_replay_chaves, 0);
  if (objeto == nullptr) {
    return nullptr;
  }
  EstadoReplayChaves* replay = como_replay(objeto);
  replay->vectorcall = reproduzir_chave_cacheada;
  replay->quantidade = quantidade;
  replay->proximo = 0;
  replay->chaves = Py_XNewRef(chaves);
  replay->funcao_chave = Py_XNewRef(funcao_chave);
  replay->entregues = nullptr;
  replay->quantidade_entregues = 0;
  return objeto;
}

PyObject* novo_replay_de_entrega(PyObject** chaves, Py_ssize_t prontas, PyObject* funcao_chave,
                                 Py_ssize_t quantidade) {
  PyObject* objeto = novo_replay(nullptr, funcao_chave, quantidade);
  if (objeto != nullptr) {
    // Only the sort that it is handed to may call it: the collector does not list it.
    PyObject_GC_UnTrack(objeto);
    como_replay(objeto)->entregues = chaves;
    como_replay(objeto)->quantidade_entregues = prontas;
  }
  return objeto;
}

void encerrar_entrega(PyObject* replay) {
  como_replay(replay)->entregues = nullptr;
  como_replay(replay)->quantidade_entregues = 0;
}

}  // namespace vesksort
