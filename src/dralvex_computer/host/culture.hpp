// The .NET culture of the calling thread.
#pragma once

#include "module/api.hpp"

namespace dralvex {

// Thread.CurrentThread.CurrentCulture = culture, then the UI culture;
// Thread.CurrentThread is read afresh for each.
inline void set_thread_culture(Obj Thread, Obj culture, Where where = Where::current()) {
    set_attr(attr(Thread, "CurrentThread"_py, where), "CurrentCulture"_py, culture, where);
    set_attr(attr(Thread, "CurrentThread"_py, where), "CurrentUICulture"_py, culture, where);
}

}  // namespace dralvex
