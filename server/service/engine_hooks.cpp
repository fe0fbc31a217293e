#include "engine_hooks.h"

namespace ferro {

void StopEngineForExit() {}

}  // namespace ferro
