// Keys that need no call: a key function that is operator.itemgetter of one int index, applied to
// an exact tuple or list, gives the item at that index. Taken here directly, such a key costs a
// load where the call costs most of a key's time; the object is the one the call would give, and
// no code of the program runs either way. Any other key function, item or index is called.
#ifndef VESKSORT_CHAVES_DIRETAS_H
#define VESKSORT_CHAVES_DIRETAS_H

#include <Python.h>

namespace vesksort {

// The index of `funcao` where it is operator.itemgetter of one int that fits a Py_ssize_t: read
// once from its __reduce__, a method of that immutable type. False otherwise, with no exception
// set (one that the reading raised, a MemoryError too, is cleared: the calls then raise it).
bool indice_de_itemgetter(PyObject* funcao, Py_ssize_t* indice);

class ChamadaChave {
 public:
  // `direta`: whether the index is worth reading (a few hundred keys or more).
  ChamadaChave(PyObject* funcao, bool direta) : funcao_(funcao) {
    direta_ = direta && indice_de_itemgetter(funcao, &indice_);
  }

  // The key of `item`, a new reference, or null with an exception set.
  PyObject* operator()(PyObject* item) const {
    if (direta_ && (PyTuple_CheckExact(item) || PyList_CheckExact(item))) {
      const Py_ssize_t tamanho = Py_SIZE(item);
      const Py_ssize_t i = indice_ < 0 ? indice_ + tamanho : indice_;
      if (i >= 0 && i < tamanho) {
        return Py_NewRef(PyTuple_CheckExact(item) ? PyTuple_GET_ITEM(item, i)
                                                  : PyList_GET_ITEM(item, i));
      }
    }
    return PyObject_CallOneArg(funcao_, item);
  }

 private:
  PyObject* funcao_;
  bool direta_ = false;
  Py_ssize_t indice_ = 0;
};

}  // namespace vesksort

#endif
