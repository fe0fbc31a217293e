// A client of the Ferrolink service built the way an integrator would build
// one: wsdl2h reads the published Device.wsdl, soapcpp2 generates proxies
// from its output, and this program calls every operation through them.
//
//   device_client URL FW_FILE SAVE_FILE NAME
//
// It prints one JSON report on standard output: for each step the typed
// answer (a few members of each structure), the fault with its reason, or
// whether the one-way GSoapClose returned. The test that runs it judges the report; this program
// only calls and records. The scenario is the same for every client in the
// tests, so the three reports can be judged by one function.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "Device.nsmap"
#include "soapDevice12Proxy.h"
#include "soapDeviceProxy.h"

namespace {

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
      out += buffer;
    } else {
      out += c;  // UTF-8 passes through as it arrived
    }
  }
  return out + "\"";
}

// One JSON object built member by member; an absent optional member is null.
class Json {
 public:
  Json& Add(const char* name, const std::string& raw) {
    text_ += (text_.empty() ? "" : ",") + Quote(name) + ":" + raw;
    return *this;
  }
  template <typename Number>
  Json& Num(const char* name, const Number* value) {
    return Add(name, value ? std::to_string(*value) : "null");
  }
  Json& Str(const char* name, const std::string* value) {
    return Add(name, value ? Quote(*value) : "null");
  }
  std::string Done() const { return "{" + text_ + "}"; }

 private:
  std::string text_;
};

std::string SwitchInfoJson(const fl__SwitchInfo* info) {
  if (info == nullptr) return "null";
  return Json()
      .Str("productName", info->productName)
      .Str("systemName", info->systemName)
      .Str("location", info->location)
      .Str("agentIpAddr", info->agentIpAddr)
      .Str("macAddr", info->macAddr)
      .Num("productType", info->productType)
      .Num("httpPort", info->httpPort)
      .Num("groupTimer", info->groupTimer)
      .Num("funBitmap0", info->funBitmap0)
      .Num("isLoaderMode", info->isLoaderMode)
      .Done();
}

template <typename Item, typename Format>
std::string ListJson(const std::vector<Item>& items, Format format) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + format(items[i]);
  return out + "]";
}

// The values that requests point to (optional members are pointers); they
// live as long as the program.
class Values {
 public:
  std::string* Str(std::string value) { return &strings_.emplace_back(std::move(value)); }
  int* Int(int value) { return &ints_.emplace_back(value); }
  unsigned int* UInt(unsigned int value) { return &uints_.emplace_back(value); }

 private:
  std::deque<std::string> strings_;
  std::deque<int> ints_;
  std::deque<unsigned int> uints_;
};

// Replaces the five predefined entities of XML text by their characters.
std::string Unescape(std::string_view text) {
  static constexpr std::pair<std::string_view, char> kEntities[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& [entity, c] : kEntities) {
      if (text.substr(i, entity.size()) == entity) {
        out += c;
        i += entity.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

// A fault's reason: the text of the reason element in its detail. The
// description declares no fault types, so the generated code keeps the
// detail's content as literal XML ("<ns:reason>...</ns:reason>", in the
// server's prefix); this finds the element by its local name.
std::string ReasonOf(soap* ctx) {
  const char** detail = soap_faultdetail(ctx);
  if (detail == nullptr || *detail == nullptr) return "";
  const std::string_view xml = *detail;
  for (size_t open = xml.find('<'); open != std::string_view::npos;
       open = xml.find('<', open + 1)) {
    const size_t name_end = xml.find_first_of(" \t\r\n/>", open);
    if (name_end == std::string_view::npos) break;
    const std::string_view name = xml.substr(open + 1, name_end - open - 1);
    if (name != "reason" && (name.size() < 7 || name.substr(name.size() - 7) != ":reason"))
      continue;
    const size_t text = xml.find('>', name_end);
    const size_t end = xml.find("</", text);
    if (text == std::string_view::npos || end == std::string_view::npos) break;
    return Unescape(xml.substr(text + 1, end - text - 1));
  }
  return "";
}

// Records each step of the scenario as "ok" or "fault".
class Report {
 public:
  explicit Report(soap* ctx) : ctx_(ctx) {}

  // `answer` formats the answer; it is called only after the call returned.
  template <typename Answer>
  void Step(const std::string& step, int status, Answer answer) {
    std::string entry = "{\"step\":" + Quote(step);
    if (status == SOAP_OK) {
      entry += ",\"ok\":" + answer();
    } else {
      const char* code =
          soap_fault_subcode(ctx_) ? soap_fault_subcode(ctx_) : *soap_faultcode(ctx_);
      entry += ",\"fault\":" +
               Json()
                   .Add("code", Quote(code ? code : ""))
                   .Add("string", Quote(soap_fault_string(ctx_) ? soap_fault_string(ctx_) : ""))
                   .Add("reason", Quote(ReasonOf(ctx_)))
                   .Add("error", std::to_string(ctx_->error))
                   .Done();
    }
    steps_.push_back(entry + "}");
    // The answer is recorded: free what the call made and read.
    soap_destroy(ctx_);
    soap_end(ctx_);
  }

  void Raw(const std::string& entry) { steps_.push_back(entry); }

  std::string Done() const {
    return "{\"client\":\"gsoap\",\"steps\":" +
           ListJson(steps_, [](const std::string& s) { return s; }) + "}";
  }

 private:
  soap* ctx_;
  std::vector<std::string> steps_;
};

std::string ErrorcodeJson(const unsigned int* errorcode) {
  return Json().Num("errorcode", errorcode).Done();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s URL FW_FILE SAVE_FILE NAME\n", argv[0]);
    return 2;
  }
  const std::string url = argv[1], fwFile = argv[2], saveFile = argv[3], name = argv[4];
  DeviceProxy proxy(url.c_str(), SOAP_C_UTFSTRING);
  soap* ctx = proxy.soap;
  Report report(ctx);
  Values keep;
  const std::string user = "integrator";
  int one = 1;

  {
    _fl__EngineLayerStartup req;
    _fl__EngineLayerStartupResponse res;
    const int status = proxy.EngineLayerStartup(&req, res);
    report.Step("EngineLayerStartup", status, [&] { return ErrorcodeJson(res.errorcode); });
  }
  {
    _fl__SetDiscoverToAgents req;
    req.nUserID = &one;
    req.strUserName = keep.Str(user);
    _fl__SetDiscoverToAgentsResponse res;
    const int status = proxy.SetDiscoverToAgents(&req, res);
    report.Step("SetDiscoverToAgents", status, [&] { return ErrorcodeJson(res.errorcode); });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));  // the discovery window

  // The agents, sorted by MAC text, as plain values the later steps use.
  struct Agent {
    std::string ip, mac;
    unsigned int funBitmap0 = 0;
  };
  std::vector<Agent> agents;
  {
    _fl__GetSwitchInfoList req;
    int zero = 0;
    req.monitorNum = &zero;
    fl__SwitchInfoList res;
    const int status = proxy.GetSwitchInfoList(&req, res);
    for (const fl__SwitchInfo* info : res.arrList) {
      if (info && info->agentIpAddr && info->macAddr) {
        agents.push_back(
            {*info->agentIpAddr, *info->macAddr, info->funBitmap0 ? *info->funBitmap0 : 0});
      }
    }
    report.Step("GetSwitchInfoList", status, [&] {
      return Json()
          .Num("nErrorCode", res.nErrorCode)
          .Num("nSwitchNum", res.nSwitchNum)
          .Add("arrList", ListJson(res.arrList, SwitchInfoJson))
          .Done();
    });
  }
  std::sort(agents.begin(), agents.end(),
            [](const Agent& a, const Agent& b) { return a.mac < b.mac; });
  while (agents.size() < 3) agents.push_back({"0.0.0.0", "00-00-00-00-00-00", 0});
  const Agent &a = agents[0], &b = agents[1], &c = agents[2];

  for (const char* step : {"AddMonitorAgent", "AddMonitorAgent#again"}) {
    _fl__AddMonitorAgent req;
    req.strIpAddress = keep.Str(a.ip);
    req.strMacAddr = keep.Str(a.mac);
    _fl__AddMonitorAgentResponse res;
    const int status = proxy.AddMonitorAgent(&req, res);
    report.Step(step, status, [&] { return ErrorcodeJson(res.errorcode); });
  }
  {
    _fl__GetMonitorStatus req;
    req.monitorNum = &one;
    fl__MonitorList res;
    const int status = proxy.GetMonitorStatus(&req, res);
    report.Step("GetMonitorStatus", status, [&] {
      return Json()
          .Num("nErrorCode", res.nErrorCode)
          .Num("nMonitorNum", res.nMonitorNum)
          .Add("arrList", ListJson(res.arrList,
                                   [](const fl__MonitorInfo* m) {
                                     if (m == nullptr) return std::string("null");
                                     return Json()
                                         .Add("monitorInfo", SwitchInfoJson(m->monitorInfo))
                                         .Num("isAlive", m->isAlive)
                                         .Num("recvFlag", m->recvFlag)
                                         .Str("time", m->time)
                                         .Done();
                                   }))
          .Done();
    });
  }
  {
    _fl__GetSwitchInfoList req;
    int five = 5;
    req.monitorNum = &five;
    fl__SwitchInfoList res;
    const int status = proxy.GetSwitchInfoList(&req, res);
    report.Step("GetSwitchInfoList#toomany", status,
                [&] { return Json().Num("nSwitchNum", res.nSwitchNum).Done(); });
  }
  {
    // The same failure through the SOAP 1.2 binding.
    Device12Proxy proxy12(url.c_str(), SOAP_C_UTFSTRING);
    Report report12(proxy12.soap);
    _fl__GetSwitchInfoList req;
    int five = 5;
    req.monitorNum = &five;
    fl__SwitchInfoList res;
    const int status = proxy12.GetSwitchInfoList(&req, res);
    report12.Step("GetSwitchInfoList#soap12", status,
                  [&] { return Json().Num("nSwitchNum", res.nSwitchNum).Done(); });
    _fl__GetRefreshTime get;
    fl__GetRefreshTimeResponse got;
    report12.Step("GetRefreshTime#soap12", proxy12.GetRefreshTime(&get, got), [&] {
      return Json().Num("monitorPollingInterval", got.monitorPollingInterval).Done();
    });
    // Both steps, as recorded by the 1.2 proxy.
    const std::string steps = report12.Done();
    const size_t begin = steps.find('[') + 1, end = steps.rfind(']');
    report.Raw(steps.substr(begin, end - begin));
  }
  {
    _fl__DelMonitorAgent req;
    req.strIpAddress = keep.Str(a.ip);
    _fl__DelMonitorAgentResponse res;
    report.Step("DelMonitorAgent", proxy.DelMonitorAgent(&req, res),
                [&] { return ErrorcodeJson(res.errorcode); });
  }
  {
    _fl__SetUtilityGroupInterval req;
    unsigned int seconds = 125;
    req.groupInterval = &seconds;
    _fl__SetUtilityGroupIntervalResponse res;
    report.Step("SetUtilityGroupInterval", proxy.SetUtilityGroupInterval(&req, res),
                [&] { return ErrorcodeJson(res.errorcode); });
    _fl__GetUtilityGroupInterval get;
    fl__GetUtilityGroupIntervalResponse got;
    report.Step("GetUtilityGroupInterval", proxy.GetUtilityGroupInterval(&get, got),
                [&] { return Json().Num("groupInterval", got.groupInterval).Done(); });
  }
  {
    _fl__SetRefreshTime req;
    unsigned int seconds = 30;
    req.monitorPollingInterval = &seconds;
    _fl__SetRefreshTimeResponse res;
    report.Step("SetRefreshTime", proxy.SetRefreshTime(&req, res),
                [&] { return ErrorcodeJson(res.errorcode); });
    _fl__GetRefreshTime get;
    fl__GetRefreshTimeResponse got;
    report.Step("GetRefreshTime", proxy.GetRefreshTime(&get, got), [&] {
      return Json().Num("monitorPollingInterval", got.monitorPollingInterval).Done();
    });
    _fl__GetRefreshTimeEx getEx;
    fl__GetRefreshTimeExResponse gotEx;
    report.Step("GetRefreshTimeEx", proxy.GetRefreshTimeEx(&getEx, gotEx), [&] {
      return Json().Num("monitorPollingInterval", gotEx.monitorPollingInterval).Done();
    });
  }
  {
    _fl__SetTrapHwnd req;
    _fl__SetTrapHwndResponse res;
    report.Step("SetTrapHwnd", proxy.SetTrapHwnd(&req, res),
                [&] { return ErrorcodeJson(res.errorcode); });
    _fl__GetTrapList get;
    fl__TrapList got;
    const int status = proxy.GetTrapList(&get, got);
    report.Step("GetTrapList", status, [&] {
      return Json()
          .Num("nErrorCode", got.nErrorCode)
          .Num("nTrapNum", got.nTrapNum)
          .Add("arrList", ListJson(got.arrList,
                                   [](const fl__TrapInfo* t) {
                                     if (t == nullptr) return std::string("null");
                                     return Json()
                                         .Str("time", t->time)
                                         .Str("ip", t->ip)
                                         .Str("string", t->string)
                                         .Done();
                                   }))
          .Done();
    });
  }
  std::string sampleName = "Device.GetRefreshTime.req.xml";
  {
    _fl__GetReqXmlList req;
    fl__ReqXmlList res;
    const int status = proxy.GetReqXmlList(&req, res);
    if (status == SOAP_OK && !res.ReqXml.empty()) sampleName = res.ReqXml.front();
    report.Step("GetReqXmlList", status, [&] {
      return Json()
          .Num("nErrorCode", res.nErrorCode)
          .Num("nNum", res.nNum)
          .Add("ReqXml", ListJson(res.ReqXml, Quote))
          .Done();
    });
  }
  {
    _fl__GetReqXmlFile req;
    req.strXmlName = keep.Str(sampleName);
    fl__GetReqXmlFileResponse res;
    report.Step("GetReqXmlFile", proxy.GetReqXmlFile(&req, res),
                [&] { return Json().Str("strXmlContent", res.strXmlContent).Done(); });
  }
  {
    std::FILE* f = std::fopen(fwFile.c_str(), "rb");
    int size = 0;
    if (f) {
      std::fseek(f, 0, SEEK_END);
      size = static_cast<int>(std::ftell(f));
      std::fclose(f);
    }
    _fl__SetFwFilePath req;
    req.strFwFilePath = keep.Str(fwFile);
    req.strUpType = keep.Str("firmware");
    req.strEncryptKey = keep.Str("");
    req.intFileSize = keep.Int(size);
    _fl__SetFwFilePathResponse res;
    report.Step("SetFwFilePath", proxy.SetFwFilePath(&req, res),
                [&] { return ErrorcodeJson(res.errorcode); });
  }
  {
    // Two agents with only their address and MAC set.
    _fl__AddUpgradeAgent req;
    for (const Agent* agent : {&a, &b}) {
      fl__SwitchInfo* info = soap_new_fl__SwitchInfo(ctx);
      info->macAddr = keep.Str(agent->mac);
      info->agentIpAddr = keep.Str(agent->ip);
      req.vecSwitchInfo.push_back(info);
    }
    _fl__AddUpgradeAgentResponse res;
    report.Step("AddUpgradeAgent", proxy.AddUpgradeAgent(&req, res),
                [&] { return ErrorcodeJson(res.errorcode); });
  }
  {
    _fl__GetUpgradeStatus req;
    req.strMacAddr = keep.Str(a.mac);
    fl__UpgradeInfo res;
    const int status = proxy.GetUpgradeStatus(&req, res);
    report.Step("GetUpgradeStatus", status, [&] {
      return Json()
          .Num("isupgrading", res.isupgrading)
          .Num("upgradeStatus", res.upgradeStatus)
          .Num("fwFileSize", res.fwFileSize)
          .Str("time", res.time)
          .Add("agentInfo", SwitchInfoJson(res.agentInfo))
          .Done();
    });
  }
  {
    _fl__AddUpgradeAgentEx req;
    req.macAddr = keep.Str(c.mac);
    req.password = keep.Str("");
    req.strUpType = keep.Str("firmware");
    _fl__AddUpgradeAgentExResponse res;
    report.Step("AddUpgradeAgentEx", proxy.AddUpgradeAgentEx(&req, res),
                [&] { return ErrorcodeJson(res.errorcode); });
  }
  {
    _fl__StartUpgrade req;
    _fl__StartUpgradeResponse res;
    report.Step("StartUpgrade", proxy.StartUpgrade(&req, res),
                [&] { return ErrorcodeJson(res.errorcode); });
    _fl__GetUpgradingAgent get;
    fl__UpgradeAddr got;
    report.Step("GetUpgradingAgent", proxy.GetUpgradingAgent(&get, got), [&] {
      return Json().Str("strMacAddr", got.strMacAddr).Str("strIpAddr", got.strIpAddr).Done();
    });
    _fl__EndUpgrade end;
    _fl__EndUpgradeResponse ended;
    report.Step("EndUpgrade", proxy.EndUpgrade(&end, ended),
                [&] { return ErrorcodeJson(ended.errorcode); });
  }
  {
    // A structure with only a few members set; the name is UTF-8 text.
    _fl__SetDeviceCfg req;
    req.switchInfo = soap_new_fl__SwitchInfo(ctx);
    req.switchInfo->macAddr = keep.Str(c.mac);
    req.switchInfo->agentIpAddr = keep.Str(c.ip);
    req.switchInfo->systemName = keep.Str(name);
    req.switchInfo->funBitmap0 = keep.UInt(c.funBitmap0);
    unsigned int operate = 0;
    req.operate = &operate;
    _fl__SetDeviceCfgResponse res;
    report.Step("SetDeviceCfg", proxy.SetDeviceCfg(&req, res),
                [&] { return ErrorcodeJson(res.errorcode); });
    _fl__GetOperateResult get;
    fl__OperateList got;
    const int status = proxy.GetOperateResult(&get, got);
    report.Step("GetOperateResult", status, [&] {
      return Json()
          .Num("nOperateNum", got.nOperateNum)
          .Add("arrList", ListJson(got.arrList,
                                   [](const fl__OperateInfo* o) {
                                     if (o == nullptr) return std::string("null");
                                     return Json()
                                         .Add("agentInfo", SwitchInfoJson(o->agentInfo))
                                         .Num("operate", o->operate)
                                         .Num("result", o->result)
                                         .Done();
                                   }))
          .Done();
    });
  }
  {
    _fl__SetDeviceCfgEx req;
    req.macAddr = keep.Str(c.mac);
    req.systemName = keep.Str(name);
    req.location = keep.Str(name);
    unsigned int operate = 0;
    req.operate = &operate;
    _fl__SetDeviceCfgExResponse res;
    report.Step("SetDeviceCfgEx", proxy.SetDeviceCfgEx(&req, res),
                [&] { return ErrorcodeJson(res.errorcode); });
  }
  {
    _fl__SaveFile req;
    req.filepath = keep.Str(saveFile);
    _fl__SaveFileResponse res;
    report.Step("SaveFile", proxy.SaveFile(&req, res),
                [&] { return ErrorcodeJson(res.errorcode); });
    _fl__SaveFileAs as;
    _fl__SaveFileAsResponse asRes;
    report.Step("SaveFileAs", proxy.SaveFileAs(&as, asRes),
                [&] { return ErrorcodeJson(asRes.errorcode); });
    _fl__LoadFile load;
    load.filepath = keep.Str(saveFile);
    fl__MonitorList loaded;
    const int status = proxy.LoadFile(&load, loaded);
    report.Step("LoadFile", status, [&] {
      return Json()
          .Num("nErrorCode", loaded.nErrorCode)
          .Num("nMonitorNum", loaded.nMonitorNum)
          .Done();
    });
  }
  {
    // One-way: the call returns once the server has accepted the request
    // (HTTP 202 with no body); the server then ends.
    _fl__GSoapClose req;
    req.nUserID = &one;
    const int status = proxy.GSoapClose(&req);
    report.Raw(status == SOAP_OK
                   ? std::string("{\"step\":\"GSoapClose\",\"returned\":true}")
                   : "{\"step\":\"GSoapClose\",\"error\":" + std::to_string(status) + "}");
  }
  std::printf("%s\n", report.Done().c_str());
  return 0;
}
