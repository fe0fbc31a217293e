#pragma once
// The engine entry points that the service operations call.

namespace ferro {

// Stops the engine (if it runs) before the process ends.
void StopEngineForExit();

}  // namespace ferro
