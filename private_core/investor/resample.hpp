// What the investor bridge's translation units share: the way a column is stored into a frame, and the resampler
// behind `InvestorBridgework._resample_frame` (resample.cpp).
#pragma once

#include "pcrt/pcrt.hpp"

namespace investor {

// `frame[name] = value` on a frame this module owns.  The assignment itself
// is never made from native code: it holds fewer references to the frame than
// pandas 2.2's chained-assignment check expects, which then warns on every
// call.  `isetitem` and `insert` store the column the same way without it.
void put_column(PyObject* frame, PyObject* name, PyObject* value);

// `_resample_frame(frame, namespace, interval)` of the bridge `c.self()`:
// each identifier's rows summed into buckets of `interval`, or `frame` itself
// when it cannot be resampled.
pcrt::Ref resample_frame(pcrt::Call& c, PyObject* frame, PyObject* ns, PyObject* interval);

}  // namespace investor
