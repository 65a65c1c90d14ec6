// Dates and times read as int64 keys, as the drop-ins read ints: exact datetime.date, exact
// datetime.datetime (naive, or all sharing one tzinfo object) and exact datetime.timedelta. The
// interpreter orders two dates, or two datetimes with the same tzinfo object, by their fields
// alone (never fold, never utcoffset()), and two timedeltas by their days, seconds and
// microseconds: the fields packed from the most significant down keep that order.
#ifndef VESKSORT_TEMPORAIS_H
#define VESKSORT_TEMPORAIS_H

#include <cstdint>

#include "vesksort.h"

namespace vesksort {

enum class TipoTemporal : std::uint8_t { NENHUM, DATA, DATA_HORA, DURACAO };

// The datetime module's types, where a program has imported it.
struct TiposTemporais {
  PyTypeObject* data = nullptr;
  PyTypeObject* data_hora = nullptr;
  PyTypeObject* duracao = nullptr;
};

// The types of the datetime module that the interpreter has imported, found without importing
// anything nor running any Python code; all null where it has not been imported. Never raises.
TiposTemporais tipos_temporais();

// Reads objects of the first one's kind (and, for datetimes, its tzinfo object) into int64 keys.
class LeitorTemporal {
 public:
  // Whether `objeto` is of a kind that this reader takes: then it becomes the kind to read.
  bool comecar(PyObject* objeto);

  // 1 with *valor set; 0 with the reason in *motivo for an object of another kind or tzinfo,
  // or a timedelta whose microseconds pass the int64 range.
  int ler(PyObject* objeto, std::int64_t* valor, MotivoInterpretador* motivo) const;

  TipoTemporal tipo() const { return tipo_; }
  // "date", "datetime" or "timedelta".
  const char* nome() const;

 private:
  TiposTemporais tipos_;
  TipoTemporal tipo_ = TipoTemporal::NENHUM;
  PyTypeObject* classe_ = nullptr;
  PyObject* fuso_ = nullptr;  // borrowed: the first datetime holds it
};

}  // namespace vesksort

#endif
