#include "runtime/calls.hpp"

namespace dralvex {

Ref call_object(At callable, Obj args, PyObject* kwargs) {
    return Ref::steal(PyObject_Call(callable.ptr, args.ptr, kwargs), callable.where);
}

Ref keywords(std::initializer_list<std::pair<PyObject*, Obj>> items, Where where) {
    Ref dict = Ref::steal(PyDict_New(), where);
    for (const auto& [key, value] : items) {
        require(PyDict_SetItem(dict.get(), key, value.ptr), where);
    }
    return dict;
}

Ref os_path_function(PyObject* name, Where where) {
    return attr(attr(global("os"_py, where), "path"_py, where), name, where);
}

}  // namespace dralvex
