// src/decoder/decoder.cpp: one load: read, gate, build, and rebuild in Exact
// mode when a Canonical build met an entry out of order.
#include "decoder/decoder.h"

#include "decoder/engine.h"
#include "decoder/gate.h"
#include "format/analysis.h"
#include "format/reader.h"
#include "py/gc_pause.h"

namespace korvane::decoder {

namespace {

// A text that is not UTF-8 is the reader's error, which comes before any
// other; whatever the build gave is dropped for it.
PyResult<Ref> finish(const Decoder& decoder, PyResult<Ref> result) {
  if (auto fault = decoder.text_fault()) return std::move(*fault);
  return result;
}

}  // namespace

PyResult<Ref> decode(PyObject* data, PyObject* allowlist) {
  char* bytes;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return PyError::fetch();
  // Texts are decoded by the interpreter's strict UTF-8 decoder, which
  // checks them; the reader need not check them first.
  KV_ASSIGN_OR_RETURN(format::ParsedDocument doc,
                      format::read_document({reinterpret_cast<const uint8_t*>(bytes),
                                             static_cast<size_t>(size)},
                                            format::TextCheck::Caller));
  if (allowlist) KV_TRY(check_allowlist(doc, allowlist));
  const bool plain = doc.dataclass_entries == 0;
  const bool canonical = plain || format::in_canonical_order(doc);
  // In writer order every field of a dataclass is built before its owner
  // is, or was built before the reference to it: a cycle of dataclasses
  // cannot be there.
  if (!canonical) KV_TRY(format::check_dataclass_cycles(doc));
  const auto mode = canonical ? Decoder::Mode::Canonical : Decoder::Mode::Exact;
  // Every container built here stays reachable until the load returns, so a
  // collection in the middle could free nothing; it would only walk the new
  // objects again and again. Without dataclass entries no user code runs, so
  // nobody can observe the collector paused.
  GcPause pause(plain);
  {
    Decoder decoder(doc, mode);
    auto result = decoder.resolve(0);
    if (!decoder.needs_restart()) return finish(decoder, std::move(result));
  }
  Decoder decoder(doc, Decoder::Mode::Exact);
  return finish(decoder, decoder.resolve(0));
}

}  // namespace korvane::decoder
