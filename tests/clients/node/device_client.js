// A client of the Ferrolink service as an integrator writes one with the
// npm package "soap": the description is fetched from the server, every
// operation is called through it, and a JSON report of what came back is
// printed.
//
//   node device_client.js URL FW_FILE SAVE_FILE NAME
//
// The scenario matches the other clients' in the tests, so one function
// judges all three reports.
'use strict';

const fs = require('fs');
const path = require('path');
const soap = require(path.join(__dirname, 'node_modules', 'soap'));

async function main() {
  const [url, fwFile, saveFile, name] = process.argv.slice(2);
  // The package turns xsd:int into numbers but leaves the unsigned types as
  // text; these deserializers make them numbers too.
  const toNumber = (text) => Number(text);
  const client = await soap.createClientAsync(url.replace(/\/$/, '') + '/Device.wsdl', {
    customDeserializer: { unsignedInt: toNumber, unsignedShort: toNumber },
  });
  client.setEndpoint(url);
  const steps = [];

  async function step(stepName, operation, args) {
    try {
      const [answer] = await client[operation + 'Async'](args);
      steps.push({ step: stepName, ok: answer });
      return answer;
    } catch (e) {
      const fault = e.root && e.root.Envelope && e.root.Envelope.Body && e.root.Envelope.Body.Fault;
      if (!fault) throw e;
      // The package hands the detail over as an object of its elements.
      const reason = fault.detail && typeof fault.detail.reason === 'string' ? fault.detail.reason : '';
      steps.push({ step: stepName, fault: { code: fault.faultcode, string: fault.faultstring, reason } });
      return null;
    }
  }

  await step('EngineLayerStartup', 'EngineLayerStartup', {});
  await step('SetDiscoverToAgents', 'SetDiscoverToAgents', { nUserID: 1, strUserName: 'integrator' });
  await new Promise((resolve) => setTimeout(resolve, 3500)); // the discovery window
  const listed = await step('GetSwitchInfoList', 'GetSwitchInfoList', { monitorNum: 0 });
  const agents = [...((listed && listed.arrList) || [])].sort((x, y) => (x.macAddr < y.macAddr ? -1 : 1));
  while (agents.length < 3) agents.push({ agentIpAddr: '0.0.0.0', macAddr: '00-00-00-00-00-00' });
  const [a, b, c] = agents;

  await step('AddMonitorAgent', 'AddMonitorAgent', { strIpAddress: a.agentIpAddr, strMacAddr: a.macAddr });
  await step('AddMonitorAgent#again', 'AddMonitorAgent', { strIpAddress: a.agentIpAddr, strMacAddr: a.macAddr });
  await step('GetMonitorStatus', 'GetMonitorStatus', { monitorNum: 1 });
  await step('GetSwitchInfoList#toomany', 'GetSwitchInfoList', { monitorNum: 5 });
  await step('DelMonitorAgent', 'DelMonitorAgent', { strIpAddress: a.agentIpAddr });
  await step('SetUtilityGroupInterval', 'SetUtilityGroupInterval', { groupInterval: 125 });
  await step('GetUtilityGroupInterval', 'GetUtilityGroupInterval', {});
  await step('SetRefreshTime', 'SetRefreshTime', { monitorPollingInterval: 30 });
  await step('GetRefreshTime', 'GetRefreshTime', { nUserID: 1 });
  await step('GetRefreshTimeEx', 'GetRefreshTimeEx', {});
  await step('SetTrapHwnd', 'SetTrapHwnd', {});
  await step('GetTrapList', 'GetTrapList', {});
  const names = await step('GetReqXmlList', 'GetReqXmlList', {});
  const sample = names && names.ReqXml ? [].concat(names.ReqXml)[0] : 'Device.GetRefreshTime.req.xml';
  await step('GetReqXmlFile', 'GetReqXmlFile', { strXmlName: sample });
  const size = fs.statSync(fwFile).size;
  await step('SetFwFilePath', 'SetFwFilePath', {
    strFwFilePath: fwFile, strUpType: 'firmware', strEncryptKey: '', intFileSize: size,
  });
  // Two agents with only their address and MAC set.
  await step('AddUpgradeAgent', 'AddUpgradeAgent', {
    vecSwitchInfo: [a, b].map((x) => ({ agentIpAddr: x.agentIpAddr, macAddr: x.macAddr })),
  });
  await step('GetUpgradeStatus', 'GetUpgradeStatus', { strMacAddr: a.macAddr });
  await step('AddUpgradeAgentEx', 'AddUpgradeAgentEx', { macAddr: c.macAddr, password: '', strUpType: 'firmware' });
  await step('StartUpgrade', 'StartUpgrade', {});
  await step('GetUpgradingAgent', 'GetUpgradingAgent', {});
  await step('EndUpgrade', 'EndUpgrade', {});
  // A structure with only a few members set (in schema order); the name is
  // UTF-8 text.
  await step('SetDeviceCfg', 'SetDeviceCfg', {
    switchInfo: { systemName: name, agentIpAddr: c.agentIpAddr, funBitmap0: c.funBitmap0, macAddr: c.macAddr },
    operate: 0,
  });
  await step('GetOperateResult', 'GetOperateResult', {});
  await step('SetDeviceCfgEx', 'SetDeviceCfgEx', { systemName: name, location: name, macAddr: c.macAddr, operate: 0 });
  await step('SaveFile', 'SaveFile', { filepath: saveFile });
  await step('SaveFileAs', 'SaveFileAs', {});
  await step('LoadFile', 'LoadFile', { filepath: saveFile });
  // One-way: the server answers "202 Accepted" with no body, then ends.
  try {
    await client.GSoapCloseAsync({ nUserID: 1 });
    steps.push({ step: 'GSoapClose', returned: true });
  } catch (e) {
    steps.push({ step: 'GSoapClose', error: e.message });
  }
  process.stdout.write(JSON.stringify({ client: 'node-soap', steps }) + '\n');
}

main().catch((e) => {
  process.stderr.write(`device_client: ${e.stack || e}\n`);
  process.exit(1);
});
