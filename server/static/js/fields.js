// What the service's agent description holds, which settings an agent says
// it supports, and the words for the service's numeric codes.
(function () {
  "use strict";
  // The agent description's elements in their wire order; ":n" marks numbers.
  var SWITCH_INFO = ("productName systemName location systemTime controllerIPURL controlledByAC:n loginUser " +
    "agentIpAddr agentNetmask agentGateway agentDNS1 agentDNS2 trapIpAddr newPasseord oldPassword dhcpMode:n " +
    "fwVersion productType:n httpPort:n groupTimer:n lldpMode:n lldpAuthenkey snmpMode:n agentProtoVer:n " +
    "agentFamilyType:n agentInterfaceVer:n upgradeDelayTime:n upgradeRebootTime:n upgradeEreaseFlashTime:n " +
    "vlanID:n funBitmap0:n funBitmap1:n funBitmap2:n funBitmap3:n errString macAddr isLoaderMode:n wifiEnable:n " +
    "wifiSSID wifiKey wifiBand wifiChannel:n wifiCurrentChannel:n wifiSecurity radiusIP radiusPort:n radiusSecret " +
    "wifi80211Mode wifiVisible:n wifiSupportChannel wifiChannelWidth wifiSSIDIsolution:n wifiVlanID:n " +
    "bandwidthControl rssiScanner txPowerLevel:n wifiEnable5G:n wifiSSID5G wifiKey5G wifiChannel5G:n " +
    "wifiCurrentChannel5G:n wifiSecurity5G radiusIP5G radiusPort5G:n radiusSecret5G wifi80211Mode5G " +
    "wifiVisible5G:n wifiSupportChannel5G wifiChannelWidth5G wifiSSIDIsolution5G:n wifiVlanID5G:n " +
    "bandwidthControl5G rssiScanner5G txPowerLevel5G:n fwDomain wifiBandSteering:n wifiRoaming:n").split(" ")
    .map(function (s) { var p = s.split(":"); return { name: p[0], num: p[1] === "n" }; });

  var NUMERIC = {};
  SWITCH_INFO.forEach(function (f) { if (f.num) NUMERIC[f.name] = true; });

  // The settings SetDeviceCfgEx takes, in its parameter order ("operate" is
  // placed by the caller between txPowerLevel5G and fwDomain).
  var CFG_EX = ("systemName location systemTime controllerIPURL controlledByAC loginUser agentIpAddr agentNetmask " +
    "agentGateway agentDNS1 agentDNS2 trapIpAddr newPasseord oldPassword dhcpMode groupTimer snmpMode macAddr " +
    "vlanID wifiEnable wifiSSID wifiKey wifiBand wifiChannel wifiCurrentChannel wifiSecurity radiusIP radiusPort " +
    "radiusSecret wifi80211Mode wifiVisible wifiSupportChannel wifiChannelWidth wifiSSIDIsolution wifiVlanID " +
    "bandwidthControl rssiScanner txPowerLevel wifiEnable5G wifiSSID5G wifiKey5G wifiChannel5G " +
    "wifiCurrentChannel5G wifiSecurity5G radiusIP5G radiusPort5G radiusSecret5G wifi80211Mode5G wifiVisible5G " +
    "wifiSupportChannel5G wifiChannelWidth5G wifiSSIDIsolution5G wifiVlanID5G bandwidthControl5G rssiScanner5G " +
    "txPowerLevel5G").split(" ");
  var CFG_EX_TAIL = ["fwDomain", "wifiBandSteering", "wifiRoaming"];

  // Reads one agent description element into a plain object.
  function parseSwitchInfo(el) {
    var info = {};
    for (var i = 0; i < SWITCH_INFO.length; i++) info[SWITCH_INFO[i].name] = SWITCH_INFO[i].num ? 0 : "";
    for (var c = el && el.firstChild; c; c = c.nextSibling) {
      if (c.nodeType !== 1) continue;
      var name = c.localName;
      if (!(name in info)) continue;
      if (NUMERIC[name]) {
        var v = Number(c.textContent);
        info[name] = isFinite(v) ? v : 0;
      } else {
        info[name] = c.textContent;
      }
    }
    return info;
  }

  // The same from parseTree's plain object.
  function switchInfoFromTree(o) {
    var info = {};
    o = o && typeof o === "object" ? o : {};
    for (var i = 0; i < SWITCH_INFO.length; i++) {
      var f = SWITCH_INFO[i], v = o[f.name];
      if (f.num) {
        var n = typeof v === "string" ? Number(v) : 0;
        info[f.name] = isFinite(n) ? n : 0;
      } else {
        info[f.name] = typeof v === "string" ? v : "";
      }
    }
    return info;
  }

  // The agent description as request parameters, every element in order.
  function switchInfoParams(info) {
    var out = {};
    SWITCH_INFO.forEach(function (f) { out[f.name] = info[f.name] === undefined ? (f.num ? 0 : "") : info[f.name]; });
    return out;
  }

  function cfgExParams(info, operate) {
    var out = {};
    CFG_EX.forEach(function (n) { out[n] = info[n]; });
    out.operate = operate;
    CFG_EX_TAIL.forEach(function (n) { out[n] = info[n]; });
    return out;
  }

  // Whether the agent announced support for one setting: word w, bit b.
  function supports(info, word, bit) {
    return ((info["funBitmap" + word] >>> bit) & 1) === 1;
  }

  // The form: each setting with the bitmap bit that makes it changeable.
  // kind: text (max bytes), ip, num (min, max), onoff, mode (0/1/2 choices).
  var SETTINGS = [
    { group: "General" },
    { name: "systemName", label: "Name", kind: "text", max: 20, w: 0, b: 1 },
    { name: "location", label: "Location", kind: "text", max: 20, w: 0, b: 2 },
    { name: "systemTime", label: "System time", kind: "text", max: 10, w: 1, b: 2 },
    { group: "Network" },
    { name: "dhcpMode", label: "Address", kind: "choice", choices: [[0, "Fixed"], [1, "From DHCP"]], w: 0, b: 9 },
    { name: "agentIpAddr", label: "IP address", kind: "ip", w: 0, b: 3, fixedOnly: true },
    { name: "agentNetmask", label: "Netmask", kind: "ip", w: 0, b: 4, fixedOnly: true },
    { name: "agentGateway", label: "Gateway", kind: "ip", w: 0, b: 5, fixedOnly: true },
    { name: "agentDNS1", label: "DNS 1", kind: "ip", w: 0, b: 2 },
    { name: "agentDNS2", label: "DNS 2", kind: "ip", w: 0, b: 2 },
    { name: "trapIpAddr", label: "Trap address", kind: "ip", w: 0, b: 6 },
    { name: "vlanID", label: "Management VLAN", kind: "num", min: 1, max: 4094, w: 1, b: 2 },
    { group: "Management" },
    { name: "groupTimer", label: "Group timer", kind: "num", min: 0, max: 4294967294, w: 0, b: 21 },
    { name: "lldpMode", label: "LLDP", kind: "choice", choices: [[0, "Off"], [1, "On"]], w: 0, b: 23 },
    { name: "lldpAuthenkey", label: "LLDP key", kind: "text", max: 21, w: 0, b: 24 },
    { name: "snmpMode", label: "SNMP", kind: "choice", choices: [[0, "Off"], [1, "On"]], w: 0, b: 25 },
    { name: "controllerIPURL", label: "Controller", kind: "text", max: 129, w: 2, b: 1 },
    { name: "controlledByAC", label: "Controlled by AC", kind: "choice", choices: [[0, "No"], [1, "Yes"]], w: 2, b: 1 },
    { name: "loginUser", label: "Login user", kind: "text", max: 17, w: 2, b: 1 },
    { group: "Wireless", w: 1, b: 1 },
    { name: "wifiBand", label: "Band", kind: "text", max: 16, w: 1, b: 7 },
    { name: "wifiBandSteering", label: "Band steering", kind: "choice", choices: [[0, "Off"], [1, "On"]], w: 1, b: 2 },
    { name: "wifiRoaming", label: "Roaming", kind: "choice", choices: [[0, "Off"], [1, "On"]], w: 1, b: 10 },
    { name: "fwDomain", label: "Region", kind: "text", max: 4, w: 1, b: 2 },
    { group: "Radio 2.4 GHz", w: 1, b: 1 },
    { name: "wifiEnable", label: "Radio", kind: "choice", choices: [[0, "Off"], [1, "On"]], w: 1, b: 1 },
    { name: "wifiSSID", label: "SSID", kind: "text", max: 32, w: 1, b: 2 },
    { name: "wifiSecurity", label: "Security", kind: "text", max: 35, w: 1, b: 3 },
    { name: "wifiKey", label: "Key", kind: "text", max: 64, w: 1, b: 8, secret: true },
    { name: "wifiChannel", label: "Channel", kind: "num", min: 0, max: 255, w: 1, b: 4 },
    { name: "wifi80211Mode", label: "802.11 mode", kind: "text", max: 17, w: 1, b: 5 },
    { name: "wifiChannelWidth", label: "Channel width", kind: "text", max: 8, w: 1, b: 2 },
    { name: "wifiVisible", label: "SSID visible", kind: "choice", choices: [[0, "No"], [1, "Yes"]], w: 1, b: 6 },
    { name: "wifiSSIDIsolution", label: "Client isolation", kind: "choice", choices: [[0, "Off"], [1, "On"]], w: 1, b: 2 },
    { name: "wifiVlanID", label: "VLAN", kind: "num", min: 0, max: 4094, w: 1, b: 2 },
    { name: "radiusIP", label: "RADIUS server", kind: "ip", w: 0, b: 2, wireless: true },
    { name: "radiusPort", label: "RADIUS port", kind: "num", min: 0, max: 65535, w: 1, b: 2 },
    { name: "radiusSecret", label: "RADIUS secret", kind: "text", max: 65, w: 1, b: 2, secret: true },
    { name: "txPowerLevel", label: "Transmit power", kind: "num", min: 0, max: 255, w: 1, b: 9 },
    { name: "bandwidthControl", label: "Bandwidth control", kind: "text", max: 27, w: 1, b: 9 },
    { name: "rssiScanner", label: "RSSI scanner", kind: "text", max: 11, w: 1, b: 9 },
    { group: "Radio 5 GHz", w: 1, b: 1 },
    { name: "wifiEnable5G", label: "Radio", kind: "choice", choices: [[0, "Off"], [1, "On"]], w: 1, b: 1 },
    { name: "wifiSSID5G", label: "SSID", kind: "text", max: 32, w: 1, b: 2 },
    { name: "wifiSecurity5G", label: "Security", kind: "text", max: 33, w: 1, b: 3 },
    { name: "wifiKey5G", label: "Key", kind: "text", max: 64, w: 1, b: 8, secret: true },
    { name: "wifiChannel5G", label: "Channel", kind: "num", min: 0, max: 255, w: 1, b: 4 },
    { name: "wifi80211Mode5G", label: "802.11 mode", kind: "text", max: 17, w: 1, b: 5 },
    { name: "wifiChannelWidth5G", label: "Channel width", kind: "text", max: 8, w: 1, b: 2 },
    { name: "wifiVisible5G", label: "SSID visible", kind: "choice", choices: [[0, "No"], [1, "Yes"]], w: 1, b: 6 },
    { name: "wifiSSIDIsolution5G", label: "Client isolation", kind: "choice", choices: [[0, "Off"], [1, "On"]], w: 1, b: 2 },
    { name: "wifiVlanID5G", label: "VLAN", kind: "num", min: 0, max: 4094, w: 1, b: 2 },
    { name: "radiusIP5G", label: "RADIUS server", kind: "ip", w: 0, b: 2, wireless: true },
    { name: "radiusPort5G", label: "RADIUS port", kind: "num", min: 0, max: 65535, w: 1, b: 2 },
    { name: "radiusSecret5G", label: "RADIUS secret", kind: "text", max: 65, w: 1, b: 2, secret: true },
    { name: "txPowerLevel5G", label: "Transmit power", kind: "num", min: 0, max: 255, w: 1, b: 9 },
    { name: "bandwidthControl5G", label: "Bandwidth control", kind: "text", max: 27, w: 1, b: 9 },
    { name: "rssiScanner5G", label: "RSSI scanner", kind: "text", max: 11, w: 1, b: 9 }
  ];
  // A wireless device announces its radios in word 1 bit 1; the RADIUS
  // servers share word 0 bit 2 with the location and are only shown there.
  function settingShown(info, s) {
    if (!supports(info, s.w, s.b)) return false;
    if (s.wireless && !supports(info, 1, 1)) return false;
    return true;
  }

  function utf8Length(text) {
    return unescape(encodeURIComponent(text)).length;
  }

  function isIp(text) {
    var m = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(text);
    if (!m) return false;
    for (var i = 1; i <= 4; i++) if (+m[i] > 255) return false;
    return true;
  }

  function ipNumber(text) {
    var p = String(text).split(".");
    if (p.length !== 4) return 0;
    return ((+p[0] * 256 + +p[1]) * 256 + +p[2]) * 256 + +p[3];
  }

  // Checks one form value; returns an error text or "".
  function validate(s, value) {
    if (s.kind === "text") {
      if (utf8Length(value) > s.max) return "at most " + s.max + " bytes";
    } else if (s.kind === "ip") {
      if (!isIp(value)) return "an address like 192.168.1.10";
    } else if (s.kind === "num") {
      if (!/^\d+$/.test(value)) return "a whole number";
      var n = Number(value);
      if (n < s.min || n > s.max) return "between " + s.min + " and " + s.max;
    }
    return "";
  }

  var UPLOAD_STATES = {
    0: "Queued", 1: "Asking the device", 2: "Starting transfer", 3: "Device erasing flash", 4: "Sending",
    5: "Last block sent", 6: "Device restarting", 7: "Looking for the device", 9: "Done", 10: "Failed"
  };
  var UPLOAD_FAILURES = {
    1: "the file could not be opened, or disappeared during the transfer",
    2: "the file could not be read (seek failed)",
    3: "the device did not answer the upgrade request",
    4: "the device refused the upgrade",
    5: "the device did not acknowledge the start of the transfer",
    6: "the size of the file could not be measured",
    7: "the device stopped acknowledging during the transfer",
    8: "the device was not found again after restarting",
    9: "the device reported a transfer error",
    10: "the device refused the file (result 10)"
  };
  var OPERATIONS = { 0: "Apply settings", 1: "Change password", 2: "Apply settings", 3: "Restore defaults" };

  FV.fields = {
    SWITCH_INFO: SWITCH_INFO, SETTINGS: SETTINGS, parseSwitchInfo: parseSwitchInfo, switchInfoFromTree: switchInfoFromTree,
    switchInfoParams: switchInfoParams, cfgExParams: cfgExParams, supports: supports, settingShown: settingShown,
    validate: validate, isIp: isIp, ipNumber: ipNumber, utf8Length: utf8Length,
    UPLOAD_STATES: UPLOAD_STATES, UPLOAD_FAILURES: UPLOAD_FAILURES, OPERATIONS: OPERATIONS
  };
})();
