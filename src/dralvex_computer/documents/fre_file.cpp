// writeFreFile: the PipeStress input file of a model, written by the host
// with the options of the application's settings.
//
// The previous FRE file is never lost when no new one gets written: the
// settings are read and converted first, the old file is moved aside (or its
// bytes kept) rather than removed, and it is put back when the host fails.
#include "module/bodies.hpp"
#include "runtime/api.hpp"
#include "shared/files.hpp"
#include "shared/installation.hpp"

namespace dralvex::functions {

namespace {

Ref setting(const Ref& settings, PyObject* section, PyObject* key) {
    return call_method(settings, "GetSettingValue"_py, section, key);
}

// int(settings.GetSettingValue(section, key)), `int` read first
Ref integer_setting(const Ref& settings, PyObject* section, PyObject* key) {
    return Call{global("int"_py), setting(settings, section, key)};
}

// int(settings.GetSettingValue(section, key)) == 1
Ref flag(const Ref& settings, PyObject* section, PyObject* key) {
    return boolean(equals(integer_setting(settings, section, key), integer(1)));
}

Ref rotation_option_of(const Ref& rotation_units) {
    if (equals(rotation_units, "Degrees"_py)) return integer(1);
    if (equals(rotation_units, "Milliradians"_py)) return integer(2);
    return integer(0);
}

// A free name beside `path`, no longer in bytes than its own name, so that
// it fits wherever the original fits; empty when none is found.
Ref side_name(const Ref& path) {
    auto [directory, name] = unpack_pair(os_path("split"_py, path));
    const Py_ssize_t length = bytes_length(call_method(global("os"_py), "fsencode"_py, name));
    for (int attempt = 0; attempt < 100; ++attempt) {
        Ref random = attr(call_method(global("uuid"_py), "uuid4"_py), "hex"_py);
        // a leading dot keeps it out of plain listings; "." alone is no name
        Ref candidate = length < 3 ? slice(random, 0, length) : concat({"."_py, slice(random, 0, length - 1)});
        Ref aside = os_path("join"_py, directory, candidate);
        if (!truth(os_path("lexists"_py, aside))) return aside;
    }
    return {};
}

// What was at the FRE path before the host writes, kept so that a failed
// write can put it back: a regular file (or a link to one) is moved aside;
// when it cannot be moved (a name too long, a read-only directory, any
// error), its bytes are kept instead. Anything else (a directory) is left as
// it is. A dangling link is no file, as os.path.exists says: it stays, and
// the host writes through it.
struct OldFreFile {
    bool present = false;    // a file was at the path
    bool dangling = false;   // a link to nothing was
    Ref aside;               // the old file, moved to this name
    Ref content;             // or its bytes
};

// with open(path, "rb") as stream: return stream.read()
Ref read_bytes(const Ref& path) {
    Ref stream = call_global("open"_py, path, "rb"_py);
    Ref content;
    with_context(stream, [&](const Ref& opened) { content = call_method(opened, "read"_py); });
    return content;
}

// with open(path, "wb") as stream: stream.write(content)
void write_bytes(const Ref& path, const Ref& content) {
    Ref stream = call_global("open"_py, path, "wb"_py);
    with_context(stream, [&](const Ref& opened) { call_method(opened, "write"_py, content); });
}

OldFreFile keep_old_file(const Ref& frefile) {
    OldFreFile old;
    old.present = path_exists(frefile);
    if (!old.present) {
        old.dangling = truth(os_path("lexists"_py, frefile));
        return old;
    }
    if (!truth(os_path("islink"_py, frefile)) && !truth(os_path("isfile"_py, frefile))) return old;
    Ref aside = side_name(frefile);
    if (aside && !catch_exception([&] { call_method(global("os"_py), "replace"_py, frefile, aside); })) {
        old.aside = aside;
        return old;
    }
    catch_exception([&] { old.content = read_bytes(frefile); });
    return old;
}

// os.remove(path) of whatever entry is there, a link included.
void remove_quietly(const Ref& path) {
    catch_exception([&] {
        if (truth(os_path("lexists"_py, path))) call_method(global("os"_py), "remove"_py, path);
    });
}

// After a failed write: the path holds what it held before.
void put_back(const OldFreFile& old, const Ref& frefile) {
    if (old.aside) {
        remove_quietly(frefile);
        catch_exception([&] { call_method(global("os"_py), "replace"_py, old.aside, frefile); });
    } else if (old.content) {
        catch_exception([&] { write_bytes(frefile, old.content); });
    } else if (old.dangling) {
        // the link stays; a partial file the host wrote through it goes
        catch_exception([&] {
            if (path_exists(frefile)) call_method(global("os"_py), "remove"_py, os_path("realpath"_py, frefile));
        });
    } else if (!old.present) {
        // a partial input file must never be left where a solve would read it
        remove_quietly(frefile);
    }
}

}  // namespace

Ref writeFreFile(PyObject* strale, PyObject* strale_filename) {
    require_setup();
    Ref ps_library_type = type_from_assembly(ductavo_core_assembly(), "PSLibrary"_py);
    Ref ps_library_filename = Call{os_path_function("join"_py), global("_dllPath_"_py), pipestress_library()};
    if (!path_exists(ps_library_filename)) raise(Call{global("OSError"_py), "Invalid setup! Dralvex.PipeStress.lib not found!"_py});
    call_method(ps_library_type, "Initialize"_py, ps_library_filename);

    Ref directory = Call{os_path_function("dirname"_py), strale_filename};
    const FreFile fre = fre_file_in(directory, strale_filename);
    const Ref& frefile = fre.path;

    Ref settings = call_method(global("_Application_"_py), "GetSettingsController"_py);
    if (!differs_from_none(settings)) return none();
    Ref max_length = integer_setting(settings, "PIPESTRESS"_py, "MAX FIELD LENGTH"_py);
    Ref rotation_units = setting(settings, "PIPESTRESS"_py, "ROTATION UNITS"_py);
    Ref rotation_option = rotation_option_of(rotation_units);
    Ref inline_restraints = flag(settings, "PIPESTRESS"_py, "GENERATE RESTRAINTS INLINE"_py);
    Ref inline_dlcs = flag(settings, "PIPESTRESS"_py, "GENERATE DLCS INLINE"_py);
    Ref inline_indi = flag(settings, "PIPESTRESS"_py, "GENERATE INDI INLINE"_py);
    Ref write_imperial = flag(settings, "DUCTAVO"_py, "USE IMPERIAL NOTATION"_py);

    if (fre.fallback) warn_if_fre_file_shared(frefile, strale_filename);
    const OldFreFile old = keep_old_file(frefile);
    with_rollback(
        [&] {
            call_method(strale, "WriteFreFile"_py, frefile, Py_None, max_length, rotation_option, Py_False,
                        write_imperial, inline_restraints, inline_dlcs, inline_indi, Py_False, Py_None, Py_None);
        },
        [&] { put_back(old, frefile); });
    if (old.aside) remove_quietly(old.aside);
    return none();
}

}  // namespace dralvex::functions
