// What project and study functions share: the window position handed to the
// host and the project file of a project directory.
#pragma once

#include "module/api.hpp"

namespace dralvex {

// Point((screenWidth - 300) / 2, (screenheight - 400) / 2), true division.
inline Ref window_position(Obj Point, Obj screenWidth, Obj screenheight, Where where = Where::current()) {
    Ref two = integer(2, where);
    Ref x = true_divide(subtract(screenWidth, integer(300, where), where), two, where);
    Ref y = true_divide(subtract(screenheight, integer(400, where), where), two, where);
    return call(At(Point.ptr, where), x, y);
}

// <projectDirectory>/<stem of its base name>.project
inline Ref project_file(Obj projectDirectory, Where where = Where::current()) {
    Ref projectFilename = item(Call{At(os_path_function("splitext"_py, where), where),
                                    Call{At(os_path_function("basename"_py, where), where), projectDirectory}},
                               0, where);
    return Call{At(os_path_function("join"_py, where), where), projectDirectory,
                add(projectFilename, ".project"_py, where)};
}

}  // namespace dralvex
