// What project and study functions share: the window position handed to the
// host and the project file of a project directory.
#pragma once

#include "runtime/api.hpp"

namespace dralvex {

// Point((screenWidth - 300) / 2, (screenheight - 400) / 2), true division.
inline Ref window_position(Obj point_type, Obj screen_width, Obj screenheight, Where where = Where::current()) {
    Ref two = integer(2, where);
    Ref x = true_divide(subtract(screen_width, integer(300, where), where), two, where);
    Ref y = true_divide(subtract(screenheight, integer(400, where), where), two, where);
    return call(At(point_type.ptr, where), x, y);
}

// <projectDirectory>/<stem of its base name>.project
inline Ref project_file(Obj project_directory, Where where = Where::current()) {
    Ref project_filename = item(Call{At(os_path_function("splitext"_py, where), where),
                                    Call{At(os_path_function("basename"_py, where), where), project_directory}},
                               0, where);
    return Call{At(os_path_function("join"_py, where), where), project_directory,
                add(project_filename, ".project"_py, where)};
}

}  // namespace dralvex
