// The Ferrolink SOAP service: the one source of the wire contract.
//
// soapcpp2 reads this header at build time and generates the marshalling
// code, the dispatcher, the namespace table and the sample request messages
// (auto/*.req.xml); describe_service.py makes the published Device.wsdl from
// it too, in the document/literal form that describes the same messages.
// Nothing generated is kept in git.
//
// Style: RPC with SOAP encoding, namespace "urn:Halvex" under the prefix
// "ns". Members are plain values (std::string, std::wstring, numbers,
// std::vector), so the serialiser never needs multi-reference href/id.
// std::vector members travel as runs of sibling elements named after the
// member, never as SOAP-ENC:Array.

//gsoap ns service name:      Device
//gsoap ns service style:     rpc
//gsoap ns service encoding:  encoded
//gsoap ns service namespace: urn:Halvex
//gsoap ns service location:  http://localhost:64567
//gsoap ns schema namespace:  urn:Halvex

#import "stlvector.h"

typedef std::string xsd__string;
typedef std::wstring xsd__wstring;

// One agent as the user interface sees it; 77 elements in wire order.
// systemName and location are wide text (decoded from UTF-8 by the runtime).
class ns__SwitchInfo {
 public:
  std::string productName;
  std::wstring systemName;
  std::wstring location;
  std::string systemTime;
  std::string controllerIPURL;
  unsigned short controlledByAC;
  std::string loginUser;
  std::string agentIpAddr;
  std::string agentNetmask;
  std::string agentGateway;
  std::string agentDNS1;
  std::string agentDNS2;
  std::string trapIpAddr;
  std::string newPasseord;
  std::string oldPassword;
  unsigned short dhcpMode;
  std::string fwVersion;
  unsigned short productType;
  unsigned short httpPort;
  unsigned int groupTimer;
  unsigned short lldpMode;
  std::string lldpAuthenkey;
  unsigned short snmpMode;
  unsigned short agentProtoVer;
  unsigned short agentFamilyType;
  unsigned short agentInterfaceVer;
  unsigned int upgradeDelayTime;
  unsigned int upgradeRebootTime;
  unsigned int upgradeEreaseFlashTime;
  unsigned short vlanID;
  unsigned int funBitmap0;
  unsigned int funBitmap1;
  unsigned int funBitmap2;
  unsigned int funBitmap3;
  std::string errString;
  std::string macAddr;
  int isLoaderMode;
  unsigned short wifiEnable;
  std::string wifiSSID;
  std::string wifiKey;
  std::string wifiBand;
  unsigned short wifiChannel;
  unsigned short wifiCurrentChannel;
  std::string wifiSecurity;
  std::string radiusIP;
  unsigned int radiusPort;
  std::string radiusSecret;
  std::string wifi80211Mode;
  unsigned short wifiVisible;
  std::string wifiSupportChannel;
  std::string wifiChannelWidth;
  unsigned short wifiSSIDIsolution;
  unsigned short wifiVlanID;
  std::string bandwidthControl;
  std::string rssiScanner;
  unsigned int txPowerLevel;
  unsigned short wifiEnable5G;
  std::string wifiSSID5G;
  std::string wifiKey5G;
  unsigned short wifiChannel5G;
  unsigned short wifiCurrentChannel5G;
  std::string wifiSecurity5G;
  std::string radiusIP5G;
  unsigned int radiusPort5G;
  std::string radiusSecret5G;
  std::string wifi80211Mode5G;
  unsigned short wifiVisible5G;
  std::string wifiSupportChannel5G;
  std::string wifiChannelWidth5G;
  unsigned short wifiSSIDIsolution5G;
  unsigned short wifiVlanID5G;
  std::string bandwidthControl5G;
  std::string rssiScanner5G;
  unsigned int txPowerLevel5G;
  std::string fwDomain;
  unsigned short wifiBandSteering;
  unsigned short wifiRoaming;
};

class ns__SwitchInfoList {
 public:
  int nErrorCode;
  int nSwitchNum;
  std::vector<ns__SwitchInfo> arrList;
};

class ns__TrapInfo {
 public:
  std::string time;
  std::string ip;
  std::string string;
  std::string location;
};

class ns__TrapList {
 public:
  int nErrorCode;
  int nTrapNum;
  std::vector<ns__TrapInfo> arrList;
};

class ns__MonitorInfo {
 public:
  ns__SwitchInfo monitorInfo;
  int isAlive;
  int recvFlag;
  std::string time;
};

class ns__MonitorList {
 public:
  int nErrorCode;
  int nMonitorNum;
  std::vector<ns__MonitorInfo> arrList;
};

class ns__UpgradeInfo {
 public:
  int isupgrading;
  int upgradeStatus;
  int fwFileSize;
  int transmitedSize;
  int failedCode;
  std::string time;
  ns__SwitchInfo agentInfo;
};

class ns__UpgradeAddr {
 public:
  std::string strMacAddr;
  std::string strIpAddr;
};

class ns__OperateInfo {
 public:
  ns__SwitchInfo agentInfo;
  int operate;
  int result;
};

class ns__OperateList {
 public:
  int nOperateNum;
  std::vector<ns__OperateInfo> arrList;
};

class ns__ReqXmlList {
 public:
  int nErrorCode;
  int nNum;
  std::vector<std::string> ReqXml;
};

// Response wrappers named after their operation.
struct ns__GetReqXmlFileResponse { std::string strXmlContent; };
struct ns__GetUtilityGroupIntervalResponse { unsigned int groupInterval; };
struct ns__GetRefreshTimeResponse { unsigned int monitorPollingInterval; };
struct ns__GetRefreshTimeExResponse { unsigned int monitorPollingInterval; };

// The 29 operations, in the order the dispatcher tries them.
int ns__GetSwitchInfoList(int monitorNum, ns__SwitchInfoList &result);
int ns__SetDiscoverToAgents(int nUserID, std::string strUserName, unsigned int &errorcode);
int ns__GetReqXmlList(ns__ReqXmlList &result);
int ns__GetReqXmlFile(std::string strXmlName, struct ns__GetReqXmlFileResponse &result);
int ns__SetUtilityGroupInterval(unsigned int groupInterval, unsigned int &errorcode);
int ns__GetUtilityGroupInterval(int nUserID, std::string strUserName,
                                struct ns__GetUtilityGroupIntervalResponse &result);
int ns__SetRefreshTime(unsigned int monitorPollingInterval, unsigned int &errorcode);
int ns__GetRefreshTime(int nUserID, std::string strUserName, struct ns__GetRefreshTimeResponse &result);
int ns__GetRefreshTimeEx(int nUserID, std::string strUserName,
                         struct ns__GetRefreshTimeExResponse &result);
int ns__SetTrapHwnd(int nUserID, std::string strUserName, unsigned int &errorcode);
int ns__GetTrapList(int nUserID, std::string strUserName, ns__TrapList &result);
int ns__AddMonitorAgent(std::string strIpAddress, std::string strMacAddr, unsigned int &errorcode);
int ns__DelMonitorAgent(std::string strIpAddress, unsigned int &errorcode);
int ns__GetMonitorStatus(int monitorNum, ns__MonitorList &result);
int ns__AddUpgradeAgent(std::vector<ns__SwitchInfo> vecSwitchInfo, unsigned int &errorcode);
int ns__SetFwFilePath(std::wstring strFwFilePath, std::wstring strUpType, std::wstring strEncryptKey,
                      int intFileSize, unsigned int &errorcode);
int ns__StartUpgrade(int nUserID, std::string strUserName, unsigned int &errorcode);
int ns__EndUpgrade(int nUserID, std::string strUserName, unsigned int &errorcode);
int ns__GetUpgradeStatus(std::string strMacAddr, ns__UpgradeInfo &result);
int ns__GetUpgradingAgent(int nUserID, std::string strUserName, ns__UpgradeAddr &result);
int ns__SetDeviceCfg(ns__SwitchInfo switchInfo, unsigned int operate, unsigned int &errorcode);
int ns__GetOperateResult(int nUserID, std::string strUserName, ns__OperateList &result);
int ns__EngineLayerStartup(int nUserID, std::string strUserName, unsigned int &errorcode);
int ns__SaveFile(std::wstring filepath, unsigned int &errorcode);
int ns__SaveFileAs(int nUserID, std::string username, unsigned int &errorcode);
int ns__LoadFile(std::wstring filepath, ns__MonitorList &result);
int ns__AddUpgradeAgentEx(std::string macAddr, std::string password, std::string strUpType,
                          std::string strEncryptKey, int intFileSize, unsigned int &errorcode);
int ns__SetDeviceCfgEx(
    std::wstring systemName, std::wstring location, std::string systemTime,
    std::string controllerIPURL, unsigned short controlledByAC, std::string loginUser,
    std::string agentIpAddr, std::string agentNetmask, std::string agentGateway,
    std::string agentDNS1, std::string agentDNS2, std::string trapIpAddr, std::string newPasseord,
    std::string oldPassword, unsigned short dhcpMode, unsigned int groupTimer,
    unsigned short snmpMode, std::string macAddr, unsigned short vlanID, unsigned short wifiEnable,
    std::string wifiSSID, std::string wifiKey, std::string wifiBand, unsigned short wifiChannel,
    unsigned short wifiCurrentChannel, std::string wifiSecurity, std::string radiusIP,
    unsigned int radiusPort, std::string radiusSecret, std::string wifi80211Mode,
    unsigned short wifiVisible, std::string wifiSupportChannel, std::string wifiChannelWidth,
    unsigned short wifiSSIDIsolution, unsigned short wifiVlanID, std::string bandwidthControl,
    std::string rssiScanner, unsigned int txPowerLevel, unsigned short wifiEnable5G,
    std::string wifiSSID5G, std::string wifiKey5G, unsigned short wifiChannel5G,
    unsigned short wifiCurrentChannel5G, std::string wifiSecurity5G, std::string radiusIP5G,
    unsigned int radiusPort5G, std::string radiusSecret5G, std::string wifi80211Mode5G,
    unsigned short wifiVisible5G, std::string wifiSupportChannel5G,
    std::string wifiChannelWidth5G, unsigned short wifiSSIDIsolution5G,
    unsigned short wifiVlanID5G, std::string bandwidthControl5G, std::string rssiScanner5G,
    unsigned int txPowerLevel5G, unsigned int operate, std::string fwDomain,
    unsigned short wifiBandSteering, unsigned short wifiRoaming, unsigned int &errorcode);
int ns__GSoapClose(int nUserID, std::string username, unsigned int &errorcode);
