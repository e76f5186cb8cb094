// File-system steps the bodies share that are more than a line: the
// shared-FRE warning, and clean-up after a failure, which removes what the
// call made and nothing else.
#include "shared/files.hpp"

#include "runtime/api.hpp"

namespace dralvex {

namespace {

constexpr long file_type_bits = 0170000;   // S_IFMT, the same on Windows
constexpr long directory_type = 0040000;   // S_IFDIR

bool is_directory_status(Obj status, Where where) {
    const long mode = PyLong_AsLong(attr(status, "st_mode"_py, where).get());
    if (mode == -1) require_no_error(where);
    return (mode & file_type_bits) == directory_type;
}

// os.chmod(<name>, 0o700, dir_fd=<fd>) for each real directory among
// `names` of the directory open as `fd`: the name is checked without
// following a link first.
void open_up_names(const Ref& os, const Ref& names, const Ref& fd, const Ref& owner_all, Where where) {
    for_each(At(names, where), [&](const Ref& name) {
        catch_exception(
            [&] {
                Ref status = call_object(At(attr(os, "stat"_py, where), where), tuple(At(name, where)),
                                         keywords({{"dir_fd"_py, fd}, {"follow_symlinks"_py, Py_False}}, where).get());
                if (!is_directory_status(status, where)) return;
                call_object(At(attr(os, "chmod"_py, where), where), tuple(At(name, where), owner_all),
                            keywords({{"dir_fd"_py, fd}}, where).get());
            },
            where);
    });
}

// Gives the owner full rights on the directory `path` (checked to be the
// one the call made) and every real directory below it, so that a copy
// that carried read-only modes can be removed. os.fwalk neither follows a
// link nor leaves a directory that was swapped while it walks; where the
// platform has none (Windows), os.walk with each name checked by lstat.
void make_directories_writable(Obj path, Where where) {
    Ref os = global("os"_py, where);
    Ref owner_all = integer(0700, where);
    call_method(At(os, where), "chmod"_py, path, owner_all);
    if (PyObject_HasAttr(os.get(), "fwalk"_py)) {
        Ref walk = call_object(At(attr(os, "fwalk"_py, where), where), tuple(At(path.ptr, where)),
                               keywords({{"follow_symlinks"_py, Py_False}}, where).get());
        for_each(At(walk, where), [&](const Ref& entry) {
            open_up_names(os, item(entry, 1, where), item(entry, 3, where), owner_all, where);
        });
        return;
    }
    Ref walk = call_method(At(os, where), "walk"_py, path);
    for_each(At(walk, where), [&](const Ref& entry) {
        Ref directory = item(entry, 0, where);
        for_each(At(item(entry, 1, where), where), [&](const Ref& name) {
            Ref child = os_path(At("join"_py, where), directory, name);
            if (!directory_identity(child, where)) return;
            catch_exception([&] { call_method(At(os, where), "chmod"_py, child, owner_all); }, where);
        });
    });
}

}  // namespace

Ref directory_identity(Obj path, Where where) {
    Ref status;
    if (catch_exception([&] { status = call_method(At(global("os"_py, where), where), "lstat"_py, path); }, where)) {
        return {};
    }
    if (!is_directory_status(status, where)) return {};
    return tuple(At(attr(status, "st_dev"_py, where), where), attr(status, "st_ino"_py, where));
}

bool is_same_directory(Obj path, const Ref& identity, Where where) {
    if (!identity) return false;
    Ref now = directory_identity(path, where);
    return now && equals(now, identity, where);
}

void warn_if_fre_file_shared(Obj frefile, Obj strale_filename, Where where) {
    static Lazy warn_function;
    PyObject* warn = warn_function.get(
        [&] { return import_from("dralvex_computer.shared_fre"_py, "warn_if_shared"_py, where); });
    call(At(warn, where), frefile, strale_filename);
}

void remove_tree_quietly(Obj path, const Ref& identity, Where where) {
    auto remove = [&] {
        Ref options = keywords({{"ignore_errors"_py, Py_True}}, where);
        call_object(At(attr(global("shutil"_py, where), "rmtree"_py, where), where), tuple(At(path.ptr, where)),
                    options.get());
    };
    catch_exception(
        [&] {
            if (!is_same_directory(path, identity, where)) return;
            remove();
            if (!is_same_directory(path, identity, where)) return;
            make_directories_writable(path, where);
            if (!is_same_directory(path, identity, where)) return;
            remove();
        },
        where);
}

}  // namespace dralvex
