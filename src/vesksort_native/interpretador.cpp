// The interpreter's own sorts, looked up once at module initialisation: the fallback of every
// path, and what the drop-ins hand any call that they do not take themselves.
#include "vesksort.h"

namespace vesksort {
namespace {

// The `list.sort` method descriptor. The interpreter's build may carry one copy of the sort
// tuned for the method and another behind `PyList_Sort`: the fallbacks call the method, so that
// they run exactly what `sorted()` and `list.sort()` run, at the same speed.
PyObject* metodo_sort = nullptr;
PyObject* funcao_sorted = nullptr;
// The keyword names, interned as a call site's are, and the names of the calls that pass a key,
// a reverse flag, or both.
PyObject* palavra_key = nullptr;
PyObject* palavra_reverse = nullptr;
PyObject* nomes_key = nullptr;
PyObject* nomes_reverse = nullptr;
PyObject* nomes_key_reverse = nullptr;

}  // namespace

int preparar_timsort() {
  if (metodo_sort != nullptr) {
    return 0;
  }
  metodo_sort = PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyList_Type), "sort");
  PyObject* builtins = PyImport_ImportModule("builtins");
  funcao_sorted = builtins != nullptr ? PyObject_GetAttrString(builtins, "sorted") : nullptr;
  Py_XDECREF(builtins);
  palavra_key = PyUnicode_InternFromString("key");
  palavra_reverse = PyUnicode_InternFromString("reverse");
  nomes_key = Py_BuildValue("(O)", palavra_key);
  nomes_reverse = Py_BuildValue("(O)", palavra_reverse);
  nomes_key_reverse = Py_BuildValue("(OO)", palavra_key, palavra_reverse);
  if (metodo_sort == nullptr || funcao_sorted == nullptr || nomes_key == nullptr ||
      nomes_reverse == nullptr || nomes_key_reverse == nullptr) {
    Py_CLEAR(metodo_sort);
    Py_CLEAR(funcao_sorted);
    Py_CLEAR(palavra_key);
    Py_CLEAR(palavra_reverse);
    Py_CLEAR(nomes_key);
    Py_CLEAR(nomes_reverse);
    Py_CLEAR(nomes_key_reverse);
    return -1;
  }
  return 0;
}

bool nome_key(PyObject* nome) { return nome == palavra_key || PyUnicode_EqualToUTF8(nome, "key"); }

bool nome_reverse(PyObject* nome) {
  return nome == palavra_reverse || PyUnicode_EqualToUTF8(nome, "reverse");
}

int ordenar_pelo_interpretador(PyObject* lista, PyObject* funcao_chave, int reverso) {
  if (funcao_chave == nullptr && !reverso) {
    return PyList_Sort(lista);  // list.sort() itself, without a call through its arguments
  }
  PyObject* argumentos[] = {lista, funcao_chave, Py_True};
  PyObject* nomes = nullptr;
  if (funcao_chave != nullptr) {
    nomes = reverso ? nomes_key_reverse : nomes_key;
  } else if (reverso) {
    argumentos[1] = Py_True;
    nomes = nomes_reverse;
  }
  PyObject* resultado = PyObject_Vectorcall(metodo_sort, argumentos, 1, nomes);
  if (resultado == nullptr) {
    return -1;
  }
  Py_DECREF(resultado);
  return 0;
}

int ordenar_emprestados_pelo_interpretador(PyObject* vazia, PyObject** itens, Py_ssize_t n,
                                           PyObject* funcao_chave, int reverso) {
  // The interpreter's sort holds the list's array in turn and puts the same array back on every
  // path.
  auto* lista = reinterpret_cast<PyListObject*>(vazia);
  lista->ob_item = itens;
  Py_SET_SIZE(lista, n);
  lista->allocated = n;
  const int resultado = ordenar_pelo_interpretador(vazia, funcao_chave, reverso);
  lista->ob_item = nullptr;
  Py_SET_SIZE(lista, 0);
  lista->allocated = 0;
  return resultado;
}

int ordenar_retidos_pelo_interpretador(RetencaoLista& retida, PyObject* funcao_chave, int reverso) {
  Referencia privada(PyList_New(0));
  if (!privada) {
    return -1;
  }
  // Not tracked: gc.get_objects() cannot hand it to anyone.
  PyObject_GC_UnTrack(privada.get());
  return ordenar_emprestados_pelo_interpretador(privada.get(), retida.itens(), retida.tamanho(),
                                                funcao_chave, reverso);
}

PyObject* chamar_sorted(PyObject* const* argumentos, Py_ssize_t quantidade, PyObject* nomes) {
  return PyObject_Vectorcall(funcao_sorted, argumentos, static_cast<std::size_t>(quantidade),
                             nomes);
}

PyObject* chamar_list_sort(PyObject* const* argumentos, Py_ssize_t quantidade, PyObject* nomes) {
  return PyObject_Vectorcall(metodo_sort, argumentos, static_cast<std::size_t>(quantidade), nomes);
}

}  // namespace vesksort
