// Operations whose engine work is built in later steps. Each one accepts its
// request fully parsed and answers success with the response's defaults
// (0, empty text, empty lists).

#include "soapH.h"

int ns__AddUpgradeAgent(struct soap*, std::vector<ns__SwitchInfo>, unsigned int&) {
  return SOAP_OK;
}

int ns__SetFwFilePath(struct soap*, std::wstring, std::wstring, std::wstring, int, unsigned int&) {
  return SOAP_OK;
}

int ns__StartUpgrade(struct soap*, int, std::string, unsigned int&) { return SOAP_OK; }

int ns__EndUpgrade(struct soap*, int, std::string, unsigned int&) { return SOAP_OK; }

int ns__GetUpgradeStatus(struct soap*, std::string, ns__UpgradeInfo&) { return SOAP_OK; }

int ns__GetUpgradingAgent(struct soap*, int, std::string, ns__UpgradeAddr&) { return SOAP_OK; }

int ns__AddUpgradeAgentEx(struct soap*, std::string, std::string, std::string, std::string, int,
                          unsigned int&) {
  return SOAP_OK;
}
