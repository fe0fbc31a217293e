#pragma once
// The pure part of SetDeviceCfgEx: which members of an agent's SwitchInfo
// the caller's settings replace.

#include "soapH.h"

namespace ferro {

// `settings` holds the caller's values in every member that SetDeviceCfgEx
// has a parameter for. Copies into it, from `agent`, the members that have
// no parameter (product, firmware, type, HTTP port, LLDP mode and key,
// protocol/family/interface versions, upgrade times, function words, error
// text, loader mode), so that they stay as the agent reported them.
void KeepAgentOnlyMembers(const ns__SwitchInfo& agent, ns__SwitchInfo& settings);

}  // namespace ferro
