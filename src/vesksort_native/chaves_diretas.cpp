// The index of an operator.itemgetter (chaves_diretas.h).
#include "chaves_diretas.h"

#include <cstring>

#include "recursos.h"

namespace vesksort {

bool indice_de_itemgetter(PyObject* funcao, Py_ssize_t* indice) {
  PyTypeObject* tipo = Py_TYPE(funcao);
  if ((tipo->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) == 0 ||
      std::strcmp(tipo->tp_name, "operator.itemgetter") != 0) {
    return false;
  }
  // The type itself, as the interpreter's _operator module holds it: no other type of that name.
  static PyObject* const nome_modulo = PyUnicode_InternFromString("_operator");
  static PyObject* const nome_reduce = PyUnicode_InternFromString("__reduce__");
  if (nome_modulo == nullptr || nome_reduce == nullptr) {
    PyErr_Clear();
    return false;
  }
  Referencia modulo(PyImport_GetModule(nome_modulo));
  PyObject* achado = nullptr;
  if (!modulo || !PyModule_Check(modulo.get()) ||
      PyDict_GetItemStringRef(PyModule_GetDict(modulo.get()), "itemgetter", &achado) <= 0) {
    PyErr_Clear();
    return false;
  }
  const Referencia tipo_do_modulo(achado);
  if (tipo_do_modulo.get() != reinterpret_cast<PyObject*>(tipo)) {
    return false;
  }
  // (itemgetter, (index,)) for one index; (itemgetter, (a, b, ...)) for more.
  const Referencia reducao(PyObject_CallMethodNoArgs(funcao, nome_reduce));
  if (!reducao) {
    PyErr_Clear();
    return false;
  }
  if (!PyTuple_CheckExact(reducao.get()) || PyTuple_GET_SIZE(reducao.get()) != 2) {
    return false;
  }
  PyObject* argumentos = PyTuple_GET_ITEM(reducao.get(), 1);
  if (!PyTuple_CheckExact(argumentos) || PyTuple_GET_SIZE(argumentos) != 1 ||
      !PyLong_CheckExact(PyTuple_GET_ITEM(argumentos, 0))) {
    return false;
  }
  const Py_ssize_t valor = PyLong_AsSsize_t(PyTuple_GET_ITEM(argumentos, 0));
  if (valor == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  *indice = valor;
  return true;
}

}  // namespace vesksort
