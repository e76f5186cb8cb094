// The .NET culture of the calling thread.
#pragma once

#include "module/api.hpp"

namespace dralvex {

// Thread.CurrentThread.CurrentCulture = _CultureInfo_, then the same for
// CurrentUICulture. As in the assignment statements, the global is read
// afresh for each, before Thread.CurrentThread.
inline void set_thread_culture(Obj Thread, Where where = Where::current()) {
    for (PyObject* property : {"CurrentCulture"_py, "CurrentUICulture"_py}) {
        Ref culture = global("_CultureInfo_"_py, where);
        set_attr(attr(Thread, "CurrentThread"_py, where), property, culture, where);
    }
}

}  // namespace dralvex
