#pragma once
// Plugs the protocol work into the engine's threads: the packet dispatch by
// opcode, the periodic passes and the clean-ups at stop.

namespace ferro {

// Installs every handler, pass and clean-up. Call before StartEngine; later
// calls change nothing.
void InstallEngineProtocol();

}  // namespace ferro
