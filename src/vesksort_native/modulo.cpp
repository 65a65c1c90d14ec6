// The module _vesksort: its method table, the wrappers that call a core with fixed
// arguments, and the shaping of a sorted list into the result a caller asked for.
#include "vesksort.h"

namespace vesksort {

PyObject* finalizar_resultado(Referencia lista, const char* estrategia, TipoRetorno tipo) {
  if (tipo == RETORNO_LISTA) {
    return lista.release();
  }
  if (tipo == RETORNO_NONE) {
    Py_RETURN_NONE;
  }
  Referencia nome(PyUnicode_FromString(estrategia));
  if (!nome) {
    return nullptr;
  }
  if (tipo == RETORNO_ESTRATEGIA) {
    return nome.release();
  }
  PyObject* par = PyTuple_New(2);
  if (par == nullptr) {
    return nullptr;
  }
  PyTuple_SET_ITEM(par, 0, lista.release());
  PyTuple_SET_ITEM(par, 1, nome.release());
  return par;
}

namespace {

PyObject* py_sort(PyObject*, PyObject* iteravel) {
  return vesk_sort_impl(iteravel, RETORNO_LISTA, 1);
}

PyObject* py_sort_with_strategy(PyObject*, PyObject* iteravel) {
  return vesk_sort_impl(iteravel, RETORNO_DIAGNOSTICO, 1);
}

PyObject* py_sort_in_place(PyObject*, PyObject* lista) {
  return vesk_sort_impl(lista, RETORNO_NONE, 0);
}

PyObject* py_sort_in_place_with_strategy(PyObject*, PyObject* lista) {
  return vesk_sort_impl(lista, RETORNO_ESTRATEGIA, 0);
}

PyMethodDef metodos[] = {
    {"sort", py_sort, METH_O,
     "sort(iterable, /)\n--\n\n"
     "Retorna uma nova lista ordenada usando o VeskSort híbrido nativo."},
    {"sort_with_strategy", py_sort_with_strategy, METH_O,
     "sort_with_strategy(iterable, /)\n--\n\n"
     "Retorna (lista_ordenada, estrategia_utilizada)."},
    {"sort_in_place", py_sort_in_place, METH_O,
     "sort_in_place(lista, /)\n--\n\n"
     "Ordena uma lista no lugar e retorna None, como list.sort()."},
    {"sort_in_place_with_strategy", py_sort_in_place_with_strategy, METH_O,
     "sort_in_place_with_strategy(lista, /)\n--\n\n"
     "Ordena no lugar e retorna o nome da estratégia utilizada."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef modulo = {
    PyModuleDef_HEAD_INIT,
    "_vesksort",
    "Núcleo nativo do VeskSort.",
    -1,
    metodos,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vesksort

PyMODINIT_FUNC PyInit__vesksort() { return PyModule_Create2(&vesksort::modulo, 1013); }
