// The datetime module's objects as int64 keys (temporais.h). Only this file includes the
// module's header, which gives every file that does a static pointer of its own to the API.
#include "temporais.h"

#include <datetime.h>

#include <cstring>

namespace vesksort {
namespace {

// The module's C API from its capsule, where the interpreter holds `modulo` already: no import
// runs, and the capsule is read from the module's dict (no getattr of a module's own).
const PyDateTime_CAPI* api_do_modulo(PyObject* modulo) {
  if (!PyModule_CheckExact(modulo)) {
    return nullptr;
  }
  PyObject* capsula = nullptr;
  if (PyDict_GetItemStringRef(PyModule_GetDict(modulo), "datetime_CAPI", &capsula) <= 0) {
    return nullptr;
  }
  Referencia dona(capsula);
  if (!PyCapsule_IsValid(capsula, PyDateTime_CAPSULE_NAME)) {
    return nullptr;
  }
  return static_cast<const PyDateTime_CAPI*>(
      PyCapsule_GetPointer(capsula, PyDateTime_CAPSULE_NAME));
}

// The module held by the interpreter under `nome`, or an empty reference.
Referencia modulo_importado(const char* nome) {
  Referencia texto(PyUnicode_FromString(nome));
  return texto ? Referencia(PyImport_GetModule(texto.get())) : Referencia();
}

// The module whose capsule gave the types last (held, so that the types outlive their use here),
// and those types. Reading a capsule costs more than ordering a few dates, and a program sorts
// dates again and again: the module found in sys.modules is only compared with this one, and read
// afresh where another has taken its place.
PyObject* modulo_lido = nullptr;
TiposTemporais tipos_lidos;

// Microseconds in a day.
constexpr std::int64_t microssegundos_dia = 86'400'000'000;

}  // namespace

TiposTemporais tipos_temporais() {
  static PyObject* const nome_datetime = PyUnicode_InternFromString("_datetime");
  if (nome_datetime != nullptr) {
    Referencia modulo(PyImport_GetModule(nome_datetime));
    if (modulo && modulo.get() == modulo_lido) {
      return tipos_lidos;
    }
  }
  Referencia modulo = modulo_importado("_datetime");
  const PyDateTime_CAPI* api = modulo ? api_do_modulo(modulo.get()) : nullptr;
  if (api == nullptr) {
    modulo = modulo_importado("datetime");
    api = modulo ? api_do_modulo(modulo.get()) : nullptr;
  }
  // Whatever failed means only that no datetime is ordered natively.
  PyErr_Clear();
  if (api == nullptr) {
    return TiposTemporais{};
  }
  PyDateTimeAPI = const_cast<PyDateTime_CAPI*>(api);
  tipos_lidos = TiposTemporais{api->DateType, api->DateTimeType, api->DeltaType};
  Py_XSETREF(modulo_lido, modulo.release());
  return tipos_lidos;
}

bool LeitorTemporal::comecar(PyObject* objeto) {
  PyTypeObject* classe = Py_TYPE(objeto);
  // The module's types are named "datetime.<name>": objects of any other type cost no lookup.
  if (std::strncmp(classe->tp_name, "datetime.", 9) != 0) {
    return false;
  }
  tipos_ = tipos_temporais();
  if (classe == tipos_.data) {
    tipo_ = TipoTemporal::DATA;
  } else if (classe == tipos_.data_hora) {
    tipo_ = TipoTemporal::DATA_HORA;
    fuso_ = PyDateTime_DATE_GET_TZINFO(objeto);
  } else if (classe == tipos_.duracao) {
    tipo_ = TipoTemporal::DURACAO;
  } else {
    return false;
  }
  classe_ = classe;
  return true;
}

int LeitorTemporal::ler(PyObject* objeto, std::int64_t* valor, MotivoInterpretador* motivo) const {
  if (Py_TYPE(objeto) != classe_) {
    *motivo = MotivoInterpretador::NAO_TEMPORAL;
    return 0;
  }
  switch (tipo_) {
    case TipoTemporal::DATA:
      *valor = std::int64_t{PyDateTime_GET_YEAR(objeto)} << 9 | PyDateTime_GET_MONTH(objeto) << 5 |
               PyDateTime_GET_DAY(objeto);
      return 1;
    case TipoTemporal::DATA_HORA:
      if (PyDateTime_DATE_GET_TZINFO(objeto) != fuso_) {
        *motivo = MotivoInterpretador::FUSO_DIFERENTE;
        return 0;
      }
      *valor = std::int64_t{PyDateTime_GET_YEAR(objeto)} << 46 |
               std::int64_t{PyDateTime_GET_MONTH(objeto)} << 42 |
               std::int64_t{PyDateTime_GET_DAY(objeto)} << 37 |
               std::int64_t{PyDateTime_DATE_GET_HOUR(objeto)} << 32 |
               std::int64_t{PyDateTime_DATE_GET_MINUTE(objeto)} << 26 |
               std::int64_t{PyDateTime_DATE_GET_SECOND(objeto)} << 20 |
               PyDateTime_DATE_GET_MICROSECOND(objeto);
      return 1;
    case TipoTemporal::DURACAO: {
      // Days, then seconds within the day, then microseconds: their sum in microseconds, where
      // it fits (about 292,000 years either way).
      std::int64_t total;
      if (__builtin_mul_overflow(std::int64_t{PyDateTime_DELTA_GET_DAYS(objeto)},
                                 microssegundos_dia, &total) ||
          __builtin_add_overflow(total,
                                 std::int64_t{PyDateTime_DELTA_GET_SECONDS(objeto)} * 1'000'000 +
                                     PyDateTime_DELTA_GET_MICROSECONDS(objeto),
                                 &total)) {
        *motivo = MotivoInterpretador::DURACAO_LONGA;
        return 0;
      }
      *valor = total;
      return 1;
    }
    case TipoTemporal::NENHUM:
      break;
  }
  *motivo = MotivoInterpretador::NAO_TEMPORAL;
  return 0;
}

const char* LeitorTemporal::nome() const {
  switch (tipo_) {
    case TipoTemporal::DATA:
      return "date";
    case TipoTemporal::DATA_HORA:
      return "datetime";
    case TipoTemporal::DURACAO:
      return "timedelta";
    case TipoTemporal::NENHUM:
      break;
  }
  return nullptr;
}

}  // namespace vesksort
