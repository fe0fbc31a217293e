// A bare SOAP server built from the same service header as Ferrolink, used
// by soap_bench.py as the anchor its figures are divided by. It does only
// what the runtime itself does: no front, no engine, no conversion.
//
//   soap_anchor PORT DIST_DIR SOURCE_URL
//
// At start it fetches the agent list and the refresh time from the server at
// SOURCE_URL (so that it answers GetSwitchInfoList with the very same
// agents), then serves on 127.0.0.1:PORT one request per connection:
//   GetRefreshTime     the fetched value
//   GetSwitchInfoList  a copy of the fetched list
//   GET                jquery.js / Device.wsdl from DIST_DIR, by the runtime's
//                      plain file serving (chunks of the file, no framing)
// Every other operation answers "no method". Runs until killed; never
// installed (the benchmark builds it in a temporary folder).

#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "soapH.h"

namespace {

std::string dist_dir;
ns__SwitchInfoList fetched_list;
unsigned int fetched_refresh = 0;

void InitContext(struct soap* soap) {
  soap_init(soap);
  soap_set_mode(soap, SOAP_C_UTFSTRING);
  soap->bind_flags = SO_REUSEADDR;
  soap->socket_flags = MSG_NOSIGNAL;
}

int ServeFile(struct soap* soap) {
  const char* suffix = nullptr;
  if (std::strstr(soap->path, "jquery.js") != nullptr) suffix = "/tools/js_client/jquery.js";
  if (std::strstr(soap->path, "Device.wsdl") != nullptr) suffix = "/auto/Device.wsdl";
  if (suffix == nullptr) return 404;
  FILE* file = std::fopen((dist_dir + suffix).c_str(), "rb");
  if (file == nullptr) return 404;
  soap->http_content = "text/html";
  if (soap_response(soap, SOAP_FILE) == SOAP_OK) {
    for (;;) {
      const size_t n = std::fread(soap->tmpbuf, 1, sizeof soap->tmpbuf, file);
      if (n == 0 || soap_send_raw(soap, soap->tmpbuf, n) != SOAP_OK) break;
    }
    soap_end_send(soap);
  }
  std::fclose(file);
  return SOAP_OK;
}

}  // namespace

int ns__GetRefreshTime(struct soap*, int, std::string, ns__GetRefreshTimeResponse& result) {
  result.monitorPollingInterval = fetched_refresh;
  return SOAP_OK;
}

int ns__GetSwitchInfoList(struct soap*, int, ns__SwitchInfoList& result) {
  result = fetched_list;
  return SOAP_OK;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s PORT DIST_DIR SOURCE_URL\n", argv[0]);
    return 2;
  }
  dist_dir = argv[2];
  struct soap client;
  InitContext(&client);
  ns__GetRefreshTimeResponse refresh;
  if (soap_call_ns__GetRefreshTime(&client, argv[3], nullptr, 0, "", refresh) != SOAP_OK ||
      soap_call_ns__GetSwitchInfoList(&client, argv[3], nullptr, 0, fetched_list) != SOAP_OK) {
    soap_print_fault(&client, stderr);
    return 1;
  }
  fetched_refresh = refresh.monitorPollingInterval;

  struct soap server;
  InitContext(&server);
  server.fget = ServeFile;
  if (!soap_valid_socket(soap_bind(&server, "127.0.0.1", std::atoi(argv[1]), 100))) {
    soap_print_fault(&server, stderr);
    return 1;
  }
  std::printf("anchor ready %zu agents\n", fetched_list.arrList.size());
  std::fflush(stdout);
  for (;;) {
    if (!soap_valid_socket(soap_accept(&server))) continue;
    soap_serve(&server);
    soap_destroy(&server);
    soap_end(&server);
  }
}
