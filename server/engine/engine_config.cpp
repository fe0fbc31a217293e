#include "engine/engine_config.h"

namespace ferro {

EngineConfig& Config() {
  static EngineConfig config;
  return config;
}

}  // namespace ferro
