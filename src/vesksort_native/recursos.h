// Small owning wrappers: one reference, one native buffer, one release of the interpreter lock.
// Each frees what it holds when its scope ends, so every early return is leak-free.
#ifndef VESKSORT_RECURSOS_H
#define VESKSORT_RECURSOS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "corridas.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vesksort {

// Large buffers are written once per pass in a scattered order, and the allocator often hands
// them out as freshly mapped memory (the process gives it back after every call). Where the
// pages cost a fault each, that costs more than the sort itself: on Linux the aligned interior
// is offered huge pages and the whole buffer is mapped in with one call. Only hints: a failure
// changes nothing.
inline void pedir_paginas_grandes(void* inicio, std::size_t tamanho) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t pagina = 4096;
  constexpr std::uintptr_t pagina_grande = std::uintptr_t{1} << 21;
  constexpr std::size_t menor_tamanho_preparado = std::size_t{1} << 18;
  if (inicio == nullptr || tamanho < menor_tamanho_preparado) {
    return;
  }
  const auto comeco = reinterpret_cast<std::uintptr_t>(inicio);
  const std::uintptr_t primeiro = (comeco + pagina_grande - 1) & ~(pagina_grande - 1);
  const std::uintptr_t fim = (comeco + tamanho) & ~(pagina_grande - 1);
  if (fim > primeiro) {
    madvise(reinterpret_cast<void*>(primeiro), fim - primeiro, MADV_HUGEPAGE);
  }
#if defined(MADV_POPULATE_WRITE)
  // A block that the allocator kept from an earlier call is mapped in already (its first and
  // last pages tell): walking its pages again would cost more than a short sort.
  const auto presente = [](std::uintptr_t endereco) {
    unsigned char estado = 0;
    return mincore(reinterpret_cast<void*>(endereco), pagina, &estado) == 0 && (estado & 1) != 0;
  };
  const std::uintptr_t primeira_pagina = (comeco + pagina - 1) & ~(pagina - 1);
  const std::uintptr_t fim_paginas = (comeco + tamanho) & ~(pagina - 1);
  if (fim_paginas > primeira_pagina &&
      !(presente(primeira_pagina) && presente(fim_paginas - pagina))) {
    madvise(reinterpret_cast<void*>(primeira_pagina), fim_paginas - primeira_pagina,
            MADV_POPULATE_WRITE);
  }
#endif
#else
  (void)inicio;
  (void)tamanho;
#endif
}

// Owns one strong reference (or none).
class Referencia {
 public:
  Referencia() = default;
  explicit Referencia(PyObject* objeto) : objeto_(objeto) {}
  Referencia(Referencia&& outra) noexcept : objeto_(outra.release()) {}
  Referencia& operator=(Referencia&& outra) noexcept {
    reset(outra.release());
    return *this;
  }
  Referencia(const Referencia&) = delete;
  Referencia& operator=(const Referencia&) = delete;
  ~Referencia() { Py_XDECREF(objeto_); }

  // A new strong reference to a borrowed object.
  static Referencia nova(PyObject* emprestado) { return Referencia(Py_NewRef(emprestado)); }

  PyObject* get() const { return objeto_; }
  PyObject* release() { return std::exchange(objeto_, nullptr); }
  void reset(PyObject* objeto = nullptr) { Py_XDECREF(std::exchange(objeto_, objeto)); }
  explicit operator bool() const { return objeto_ != nullptr; }

 private:
  PyObject* objeto_ = nullptr;
};

// Owns one array from the interpreter's allocator. An empty buffer is a failed allocation:
// PyMem_* sets no exception, so callers decide between a fallback and MemoryError.
template <class T>
class BufferNativo {
 public:
  BufferNativo() = default;
  BufferNativo(BufferNativo&& outro) noexcept : dados_(std::exchange(outro.dados_, nullptr)) {}
  BufferNativo& operator=(BufferNativo&& outro) noexcept {
    liberar();
    dados_ = std::exchange(outro.dados_, nullptr);
    return *this;
  }
  BufferNativo(const BufferNativo&) = delete;
  BufferNativo& operator=(const BufferNativo&) = delete;
  ~BufferNativo() { liberar(); }

  // Uninitialised room for `quantidade` elements; empty when the byte size overflows.
  static BufferNativo alocar(std::size_t quantidade) {
    BufferNativo buffer;
    if (quantidade <= static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
      buffer.dados_ = static_cast<T*>(PyMem_Malloc(quantidade * sizeof(T)));
      pedir_paginas_grandes(buffer.dados_, quantidade * sizeof(T));
    }
    return buffer;
  }
  // Zero-filled room for `quantidade` elements.
  static BufferNativo zerado(std::size_t quantidade) {
    BufferNativo buffer;
    if (quantidade <= static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
      buffer.dados_ = static_cast<T*>(PyMem_Calloc(quantidade, sizeof(T)));
      pedir_paginas_grandes(buffer.dados_, quantidade * sizeof(T));
    }
    return buffer;
  }

  // Takes over an array from the interpreter's allocator.
  static BufferNativo adotar(T* dados) {
    BufferNativo buffer;
    buffer.dados_ = dados;
    return buffer;
  }

  // Gives the room beyond the first `quantidade` elements back where the allocator can (it
  // shrinks a block in place); the buffer holds them either way.
  void encolher(std::size_t quantidade) {
    T* dados = static_cast<T*>(PyMem_Realloc(dados_, quantidade * sizeof(T)));
    if (dados != nullptr) {
      dados_ = dados;
    }
  }

  // Room for `quantidade` elements, the first ones kept; false, and the buffer as it was, when
  // it cannot be had.
  bool realocar(std::size_t quantidade) {
    if (quantidade > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) {
      return false;
    }
    T* dados = static_cast<T*>(PyMem_Realloc(dados_, quantidade * sizeof(T)));
    if (dados == nullptr) {
      return false;
    }
    dados_ = dados;
    pedir_paginas_grandes(dados_, quantidade * sizeof(T));
    return true;
  }
  void liberar() {
    PyMem_Free(dados_);
    dados_ = nullptr;
  }
  // Hands the array over to its next owner, which frees it with PyMem_Free.
  T* release() { return std::exchange(dados_, nullptr); }
  T* get() const { return dados_; }
  explicit operator bool() const { return dados_ != nullptr; }
  T& operator[](std::size_t i) const { return dados_[i]; }

 private:
  T* dados_ = nullptr;
};

// The runs of a list as a first pass records them (see corridas.h): the first few kept in
// place, the others in a block that grows as they come; false when it cannot grow.
class ListaCorridas {
 public:
  // Marks that item j, in a descending run, equals the one before it; the marks are kept in a
  // bit per item, taken at the first mark (without it, the merge compares them again).
  void marcar_igual(std::size_t j) {
    if (j / 64 >= capacidade_iguais_ && !sem_iguais_) {
      const std::size_t nova = 2 * (j / 64 + 1);
      sem_iguais_ = !iguais_.realocar(nova);
      if (!sem_iguais_) {
        std::memset(iguais_.get() + capacidade_iguais_, 0,
                    (nova - capacidade_iguais_) * sizeof(std::uint64_t));
        capacidade_iguais_ = nova;
      }
    }
    if (!sem_iguais_) {
      iguais_[j / 64] |= std::uint64_t{1} << (j % 64);
    }
  }
  bool iguais_marcados() const { return !sem_iguais_; }
  bool igual(std::size_t j) const {
    return j / 64 < capacidade_iguais_ && (iguais_[j / 64] >> (j % 64) & 1) != 0;
  }

  // One run that does not descend: the list is in order already.
  bool em_ordem() const { return quantidade_ == 1 && (primeiras_[0] & corrida_descendente) == 0; }

  bool acrescentar(std::uint64_t corrida) {
    if (quantidade_ < std::size(primeiras_)) {
      primeiras_[quantidade_++] = corrida;
      return true;
    }
    const std::size_t k = quantidade_ - std::size(primeiras_);
    if (k == capacidade_) {
      const std::size_t nova = capacidade_ == 0 ? 64 : 2 * capacidade_;
      if (!outras_.realocar(nova)) {
        return false;
      }
      capacidade_ = nova;
    }
    outras_[k] = corrida;
    ++quantidade_;
    return true;
  }
  std::size_t quantidade() const { return quantidade_; }
  std::uint64_t operator[](std::size_t k) const {
    return k < std::size(primeiras_) ? primeiras_[k] : outras_[k - std::size(primeiras_)];
  }
  // Whether some run holds equal items marked (their positions are absolute).
  bool com_iguais() const { return capacidade_iguais_ > 0 || sem_iguais_; }
  // The runs of the items from `inicio` on: the first `inicio` items, which must lie within the
  // first run, are left out.
  void comecar_em(std::size_t inicio) {
    for (std::size_t k = 0; k < quantidade_; ++k) {
      (k < std::size(primeiras_) ? primeiras_[k] : outras_[k - std::size(primeiras_)]) -= inicio;
    }
  }

 private:
  std::uint64_t primeiras_[8] = {};
  BufferNativo<std::uint64_t> outras_;
  BufferNativo<std::uint64_t> iguais_;
  std::size_t capacidade_iguais_ = 0;
  bool sem_iguais_ = false;  // the marks could not be kept
  std::size_t quantidade_ = 0;
  std::size_t capacidade_ = 0;
};

// Owns one reference per object that it was given, in order, in an array that its caller
// provides; releases them, newest first, when its scope ends.
class ReferenciasGuardadas {
 public:
  explicit ReferenciasGuardadas(PyObject** objetos = nullptr) : objetos_(objetos) {}
  ReferenciasGuardadas(const ReferenciasGuardadas&) = delete;
  ReferenciasGuardadas& operator=(const ReferenciasGuardadas&) = delete;
  ~ReferenciasGuardadas() { descartar(); }

  // The array moved (its contents with it).
  void reapontar(PyObject** objetos) { objetos_ = objetos; }
  // Takes over a new reference.
  void guardar(PyObject* objeto) { objetos_[quantidade_++] = objeto; }
  // Releases every reference, oldest first.
  void liberar() {
    for (Py_ssize_t i = 0; i < quantidade_; ++i) {
      Py_DECREF(objetos_[i]);
    }
    quantidade_ = 0;
  }
  // Releases every reference, newest first.
  void descartar() {
    while (quantidade_ > 0) {
      Py_DECREF(objetos_[--quantidade_]);
    }
  }
  // Gives every reference up to a new owner: the array and, in *quantidade, how many it holds.
  PyObject** soltar(Py_ssize_t* quantidade) {
    *quantidade = std::exchange(quantidade_, 0);
    return objetos_;
  }

 private:
  PyObject** objetos_;
  Py_ssize_t quantidade_ = 0;
};

// Releases the interpreter lock for its scope when asked to; reacquires it at the end of the
// scope, or earlier through readquirir().
class LiberacaoGil {
 public:
  explicit LiberacaoGil(bool liberar) : estado_(liberar ? PyEval_SaveThread() : nullptr) {}
  LiberacaoGil(const LiberacaoGil&) = delete;
  LiberacaoGil& operator=(const LiberacaoGil&) = delete;
  ~LiberacaoGil() { readquirir(); }

  void readquirir() {
    if (estado_ != nullptr) {
      PyEval_RestoreThread(std::exchange(estado_, nullptr));
    }
  }

 private:
  PyThreadState* estado_;
};

// Holds an exact list the way the interpreter's own list sort does: the item array is taken
// aside and the list is left empty, its capacity set to -1 as a marker. Whatever runs meanwhile
// (a key function, a comparison, another thread while the lock is released, the collector) sees
// an empty list: it can neither move nor drop the items, nor see them half-ordered. The items
// stay alive through the array taken aside, which keeps the list's references.
class RetencaoLista {
 public:
  explicit RetencaoLista(PyObject* lista)
      : lista_(reinterpret_cast<PyListObject*>(lista)),
        itens_(lista_->ob_item),
        tamanho_(Py_SIZE(lista_)),
        alocados_(lista_->allocated) {
    Py_SET_SIZE(lista_, 0);
    lista_->ob_item = nullptr;
    lista_->allocated = -1;  // any change of the list resets it
  }
  RetencaoLista(const RetencaoLista&) = delete;
  RetencaoLista& operator=(const RetencaoLista&) = delete;
  ~RetencaoLista() {
    devolver();
    descartar_intrusos();
  }

  PyObject** itens() const { return itens_; }
  Py_ssize_t tamanho() const { return tamanho_; }
  // Whether the list was changed while it was held (valid before and after devolver()).
  bool modificada() const { return lista_ != nullptr ? lista_->allocated != -1 : modificada_; }

  // Puts the items back. What was put into the list meanwhile is kept aside until
  // descartar_intrusos(), so that no code of its owners runs before the caller is ready.
  void devolver() {
    if (lista_ == nullptr) {
      return;
    }
    modificada_ = lista_->allocated != -1;
    intrusos_ = lista_->ob_item;
    quantidade_intrusos_ = Py_SIZE(lista_);
    Py_SET_SIZE(lista_, tamanho_);
    lista_->ob_item = itens_;
    lista_->allocated = alocados_;
    lista_ = nullptr;
  }
  void descartar_intrusos() {
    PyObject** intrusos = std::exchange(intrusos_, nullptr);
    if (intrusos != nullptr) {
      for (Py_ssize_t i = quantidade_intrusos_; --i >= 0;) {
        Py_XDECREF(intrusos[i]);
      }
      PyMem_Free(intrusos);
    }
  }
  // The end of a sort that succeeded: the items go back, what was put into the list meanwhile
  // is dropped, and a change is reported as the interpreter's sort reports it. 0 or -1.
  int terminar() {
    const bool mudou = modificada();
    if (mudou) {
      PyErr_SetString(PyExc_ValueError, "list modified during sort");
    }
    devolver();
    descartar_intrusos();
    return mudou ? -1 : 0;
  }

 private:
  PyListObject* lista_;
  PyObject** itens_;
  Py_ssize_t tamanho_;
  Py_ssize_t alocados_;
  bool modificada_ = false;
  PyObject** intrusos_ = nullptr;
  Py_ssize_t quantidade_intrusos_ = 0;
};

}  // namespace vesksort

#endif
