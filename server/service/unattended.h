#pragma once
// What lets the server run without anyone at it: the engine started at
// launch, the watched list kept in a file across restarts, and the engine
// limited to chosen interfaces. All three are off unless asked for, on the
// command line or as lines of cfg/define.ecf:
//   engine_start=1            start the engine at launch (0: not)
//   watched_list_keep=1       keep the watched list in watched.cfg (0: not)
//   interfaces=eth1,eth2      the interfaces the engine uses (empty: all)

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferro {

struct UnattendedOptions {
  bool startEngine = false;
  bool keepWatchedList = false;
  std::vector<std::string> interfaces;  // empty: every interface
};

// Applies the lines of `plainText` (define.ecf's unscrambled text) to
// `options`. A value that does not read as its kind is ignored with a line
// in the log.
void ApplyUnattendedOptions(std::string_view plainText, UnattendedOptions* options);

// Starts the engine as a client's EngineLayerStartup would, through the
// same operation: the same log lines and events (and the kept watched list
// loaded, when it is kept).
void StartEngineAtLaunch();

// The kept watched list's file, in the working folder.
inline constexpr char kKeptWatchedListName[] = "watched.cfg";

// Keeps the watched list in `path` from now on (empty: not kept, the
// default): every change is written there, and the engine's start loads it.
void KeepWatchedListIn(std::string path);

// Writes the watched list to the kept file, whole or not at all (the old
// file stays as it was); a no-op when the list is not kept. Called after
// every change of the list; the writes of concurrent changes are one at a
// time, each writing the list as it is then.
void SaveKeptWatchedList();

// Loads the kept file into the watched list, the first time it is called
// in the process (the engine's start). A missing file is an empty list. A
// damaged or unreadable one never stops the server: it is logged, renamed
// to `path`.bad (so the next save does not overwrite it), and the list
// starts empty.
void LoadKeptWatchedList();

}  // namespace ferro
