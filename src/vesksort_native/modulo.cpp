// The module _vesksort: its method table, the wrappers that call a core with fixed
// arguments, and the shaping of a sorted list into the result a caller asked for.
#include <iterator>

#include "vesksort.h"

namespace vesksort {

PyObject* formar_par(Referencia lista, Referencia segundo) {
  PyObject* par = PyTuple_New(2);
  if (par == nullptr) {
    return nullptr;
  }
  PyTuple_SET_ITEM(par, 0, lista.release());
  PyTuple_SET_ITEM(par, 1, segundo.release());
  return par;
}

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
  return formar_par(std::move(lista), std::move(nome));
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

// The three direct-key functions share one parser, and so one name in its error messages.
int parse_keyed_prototype_args(PyObject* args, PyObject** iteravel, PyObject** funcao_chave,
                               int* reverso) {
  return PyArg_ParseTuple(args, "OO|p:_sort_by_int64_key_prototype", iteravel, funcao_chave,
                          reverso);
}

PyObject* direto(PyObject* args, TipoRetorno tipo) {
  PyObject* iteravel;
  PyObject* funcao_chave;
  int reverso = 0;
  if (!parse_keyed_prototype_args(args, &iteravel, &funcao_chave, &reverso)) {
    return nullptr;
  }
  return sort_by_int64_key_prototype_impl(iteravel, funcao_chave, nullptr, tipo, KEYED_CHAVE_DIRETA,
                                          reverso);
}

PyObject* py_sort_by_int64_key_prototype(PyObject*, PyObject* args) {
  return direto(args, RETORNO_LISTA);
}

PyObject* py_sort_by_int64_key_prototype_with_strategy(PyObject*, PyObject* args) {
  return direto(args, RETORNO_DIAGNOSTICO);
}

PyObject* py_sort_by_int64_key_prototype_with_info(PyObject*, PyObject* args) {
  return direto(args, RETORNO_DIAGNOSTICO_ESTRUTURADO);
}

PyObject* cache_completo(PyObject* args, const char* formato, TipoRetorno tipo) {
  PyObject* items;
  PyObject* cached_keys;
  int reverso = 0;
  if (!PyArg_ParseTuple(args, formato, &items, &cached_keys, &reverso)) {
    return nullptr;
  }
  return sort_by_int64_key_prototype_impl(items, nullptr, cached_keys, tipo, KEYED_CACHE_COMPLETO,
                                          reverso);
}

PyObject* py_try_sort_by_cached_int64_keys_prototype(PyObject*, PyObject* args) {
  return cache_completo(args, "OO|p:_try_sort_by_cached_int64_keys_prototype", RETORNO_LISTA);
}

PyObject* py_try_sort_by_cached_int64_keys_prototype_with_info(PyObject*, PyObject* args) {
  return cache_completo(args, "OO|p:_try_sort_by_cached_int64_keys_prototype_with_info",
                        RETORNO_DIAGNOSTICO_ESTRUTURADO);
}

PyObject* cache_prefixo(PyObject* args, const char* formato, TipoRetorno tipo) {
  PyObject* items;
  PyObject* keys;
  PyObject* key;
  int reverso = 0;
  if (!PyArg_ParseTuple(args, formato, &items, &keys, &key, &reverso)) {
    return nullptr;
  }
  // The tuple gives the cache before the key function; the core takes them the other way.
  return sort_by_int64_key_prototype_impl(items, key, keys, tipo, KEYED_CACHE_PREFIXO, reverso);
}

PyObject* py_try_sort_by_prefix_cached_int64_keys_prototype(PyObject*, PyObject* args) {
  return cache_prefixo(args, "OOO|p:_try_sort_by_prefix_cached_int64_keys_prototype",
                       RETORNO_LISTA);
}

PyObject* py_try_sort_by_prefix_cached_int64_keys_prototype_with_info(PyObject*, PyObject* args) {
  return cache_prefixo(args, "OOO|p:_try_sort_by_prefix_cached_int64_keys_prototype_with_info",
                       RETORNO_DIAGNOSTICO_ESTRUTURADO);
}

PyObject* py_make_cached_key_replay_prototype(PyObject*, PyObject* args) {
  PyObject* itens;
  PyObject* chaves;
  if (!PyArg_ParseTuple(args, "OO:_make_cached_key_replay_prototype", &itens, &chaves)) {
    return nullptr;
  }
  return criar_replay_chaves_cacheadas(itens, chaves, nullptr);
}

PyObject* py_make_prefix_cached_key_replay_prototype(PyObject*, PyObject* args) {
  PyObject* itens;
  PyObject* chaves;
  PyObject* funcao_chave;
  if (!PyArg_ParseTuple(args, "OOO:_make_prefix_cached_key_replay_prototype", &itens, &chaves,
                        &funcao_chave)) {
    return nullptr;
  }
  return criar_replay_chaves_cacheadas(itens, chaves, funcao_chave);
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
    {"_sort_by_int64_key_prototype", py_sort_by_int64_key_prototype, METH_VARARGS,
     "_sort_by_int64_key_prototype(iterable, key, reverse=False, /)\n--\n\n"
     "Protótipo interno: ordena objetos por uma chave int64 estável."},
    {"_sort_by_int64_key_prototype_with_strategy", py_sort_by_int64_key_prototype_with_strategy,
     METH_VARARGS,
     "_sort_by_int64_key_prototype_with_strategy(iterable, key, reverse=False, /)\n--\n\n"
     "Protótipo interno: retorna (lista_ordenada, estratégia)."},
    {"_sort_by_int64_key_prototype_with_info", py_sort_by_int64_key_prototype_with_info,
     METH_VARARGS,
     "_sort_by_int64_key_prototype_with_info(iterable, key, reverse=False, /)\n--\n\n"
     "Protótipo interno: retorna (lista_ordenada, diagnóstico estruturado)."},
    {"_try_sort_by_cached_int64_keys_prototype", py_try_sort_by_cached_int64_keys_prototype,
     METH_VARARGS,
     "_try_sort_by_cached_int64_keys_prototype(items, cached_keys, reverse=False, /)\n--\n\n"
     "Protótipo interno: consome chaves int64 ou retorna None."},
    {"_try_sort_by_cached_int64_keys_prototype_with_info",
     py_try_sort_by_cached_int64_keys_prototype_with_info, METH_VARARGS,
     "_try_sort_by_cached_int64_keys_prototype_with_info(items, keys, reverse=False, /)\n--\n\n"
     "Protótipo interno cacheado com diagnóstico estruturado."},
    {"_try_sort_by_prefix_cached_int64_keys_prototype",
     py_try_sort_by_prefix_cached_int64_keys_prototype, METH_VARARGS,
     "_try_sort_by_prefix_cached_int64_keys_prototype(items, keys, key, reverse=False, /)"
     "\n--\n\n"
     "Protótipo interno: completa o cache enquanto extrai int64."},
    {"_try_sort_by_prefix_cached_int64_keys_prototype_with_info",
     py_try_sort_by_prefix_cached_int64_keys_prototype_with_info, METH_VARARGS,
     "_try_sort_by_prefix_cached_int64_keys_prototype_with_info(items, keys, key, "
     "reverse=False, /)\n--\n\n"
     "Protótipo prefixado com diagnóstico estruturado."},
    {"_make_cached_key_replay_prototype", py_make_cached_key_replay_prototype, METH_VARARGS,
     "_make_cached_key_replay_prototype(items, cached_keys, /)\n--\n\n"
     "Protótipo interno: cria callable nativo de replay para Timsort."},
    {"_make_prefix_cached_key_replay_prototype", py_make_prefix_cached_key_replay_prototype,
     METH_VARARGS,
     "_make_prefix_cached_key_replay_prototype(items, keys, key, /)\n--\n\n"
     "Protótipo interno: reproduz um prefixo e avalia as chaves restantes."},
    {nullptr, nullptr, 0, nullptr},
};

// The drop-ins: module attributes beyond the method table, named `sort` and `sort_in_place` in
// the package that exports them.
PyMethodDef drop_ins[] = {
    {"sort", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_sort_drop_in)),
     METH_FASTCALL | METH_KEYWORDS,
     "sort(iterable, /, *, key=None, reverse=False)\n--\n\n"
     "Return a new list with the items of ``iterable`` in ascending order.\n\n"
     "Identical to ``sorted(iterable, key=key, reverse=reverse)``: the same objects in the same\n"
     "order (the sort is stable, also with ``reverse``), ``key`` called once per item in item\n"
     "order, and the same exceptions."},
    {"sort_in_place",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_sort_in_place_drop_in)),
     METH_FASTCALL | METH_KEYWORDS,
     "sort_in_place(lst, /, *, key=None, reverse=False)\n--\n\n"
     "Sort the exact list ``lst`` in place and return ``None``, as ``lst.sort()`` does.\n\n"
     "The result is the one ``lst.sort(key=key, reverse=reverse)`` leaves, with the same\n"
     "exceptions: while it sorts, the list looks empty to key functions, comparisons and other\n"
     "threads, and a change made to it meanwhile raises ``ValueError``. An argument that is not\n"
     "exactly a ``list`` raises ``TypeError``."},
    {"explain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_explain_drop_in)),
     METH_FASTCALL | METH_KEYWORDS,
     "explain(iterable, /, *, key=None, reverse=False)\n--\n\n"
     "Return ``(sort(iterable, key=key, reverse=reverse), path)``.\n\n"
     "``path`` tells how the items were ordered: ``'native: <domain> <values|keys>, <how>'``\n"
     "(domain ``int64`` or ``float``; how: ``radix sort in N passes``, ``counting sort``,\n"
     "``already in order`` or ``reversed``), ``'interpreter: <reason>'`` when the interpreter's\n"
     "own sort did it, or ``'nothing to order'``. The wording is for people; it may change."},
};
const char* const nomes_drop_ins[] = {"_drop_in_sort", "_drop_in_sort_in_place", "_explain"};

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

PyMODINIT_FUNC PyInit__vesksort() {
  using namespace vesksort;
  if (preparar_tipo_replay() < 0 || preparar_timsort() < 0) {
    return nullptr;
  }
  Referencia modulo_criado(PyModule_Create2(&modulo, 1013));
  Referencia pacote(PyUnicode_FromString("vesksort_native"));
  if (!modulo_criado || !pacote) {
    return nullptr;
  }
  for (std::size_t i = 0; i < std::size(drop_ins); ++i) {
    if (PyModule_Add(modulo_criado.get(), nomes_drop_ins[i],
                     PyCFunction_NewEx(&drop_ins[i], nullptr, pacote.get())) < 0) {
      return nullptr;
    }
  }
  return modulo_criado.release();
}
