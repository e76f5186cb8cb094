#include "runtime/process_state.hpp"

namespace dralvex {

ProcessState process_state;

}  // namespace dralvex
