#pragma once
// The pure part of the device-set operations: which members of an agent's
// SwitchInfo the caller's settings replace.

#include <cstddef>
#include <string_view>
#include <vector>

#include "service/request_members.h"
#include "soapH.h"

namespace ferro {

// Members of SwitchInfo.
inline constexpr size_t kSwitchInfoMemberCount = 77;

// Copies into `settings`, from `agent`, every SwitchInfo member that the
// request did not give, so that it keeps the agent's known value.
void KeepMembersNotGiven(const ns__SwitchInfo& agent, const GivenMembers& given,
                         ns__SwitchInfo& settings);
// The names of the SwitchInfo members the request did not give, in
// contract order.
std::vector<std::string_view> MembersNotGiven(const GivenMembers& given);

// `settings` holds the caller's values in every member that SetDeviceCfgEx
// has a parameter for. Copies into it, from `agent`, the members that have
// no parameter (product, firmware, type, HTTP port, LLDP mode and key,
// protocol/family/interface versions, upgrade times, function words, error
// text, loader mode), so that they stay as the agent reported them.
void KeepAgentOnlyMembers(const ns__SwitchInfo& agent, ns__SwitchInfo& settings);

}  // namespace ferro
