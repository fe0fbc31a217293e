#!/usr/bin/python3
"""A client of the Ferrolink service as an integrator writes one with zeep
in strict mode: the description is fetched from the server, every operation
is called through it, and a JSON report of what came back is printed.

    zeep_client.py URL FW_FILE SAVE_FILE NAME

URL is where the service answers (the description's own address is the
server's fixed one). The scenario matches the other clients' in the tests,
so one function judges all three reports.
"""

import json
import sys
import time

import requests
import zeep
from zeep.helpers import serialize_object

HALVEX = "{urn:Halvex}"


def main() -> int:
    url, fw_file, save_file, name = sys.argv[1:5]
    settings = zeep.Settings(strict=True)
    client = zeep.Client(url.rstrip("/") + "/Device.wsdl", settings=settings)
    service = client.create_service(HALVEX + "Device", url)
    service12 = client.create_service(HALVEX + "Device12", url)
    switch_info = client.get_type(HALVEX + "SwitchInfo")
    steps = []

    def step(name_: str, call, **kwargs):
        try:
            answer = call(**kwargs)
        except zeep.exceptions.Fault as e:
            steps.append({"step": name_, "fault": {"code": e.code, "string": e.message,
                                                   "reason": reason_of(e.detail)}})
            return None
        steps.append({"step": name_, "ok": plain(answer)})
        return answer

    step("EngineLayerStartup", service.EngineLayerStartup)
    step("SetDiscoverToAgents", service.SetDiscoverToAgents, nUserID=1, strUserName="integrator")
    time.sleep(3.5)  # the discovery window
    listed = step("GetSwitchInfoList", service.GetSwitchInfoList, monitorNum=0)
    agents = sorted((info for info in (listed.arrList if listed else [])), key=lambda i: i.macAddr)
    while len(agents) < 3:
        agents.append(switch_info(agentIpAddr="0.0.0.0", macAddr="00-00-00-00-00-00"))
    a, b, c = agents[:3]

    step("AddMonitorAgent", service.AddMonitorAgent, strIpAddress=a.agentIpAddr, strMacAddr=a.macAddr)
    step("AddMonitorAgent#again", service.AddMonitorAgent, strIpAddress=a.agentIpAddr,
         strMacAddr=a.macAddr)
    step("GetMonitorStatus", service.GetMonitorStatus, monitorNum=1)
    step("GetSwitchInfoList#toomany", service.GetSwitchInfoList, monitorNum=5)
    step("GetSwitchInfoList#soap12", service12.GetSwitchInfoList, monitorNum=5)
    step("GetRefreshTime#soap12", service12.GetRefreshTime)
    step("DelMonitorAgent", service.DelMonitorAgent, strIpAddress=a.agentIpAddr)
    step("SetUtilityGroupInterval", service.SetUtilityGroupInterval, groupInterval=125)
    step("GetUtilityGroupInterval", service.GetUtilityGroupInterval)
    step("SetRefreshTime", service.SetRefreshTime, monitorPollingInterval=30)
    step("GetRefreshTime", service.GetRefreshTime, nUserID=1)
    step("GetRefreshTimeEx", service.GetRefreshTimeEx)
    step("SetTrapHwnd", service.SetTrapHwnd)
    step("GetTrapList", service.GetTrapList)
    names = step("GetReqXmlList", service.GetReqXmlList)
    sample = (names.ReqXml[0] if names is not None and names.ReqXml
              else "Device.GetRefreshTime.req.xml")
    step("GetReqXmlFile", service.GetReqXmlFile, strXmlName=sample)
    with open(fw_file, "rb") as f:
        size = len(f.read())
    step("SetFwFilePath", service.SetFwFilePath, strFwFilePath=fw_file, strUpType="firmware",
         strEncryptKey="", intFileSize=size)
    # Two agents with only their address and MAC set.
    step("AddUpgradeAgent", service.AddUpgradeAgent, vecSwitchInfo=[
        switch_info(macAddr=x.macAddr, agentIpAddr=x.agentIpAddr) for x in (a, b)])
    step("GetUpgradeStatus", service.GetUpgradeStatus, strMacAddr=a.macAddr)
    step("AddUpgradeAgentEx", service.AddUpgradeAgentEx, macAddr=c.macAddr, password="",
         strUpType="firmware")
    step("StartUpgrade", service.StartUpgrade)
    step("GetUpgradingAgent", service.GetUpgradingAgent)
    step("EndUpgrade", service.EndUpgrade)
    # A structure with only a few members set; the name is UTF-8 text.
    step("SetDeviceCfg", service.SetDeviceCfg, operate=0, switchInfo=switch_info(
        macAddr=c.macAddr, agentIpAddr=c.agentIpAddr, systemName=name, funBitmap0=c.funBitmap0))
    step("GetOperateResult", service.GetOperateResult)
    step("SetDeviceCfgEx", service.SetDeviceCfgEx, macAddr=c.macAddr, systemName=name,
         location=name, operate=0)
    step("SaveFile", service.SaveFile, filepath=save_file)
    step("SaveFileAs", service.SaveFileAs)
    step("LoadFile", service.LoadFile, filepath=save_file)
    # One-way: the server answers "202 Accepted" with no body, then ends.
    try:
        steps.append({"step": "GSoapClose", "returned": service.GSoapClose(nUserID=1) is None})
    except (zeep.exceptions.Error, requests.exceptions.RequestException) as e:
        steps.append({"step": "GSoapClose", "error": f"{type(e).__name__}: {e}"})
    print(json.dumps({"client": "zeep", "steps": steps}, ensure_ascii=False))
    return 0


def reason_of(detail) -> str:
    """A fault's reason: the text of the one element of its detail (zeep
    hands the detail over as an XML element)."""
    reason = detail.find(HALVEX + "reason") if detail is not None else None
    return (reason.text or "") if reason is not None else ""


def plain(value):
    """zeep's objects as JSON values: numbers stay numbers and texts texts
    (zeep reads an empty text element as None)."""
    value = serialize_object(value, dict)
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [plain(v) for v in value]
    return value


if __name__ == "__main__":
    sys.exit(main())
