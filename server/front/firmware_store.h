#pragma once
// The firmware store: a folder of images that the page uploads over HTTP and
// the upgrade operations then name by their path on this machine.
//
//   GET    /api/firmware              the stored images and the store's limits
//   POST   /api/firmware?name=NAME    stores the body (Content-Length) as NAME
//   DELETE /api/firmware?name=NAME    removes one image
//
// Only clients on this machine are answered, and POST and DELETE follow the
// rules of a SOAP operation that changes state: no web page of another
// origin, and only the server's user, root or the administrators group. An
// upload streams to a temporary file as it arrives (never held whole in
// memory), its size and SHA-256 counted on the way; only a complete body
// takes its name, so a dropped connection leaves nothing behind. Answers are
// small JSON texts; an error is {"error": "..."}.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "connection.h"
#include "platform/private_folder.h"
#include "request_parser.h"

namespace ferro {

struct FirmwareLimits {
  // The largest image a TFTP write delivers without its 16-bit block number
  // wrapping (65535 blocks of 512 bytes, the last one short): agents whose
  // TFTP server does not wrap could take no more.
  uint64_t max_image_bytes = 65535ull * 512 - 1;
  size_t max_images = 16;
  size_t max_name_bytes = 100;
  size_t max_uploads_at_once = 2;
  // Left free on the disk after an upload, so that the store never fills it.
  uint64_t keep_free_bytes = 16ull << 20;
};

// Why `name` is no plain file name the store takes, or nothing when it is
// one: valid UTF-8 of at most `max_bytes` bytes, without control
// characters, "/", "\" or the other characters Windows refuses in a name
// (: * ? " < > |), not starting with "." and not ending in "." or a space.
// A name is refused, never rewritten.
std::optional<std::string> ImageNameRefusal(std::string_view name, size_t max_bytes);

// The target of a store request, split: `path` is the target up to "?",
// `name` the decoded value of its one "name" parameter (percent escapes
// decoded, "+" kept as it is). `error` says why the query cannot be read
// (a bad escape, "name" twice).
struct StoreTarget {
  std::string path;
  std::optional<std::string> name;
  std::optional<std::string> error;
};
StoreTarget ParseStoreTarget(std::string_view request_line);

class FirmwareStore {
 public:
  // `folder`: absolute path of the store's folder, made (for the server's
  // user only: platform/private_folder.h) when first needed. `in_use`: whether the upgrade running
  // now sends the file at that path (it is then not deleted).
  FirmwareStore(std::string folder, std::function<bool(const std::string&)> in_use,
                FirmwareLimits limits = {});
  ~FirmwareStore();
  FirmwareStore(const FirmwareStore&) = delete;
  FirmwareStore& operator=(const FirmwareStore&) = delete;

  // Whether the request is for the store (its target's path is /api/firmware).
  static bool Handles(const http::Request& request);

  // Once the header is read: false when the request is refused whatever its
  // body holds (then its answer comes without the body being read).
  bool WantsBody(const Connection& connection);
  // For an upload that may come: where its body goes, else null.
  std::unique_ptr<BodySink> StartUpload(const Connection& connection);
  // The whole HTTP answer to a complete request.
  std::string Serve(Connection& connection);

  const FirmwareLimits& limits() const { return limits_; }
  const std::string& folder() const { return folder_; }

 private:
  class Upload;
  struct Answer {
    int status = 200;
    std::string body;  // JSON
  };
  struct Image {
    std::string name;
    uint64_t size = 0;
    std::string sha256;  // lower-case hexadecimal
    int64_t stored = 0;  // seconds since 1970 (the file's modification time)
  };
  // What identifies a file's content for the checksum cache.
  struct FileKey {
    uint64_t id = 0;
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    bool operator==(const FileKey&) const = default;
  };
  static FileKey KeyOf(const FolderEntry& entry);

  // The folder, opened (and made) when first needed; false with `*why` set
  // when it cannot be used.
  bool Open(std::string* why);
  // The refusal of a request before its body is read, or nothing.
  std::optional<Answer> Judge(const Connection& connection);
  Answer Commit(Upload& upload);
  Answer List();
  Answer Delete(const std::string& name);
  // How many images the folder holds.
  size_t CountImages();
  std::optional<Image> Describe(const std::string& name);
  nlohmann::ordered_json LimitsJson() const;
  nlohmann::ordered_json ImageJson(const Image& image) const;

  std::string folder_;
  std::function<bool(const std::string&)> in_use_;
  FirmwareLimits limits_;
  std::unique_ptr<PrivateFolder> dir_;
  uint64_t next_upload_ = 1;
  std::set<std::string> uploading_;  // names of the uploads under way
  std::map<std::string, std::pair<FileKey, std::string>> checksums_;
};

}  // namespace ferro
