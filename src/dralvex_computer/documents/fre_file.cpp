// writeFreFile: the PipeStress input file of a model, written by the host
// with the options of the application's settings.
//
// The previous FRE file is never lost when no new one gets written: the
// settings are read and converted first, the old file is moved aside rather
// than removed, and it is put back when the host fails to write.
#include "module/api.hpp"
#include "module/files.hpp"
#include "module/bodies.hpp"

namespace dralvex::functions {

namespace {

Ref setting(const Ref& settings, PyObject* section, PyObject* key) {
    return call_method(settings, "GetSettingValue"_py, section, key);
}

// int(value) == 1
Ref flag(const Ref& value) {
    return boolean(equals(call_global("int"_py, value), integer(1)));
}

Ref rotation_option(const Ref& s) {
    if (equals(s, "Degrees"_py)) return integer(1);
    if (equals(s, "Milliradians"_py)) return integer(2);
    return integer(0);
}

// <directory>/<stem>.fre when it exists, else <directory>/conception.fre.
Ref fre_file_of(PyObject* straleFilename) {
    Ref directory = os_path("dirname"_py, straleFilename);
    Ref studyname = item(os_path("splitext"_py, os_path("basename"_py, straleFilename)), 0);
    Ref frefile = os_path("join"_py, directory, concat({studyname, ".fre"_py}));
    if (!path_exists(frefile)) frefile = os_path("join"_py, directory, "conception.fre"_py);
    return frefile;
}

// Moves an existing FRE file aside; returns its new name, or nothing when
// there was no file or it could not be moved (which is ignored).
Ref move_aside(const Ref& frefile) {
    if (!path_exists(frefile)) return {};
    Ref aside = concat({frefile, "."_py, attr(call_method(global("uuid"_py), "uuid4"_py), "hex"_py), ".old"_py});
    const auto failure = catch_exception([&] { call_method(global("os"_py), "replace"_py, frefile, aside); });
    return failure ? Ref() : aside;
}

void remove_quietly(const Ref& path) {
    catch_exception([&] {
        if (path_exists(path)) call_method(global("os"_py), "remove"_py, path);
    });
}

}  // namespace

Ref writeFreFile(Args args) {
    PyObject* strale = args[0];
    PyObject* straleFilename = args[1];

    require_setup();
    call_global("load_dll"_py, "Dralvex.Ductavo.Core.dll"_py);
    Ref PSLibrary = import_from("Dralvex.Ductavo.Core"_py, "PSLibrary"_py);
    Ref PSLibraryFilename = os_path("join"_py, global("_dllPath_"_py), "Dralvex.PipeStress.lib"_py);
    if (!path_exists(PSLibraryFilename)) raise(PyExc_OSError, "Invalid setup! Dralvex.PipeStress.lib not found!"_py);
    call_method(PSLibrary, "Initialize"_py, PSLibraryFilename);

    Ref frefile = fre_file_of(straleFilename);

    Ref settings = call_method(global("_Application_"_py), "GetSettingsController"_py);
    if (!differs_from_none(settings)) return none();
    Ref maxLength = call_global("int"_py, setting(settings, "PIPESTRESS"_py, "MAX FIELD LENGTH"_py));
    Ref s = setting(settings, "PIPESTRESS"_py, "ROTATION UNITS"_py);
    Ref rotationOption = rotation_option(s);
    Ref inlineRestraints = flag(setting(settings, "PIPESTRESS"_py, "GENERATE RESTRAINTS INLINE"_py));
    Ref inlineDLCS = flag(setting(settings, "PIPESTRESS"_py, "GENERATE DLCS INLINE"_py));
    Ref inlineINDI = flag(setting(settings, "PIPESTRESS"_py, "GENERATE INDI INLINE"_py));
    Ref writeImperial = flag(setting(settings, "DUCTAVO"_py, "USE IMPERIAL NOTATION"_py));

    const bool had_old_file = path_exists(frefile);
    Ref aside = move_aside(frefile);
    with_rollback(
        [&] {
            call_method(strale, "WriteFreFile"_py, frefile, Py_None, maxLength, rotationOption, Py_False,
                        writeImperial, inlineRestraints, inlineDLCS, inlineINDI, Py_False, Py_None, Py_None);
        },
        [&] {
            if (aside || !had_old_file) remove_quietly(frefile);
            if (aside) catch_exception([&] { call_method(global("os"_py), "replace"_py, aside, frefile); });
        });
    if (aside) remove_quietly(aside);
    return none();
}

}  // namespace dralvex::functions
