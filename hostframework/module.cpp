#include "module.h"

namespace zyappframework {

Module::~Module() = default;

} // namespace zyappframework
