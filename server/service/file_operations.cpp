// Operations that keep the watched agents in saved device lists (.cfg
// files) and hand out the sample requests of the browser console.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "config_file.h"
#include "engine/events.h"
#include "engine/monitoring.h"
#include "exchange/request_exchange.h"
#include "fault.h"
#include "platform/file_path.h"
#include "platform/save_dialog.h"
#include "sample_requests.h"
#include "soapH.h"
#include "status_report.h"
#include "switchinfo_convert.h"
#include "unattended.h"

namespace {

constexpr const char* kBadPathReason =
    "the path is longer than 259 bytes or is not a valid file name";

// The user interface's main window: the save dialog belongs to it.
constexpr const char* kOwnerWindowTitle = "CALVORN Ferroview Utility";

void Log(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// Why a file operation failed, from its errno; the file primitives give
// EINVAL for a FIFO, a device or a socket in the place of a file.
std::string FileError(int error) {
  return error == EINVAL ? "not a regular file" : std::strerror(error);
}

// A saved list loaded or saved, as an event: the file, how many agents it
// held and whether it worked.
void TellList(bool load, const std::string& path, size_t count, bool ok, const std::string& why) {
  if (!ferro::EventsWanted()) return;
  ferro::EngineEvent event;
  event.kind = load ? "list_load" : "list_save";
  event.text = std::string(load ? "loaded " : "saved ") + path + ": " +
               (ok ? std::to_string(count) + (count == 1 ? " agent" : " agents") : why);
  event.fields = {{"file", path}, {"count", count}, {"ok", ok}};
  if (!ok) event.fields["error"] = why;
  ferro::EmitEvent(std::move(event));
}

// Writes the watched agents to `path`: 0 when the whole file was written,
// 1 when it could not be (the previous file, if any, is then unchanged, and
// `why`, when given, says what went wrong).
unsigned int SaveTable(const std::string& path, std::string* why = nullptr) {
  if (ferro::ReplaceFileContents(path, ferro::EncodeWatchedAgents())) {
    TellList(false, path, ferro::WatchedAgentCount(), true, {});
    return 0;
  }
  const std::string error = FileError(errno);
  TellList(false, path, 0, false, error);
  std::printf("save %s error: %s. \n", path.c_str(), error.c_str());
  std::fflush(stdout);
  if (why != nullptr) *why = "cannot write " + path + ": " + error;
  return 1;
}

// Asks the user for a file name and saves the watched agents there: 0 when
// saved or when the user cancelled the dialog, 1 when no dialog could be
// shown (nobody cancelled anything; nothing was saved) or the chosen file
// could not be written.
unsigned int AskAndSave() {
  Log("SaveFileAs begin \n");
  const ferro::SaveDialogResult choice =
      ferro::AskSaveFileName({kOwnerWindowTitle, "config File (*.cfg)", "*.cfg", "*.cfg"});
  if (!choice.confirmed) {
    if (choice.reason.empty()) {
      ferro::NoteSaveAsOutcome("cancelled", "the save dialog was cancelled");
      return 0;
    }
    std::printf("SaveFileAs: no dialog, nothing saved: %s. \n", choice.reason.c_str());
    std::fflush(stdout);
    ferro::NoteSaveAsOutcome("no_dialog", choice.reason);
    return 1;
  }
  if (choice.path.size() + 1 > ferro::kMaxPathBytes) {
    Log("SaveFileAs: the chosen path is too long. \n");
    ferro::NoteSaveAsOutcome("write_failed", "the chosen path is longer than 259 bytes");
    return 1;
  }
  std::string why;
  const unsigned int code = SaveTable(choice.path, &why);
  ferro::NoteSaveAsOutcome(code == 0 ? "saved" : "write_failed", code == 0 ? choice.path : why);
  return code;
}

enum class ReadOutcome { kRead, kCannotOpen, kFailed };

// Reads a saved device list whole, within the size bound; only a regular
// file is read, and the service thread never waits on it. `why` says what
// went wrong when the outcome is not kRead.
ReadOutcome ReadConfigFile(const std::string& path, std::string& bytes, std::string& why) {
  std::FILE* file = ferro::OpenRegularFile(path);
  if (file == nullptr) {
    const int error = errno;
    why = "cannot open " + path + ": " + FileError(error);
    return ReadOutcome::kCannotOpen;
  }
  constexpr size_t kLimit = ferro::kMaxConfigRecords * ferro::kConfigRecordSize;
  bytes.clear();
  char buf[65536];
  ReadOutcome outcome = ReadOutcome::kRead;
  for (;;) {
    const size_t n = std::fread(buf, 1, sizeof buf, file);
    if (bytes.size() + n > kLimit) {
      why = path + " holds more than " + std::to_string(ferro::kMaxConfigRecords) + " agents";
      outcome = ReadOutcome::kFailed;
      break;
    }
    bytes.append(buf, n);
    if (n == sizeof buf) continue;
    if (std::ferror(file)) {
      const int error = errno;
      why = "cannot read " + path + ": " + FileError(error);
      outcome = ReadOutcome::kFailed;
    }
    break;
  }
  std::fclose(file);
  return outcome;
}

// The kept watched list: its file (empty: not kept), whether it was loaded,
// and the lock that makes its loads and saves one at a time.
struct KeptList {
  std::mutex lock;
  std::string path;
  bool loaded = false;
};
KeptList& Kept() {
  static KeptList kept;
  return kept;
}

// Sets a damaged kept file aside under its ".bad" name (replacing an older
// one), so that the next save does not overwrite it.
void SetAside(const std::string& path) {
  const std::string bad = path + ".bad";
  std::error_code error;
  std::filesystem::rename(path, bad, error);
  if (error) {
    // Windows renames onto no existing file.
    std::filesystem::remove(bad, error);
    std::filesystem::rename(path, bad, error);
  }
  if (error) {
    std::printf("kept watched list: %s cannot be set aside: %s. \n", path.c_str(),
                error.message().c_str());
  } else {
    std::printf("kept watched list: set aside as %s. \n", bad.c_str());
  }
  std::fflush(stdout);
}

}  // namespace

namespace ferro {

void KeepWatchedListIn(std::string path) {
  std::lock_guard lock(Kept().lock);
  Kept().path = std::move(path);
}

void SaveKeptWatchedList() {
  KeptList& kept = Kept();
  std::lock_guard lock(kept.lock);
  if (kept.path.empty()) return;
  if (ReplaceFileContents(kept.path, EncodeWatchedAgents())) return;
  const std::string error = FileError(errno);
  TellList(false, kept.path, 0, false, error);
  std::printf("kept watched list: cannot write %s: %s. \n", kept.path.c_str(), error.c_str());
  std::fflush(stdout);
}

void LoadKeptWatchedList() {
  KeptList& kept = Kept();
  std::lock_guard lock(kept.lock);
  if (kept.path.empty() || kept.loaded) return;
  kept.loaded = true;
  const std::string& path = kept.path;
  std::string bytes, why;
  const ReadOutcome outcome = ReadConfigFile(path, bytes, why);
  if (outcome == ReadOutcome::kCannotOpen && errno == ENOENT) {
    std::printf("kept watched list: no %s yet; the list starts empty. \n", path.c_str());
    std::fflush(stdout);
    return;
  }
  std::vector<AgentRecord> records;
  if (outcome == ReadOutcome::kRead) {
    const ConfigFileContents contents = ParseConfigFile(bytes);
    if (contents.partial) why = path + " ends in a partial record";
    for (const StoredAgent& stored : contents.agents) {
      if (contents.partial) break;
      // Through the same conversion as a loaded saved list.
      ns__SwitchInfo info;
      AgentRecordToSwitchInfo(stored.record, info);
      SwitchInfoToAgentRecord(info, records.emplace_back());
    }
  }
  if (why.empty()) {
    ClearWatchedAgents();
    for (const AgentRecord& record : records) {
      if (AddWatchedAgent(record) == 0) {
        why = "address " + FormatIpText(record.agentIpAddr) + " is in " + path + " twice";
        ClearWatchedAgents();
        break;
      }
    }
  }
  if (!why.empty()) {
    std::printf("kept watched list: %s; the list starts empty. \n", why.c_str());
    std::fflush(stdout);
    TellList(true, path, 0, false, why);
    SetAside(path);
    return;
  }
  std::printf("kept watched list: %zu %s loaded from %s. \n", records.size(),
              records.size() == 1 ? "agent" : "agents", path.c_str());
  std::fflush(stdout);
  TellList(true, path, records.size(), true, {});
}

}  // namespace ferro

int ns__SaveFile(struct soap*, std::wstring filepath, unsigned int& errorcode) {
  Log("SaveFile begin \n");
  const std::optional<std::string> path = ferro::WidePathToNative(filepath, ferro::kMaxPathBytes);
  if (!path) {
    Log("SaveFile: the path is too long or not a valid name. \n");
    errorcode = 1;
    return SOAP_OK;
  }
  errorcode = SaveTable(*path);
  return SOAP_OK;
}

// Asks the user for a file name and saves the watched agents there. The
// dialog belongs to the user interface's window; while it is open the
// request waits aside and every other request is served. One dialog at a
// time: a second request meanwhile gets errorcode 1. How it ended, beyond
// the errorcode, is in the status summary (NoteSaveAsOutcome).
int ns__SaveFileAs(struct soap* soap, int, std::string, unsigned int& errorcode) {
  bool busy = false;
  const std::optional<int> saved = ferro::RunAside(
      soap, [] { return static_cast<int>(AskAndSave()); }, &busy);
  if (busy) {
    Log("SaveFileAs: a save dialog is open already. \n");
    ferro::NoteSaveAsOutcome("busy", "another save dialog is open on the server's desktop");
    errorcode = 1;
    return SOAP_OK;
  }
  if (!saved) return ferro::kAnswerLater;
  errorcode = static_cast<unsigned int>(*saved);
  return SOAP_OK;
}

// Reads a saved device list and, when it holds whole records only, makes its
// agents the watched agents, in file order (an empty file watches none).
// nErrorCode 1 leaves the watched agents as they are: the file could not be
// opened (no entries then) or ends in a partial record.
int ns__LoadFile(struct soap* soap, std::wstring filepath, ns__MonitorList& result) {
  Log("LoadFile begin. \n");
  result.nErrorCode = 0;
  result.nMonitorNum = 0;
  result.arrList.clear();
  const std::optional<std::string> path = ferro::WidePathToNative(filepath, ferro::kMaxPathBytes);
  if (!path) {
    Log("LoadFile: the path is too long or not a valid name. \n");
    return ferro::OperationFailed(soap, kBadPathReason);
  }
  std::string bytes, why;
  const ReadOutcome outcome = ReadConfigFile(*path, bytes, why);
  if (outcome != ReadOutcome::kRead) {
    std::printf("LoadFile: %s. \n", why.c_str());
    std::fflush(stdout);
    TellList(true, *path, 0, false, why);
    if (outcome == ReadOutcome::kFailed) return ferro::OperationFailed(soap, why);
    // Missing, unreadable or not a regular file: answered like a damaged
    // file, with no entries, and the watched agents stay as they are.
    result.nErrorCode = 1;
    return SOAP_OK;
  }
  const ferro::ConfigFileContents contents = ferro::ParseConfigFile(bytes);
  for (const ferro::StoredAgent& stored : contents.agents) {
    ns__MonitorInfo& info = result.arrList.emplace_back();
    ferro::AgentRecordToSwitchInfo(stored.record, info.monitorInfo);
    info.isAlive = stored.isAlive;
    info.recvFlag = 0;
    ++result.nMonitorNum;
  }
  if (contents.partial) {
    result.nErrorCode = 1;  // not a whole number of records: the table stays as it is
    TellList(true, *path, contents.agents.size(), false, "the file ends in a partial record");
    return SOAP_OK;
  }
  ferro::ClearWatchedAgents();
  for (const ns__MonitorInfo& info : result.arrList) {
    ferro::AgentRecord record;
    ferro::SwitchInfoToAgentRecord(info.monitorInfo, record);
    if (ferro::AddWatchedAgent(record) == 0) {
      const std::string twice =
          "address " + ferro::FormatIpText(record.agentIpAddr) + " is in the file twice";
      TellList(true, *path, contents.agents.size(), false, twice);
      ferro::SaveKeptWatchedList();  // the list changed before the duplicate
      return ferro::OperationFailed(soap, twice);
    }
  }
  TellList(true, *path, contents.agents.size(), true, {});
  ferro::SaveKeptWatchedList();
  return SOAP_OK;
}

int ns__GetReqXmlList(struct soap* soap, ns__ReqXmlList& result) {
  const auto names = ferro::ListSampleRequests(ferro::kSampleFolder);
  if (!names) {
    Log("find auto/*.req.xml error. \n");
    return ferro::OperationFailed(soap, "no auto/*.req.xml file below the working folder");
  }
  result.ReqXml = *names;
  result.nNum = static_cast<int>(names->size());
  result.nErrorCode = 0;
  return SOAP_OK;
}

int ns__GetReqXmlFile(struct soap* soap, std::string strXmlName,
                      struct ns__GetReqXmlFileResponse& result) {
  std::optional<std::string> content;
  const bool plain = ferro::IsPlainSampleName(strXmlName);
  if (plain) {
    content = ferro::ReadSampleRequest(std::string(ferro::kSampleFolder) + "/" + strXmlName);
  }
  if (!content) {
    std::printf("open auto/%s error. \n", strXmlName.c_str());
    std::fflush(stdout);
    return ferro::OperationFailed(
        soap, plain ? "auto/" + strXmlName + " is not a sample that can be read"
                    : std::string("the name must not leave the auto folder (no /, \\ or ..)"));
  }
  result.strXmlContent = std::move(*content);
  return SOAP_OK;
}
