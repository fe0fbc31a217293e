#include "firmware_store.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <vector>

#include "access_rule.h"
#include "http_answer.h"
#include "platform/diag.h"
#include "platform/file_path.h"
#include "platform/sha256.h"
#include "platform/text.h"

namespace ferro {
namespace {

constexpr std::string_view kStorePath = "/api/firmware";
constexpr std::string_view kTempPrefix = ".upload-";
constexpr std::string_view kTempSuffix = ".part";
// Entries of the folder looked at in one listing or count: a folder that
// someone filled by hand cannot make a request walk it for ever.
constexpr size_t kMaxEntriesScanned = 4096;
// Images listed at most (the store itself keeps far fewer).
constexpr size_t kMaxListed = 256;

// The answers' JSON, in the order written; bytes that are not UTF-8 (a
// name read from the folder, an error text) become U+FFFD.
using Json = nlohmann::ordered_json;

std::string Text(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string ErrorJson(std::string_view message) { return Text(Json{{"error", message}}); }

std::string UtcText(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
#ifdef _WIN32
  gmtime_s(&parts, &t);
#else
  gmtime_r(&t, &parts);
#endif
  char text[32] = "";
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

bool IsTempName(std::string_view name) {
  return name.size() > kTempPrefix.size() + kTempSuffix.size() &&
         name.substr(0, kTempPrefix.size()) == kTempPrefix &&
         name.substr(name.size() - kTempSuffix.size()) == kTempSuffix;
}

// Whether `name` in `dir` is a stored image: a regular file (not followed
// through a link) whose name the store would have taken.
std::optional<FolderEntry> ImageEntry(PrivateFolder& dir, std::string_view name) {
  if (name.empty() || name.front() == '.') return std::nullopt;
  std::optional<FolderEntry> e = dir.Entry(std::string(name));
  if (!e || !e->regular) return std::nullopt;
  return e;
}

using Digest = std::unique_ptr<Sha256>;

Digest NewDigest() {
  auto d = std::make_unique<Sha256>();
  if (!d->ok()) d.reset();
  return d;
}

std::optional<std::string> FinishDigest(Sha256* d) {
  if (d == nullptr) return std::nullopt;
  return d->FinishHex();
}

}  // namespace

std::optional<std::string> ImageNameRefusal(std::string_view name, size_t max_bytes) {
  if (name.empty()) return "the image needs a name";
  if (name.size() > max_bytes) {
    return "the name is longer than " + std::to_string(max_bytes) + " bytes";
  }
  for (size_t i = 0; i < name.size();) {
    const Utf8Sequence c = DecodeUtf8(name, i);
    if (c.length == 0) return std::string("the name is not valid UTF-8");
    i += c.length;
    const uint32_t cp = c.code_point;
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
      return std::string("the name holds a control character");
    }
    if (cp < 0x80 && std::strchr("/\\:*?\"<>|", static_cast<int>(cp)) != nullptr) {
      return std::string(
          "the name holds a character a file name may not hold (/ \\ : * ? \" < > |)");
    }
  }
  if (name.front() == '.') return std::string("the name may not start with \".\"");
  if (name.back() == '.' || name.back() == ' ') {
    return std::string("the name may not end in \".\" or a space");
  }
  return std::nullopt;
}

StoreTarget ParseStoreTarget(std::string_view request_line) {
  StoreTarget out;
  const size_t first = request_line.find(' ');
  if (first == std::string_view::npos) return out;
  std::string_view target = request_line.substr(first + 1);
  target = target.substr(0, target.find(' '));
  const size_t mark = target.find('?');
  out.path = std::string(target.substr(0, mark));
  if (mark == std::string_view::npos) return out;
  std::string_view query = target.substr(mark + 1);
  for (;;) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const size_t eq = pair.find('=');
    if (pair.substr(0, eq) == "name") {
      if (out.name) {
        out.error = "the query names the image twice";
        return out;
      }
      const std::string_view raw =
          eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
      std::string value;
      for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
          value.push_back(raw[i]);
          continue;
        }
        const int hi = i + 1 < raw.size() ? HexDigit(raw[i + 1]) : -1;
        const int lo = i + 2 < raw.size() ? HexDigit(raw[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
          out.error = "the name holds a \"%\" that starts no escape";
          return out;
        }
        value.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
      }
      out.name = std::move(value);
    }
    if (amp == std::string_view::npos) break;
  }
  return out;
}

// One upload under way: the body goes to a temporary file in the store's
// folder, counted and checksummed as it comes. Unless committed, the file
// goes with the upload.
class FirmwareStore::Upload final : public BodySink {
 public:
  Upload(FirmwareStore& store, std::string name, std::string temp, FolderFile file,
         uint64_t expected)
      : store_(store),
        name_(std::move(name)),
        temp_(std::move(temp)),
        file_(std::move(file)),
        expected_(expected),
        digest_(NewDigest()) {
    store_.uploading_.insert(name_);
    if (!digest_) digest_failed_ = true;
  }
  ~Upload() override { Release(); }
  // Ends the upload's hold on the store (its file, its temporary name, its
  // place among the uploads under way) once it is answered, without waiting
  // for its client to take the answer.
  void Release() {
    file_.Close();
    if (!committed_ && !released_ && store_.dir_) store_.dir_->Remove(temp_);
    if (!released_) store_.uploading_.erase(name_);
    released_ = true;
  }
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  void Write(std::string_view bytes) override {
    // Never more than announced (the reader stops at the Content-Length).
    bytes = bytes.substr(
        0, static_cast<size_t>(std::min<uint64_t>(bytes.size(), expected_ - received_)));
    received_ += bytes.size();
    // After a failure the rest is read and dropped: the client then gets
    // the answer that says why, not a reset.
    if (error_ != 0 || digest_failed_ || released_) return;
    digest_->Update(bytes);
    error_ = file_.Write(bytes);
  }

  FirmwareStore& store_;
  std::string name_;
  std::string temp_;
  FolderFile file_;
  uint64_t expected_;
  uint64_t received_ = 0;
  Digest digest_;
  bool digest_failed_ = false;  // no digest could be made
  FileError error_ = 0;
  bool committed_ = false;
  bool released_ = false;
};

FirmwareStore::FirmwareStore(std::string folder, std::function<bool(const std::string&)> in_use,
                             FirmwareLimits limits)
    : folder_(std::move(folder)), in_use_(std::move(in_use)), limits_(limits) {}

FirmwareStore::~FirmwareStore() = default;

FirmwareStore::FileKey FirmwareStore::KeyOf(const FolderEntry& entry) {
  return FileKey{entry.id, entry.size, entry.mtime_ns};
}

bool FirmwareStore::Handles(const http::Request& request) {
  return ParseStoreTarget(request.request_line).path == kStorePath;
}

bool FirmwareStore::Open(std::string* why) {
  if (dir_) return true;
  // Images go to devices: a folder that someone else may write to could
  // swap one under the checksum the page showed.
  std::string reason;
  dir_ = PrivateFolder::Open(folder_, &reason);
  if (!dir_) {
    *why = "the firmware folder " + folder_ + " cannot be used: " + reason;
    return false;
  }
  // Uploads cut short by an earlier end of the server.
  std::vector<std::string> stale;
  dir_->ForEach(kMaxEntriesScanned, [&](std::string_view name) {
    if (IsTempName(name)) stale.emplace_back(name);
    return true;
  });
  for (const std::string& name : stale) dir_->Remove(name);
  return true;
}

size_t FirmwareStore::CountImages() {
  size_t count = 0;
  dir_->ForEach(kMaxEntriesScanned, [&](std::string_view name) {
    if (ImageEntry(*dir_, name)) ++count;
    return true;
  });
  return count;
}

std::optional<FirmwareStore::Image> FirmwareStore::Describe(const std::string& name) {
  const std::optional<FolderEntry> entry = ImageEntry(*dir_, name);
  if (!entry) return std::nullopt;
  Image image;
  image.name = name;
  image.size = entry->size;
  image.stored = entry->mtime_ns >= 0 ? entry->mtime_ns / 1000000000
                                      : -((-entry->mtime_ns + 999999999) / 1000000000);
  const FileKey key = KeyOf(*entry);
  if (const auto known = checksums_.find(name);
      known != checksums_.end() && known->second.first == key) {
    image.sha256 = known->second.second;
    return image;
  }
  // A file the store did not take itself (or before the server started):
  // read once, then remembered while it stays the same file.
  FolderFile file = dir_->OpenForReading(name);
  if (!file.valid()) return std::nullopt;
  Digest digest = NewDigest();
  std::vector<char> buf(1 << 16);
  bool ok = digest != nullptr;
  while (ok) {
    const long long n = file.Read(buf.data(), buf.size());
    if (n < 0) ok = false;
    if (n <= 0) break;
    digest->Update(buf.data(), static_cast<size_t>(n));
    ok = digest->ok();
  }
  file.Close();
  const std::optional<std::string> sum = ok ? FinishDigest(digest.get()) : std::nullopt;
  if (!sum) return std::nullopt;
  image.sha256 = *sum;
  checksums_[name] = {key, *sum};
  return image;
}

Json FirmwareStore::LimitsJson() const {
  return Json{{"max_image_bytes", limits_.max_image_bytes},
              {"max_images", limits_.max_images},
              {"max_name_bytes", limits_.max_name_bytes}};
}

Json FirmwareStore::ImageJson(const Image& image) const {
  return Json{{"name", image.name},
              {"size", image.size},
              {"sha256", image.sha256},
              {"path", folder_ + "/" + image.name},
              {"stored", UtcText(image.stored)}};
}

std::optional<FirmwareStore::Answer> FirmwareStore::Judge(const Connection& connection) {
  const http::Request& request = connection.request();
  const std::string& method = request.method;
  if (!connection.loopback()) {
    return Answer{403, ErrorJson("the firmware store answers this machine (loopback) only")};
  }
  if (method != "GET" && method != "POST" && method != "DELETE") {
    return Answer{405, ErrorJson("the firmware store takes GET, POST and DELETE")};
  }
  if (method == "GET") return std::nullopt;
  if (const auto reason = RefusalReason(request, connection.peer().sin_addr)) {
    return Answer{403, ErrorJson(*reason)};
  }
  if (const auto reason = OwnerRefusal(connection.fd())) return Answer{403, ErrorJson(*reason)};
  const StoreTarget target = ParseStoreTarget(request.request_line);
  if (target.error) return Answer{400, ErrorJson(*target.error)};
  if (!target.name) return Answer{400, ErrorJson("name the image: ?name=FILE")};
  if (const auto reason = ImageNameRefusal(*target.name, limits_.max_name_bytes)) {
    return Answer{400, ErrorJson(*reason)};
  }
  if (folder_.size() + 1 + target.name->size() >= kMaxPathBytes) {
    return Answer{400, ErrorJson("the image's path on the server would be longer than the " +
                                 std::to_string(kMaxPathBytes - 1) +
                                 " bytes the upgrade takes: choose a shorter name")};
  }
  if (method == "DELETE") return std::nullopt;

  if (request.chunked) {
    return Answer{411, ErrorJson("send the image with a Content-Length (a chunked body is not "
                                 "taken)")};
  }
  if (!request.has_length) return Answer{411, ErrorJson("send the image with a Content-Length")};
  if (request.length == 0) return Answer{400, ErrorJson("the image is empty")};
  if (request.length > limits_.max_image_bytes) {
    return Answer{413, ErrorJson("the image is " + std::to_string(request.length) +
                                 " bytes; the store takes images of at most " +
                                 std::to_string(limits_.max_image_bytes) + " bytes")};
  }
  std::string why;
  if (!Open(&why)) return Answer{500, ErrorJson(why)};
  if (uploading_.count(*target.name) != 0) {
    return Answer{409, ErrorJson("an image named " + *target.name + " is being uploaded")};
  }
  if (dir_->Entry(*target.name)) {
    return Answer{409, ErrorJson("an image named " + *target.name +
                                 " is stored already: delete it first, or choose another name")};
  }
  if (uploading_.size() >= limits_.max_uploads_at_once) {
    return Answer{503, ErrorJson(std::to_string(uploading_.size()) +
                                 " uploads are under way; try again when one has ended")};
  }
  if (CountImages() + uploading_.size() >= limits_.max_images) {
    return Answer{507, ErrorJson("the store holds " + std::to_string(limits_.max_images) +
                                 " images, as many as it keeps: delete one first")};
  }
  if (const std::optional<uint64_t> free = dir_->FreeBytes()) {
    const uint64_t free_bytes = *free;
    if (free_bytes < request.length + limits_.keep_free_bytes) {
      return Answer{507, ErrorJson("the disk of " + folder_ + " has " + std::to_string(free_bytes) +
                                   " bytes free: too few for the image")};
    }
  }
  return std::nullopt;
}

bool FirmwareStore::WantsBody(const Connection& connection) {
  // Asked again as each piece of the body comes: an upload under way counts
  // itself among the uploads and names, so it is judged only once.
  if (connection.body_sink() != nullptr) return true;
  return connection.request().method == "POST" && !Judge(connection);
}

std::unique_ptr<BodySink> FirmwareStore::StartUpload(const Connection& connection) {
  if (!WantsBody(connection)) return nullptr;
  const StoreTarget target = ParseStoreTarget(connection.request().request_line);
  const std::string temp = std::string(kTempPrefix) + std::to_string(::getpid()) + "-" +
                           std::to_string(next_upload_++) + std::string(kTempSuffix);
  FolderFile file = dir_->Create(temp);
  if (!file.valid()) return nullptr;
  return std::make_unique<Upload>(*this, *target.name, temp, std::move(file),
                                  connection.request().length);
}

FirmwareStore::Answer FirmwareStore::Commit(Upload& upload) {
  if (upload.received_ != upload.expected_) {
    return Answer{400, ErrorJson("the image ended before its Content-Length")};
  }
  if (upload.digest_failed_) {
    return Answer{500, ErrorJson("the image's checksum could not be computed")};
  }
  if (upload.error_ == 0) upload.error_ = upload.file_.Sync();
  if (upload.error_ != 0) {
    const int status = IsNoSpace(upload.error_) ? 507 : 500;
    return Answer{status, ErrorJson(std::string("the image could not be written: ") +
                                    FileErrorText(upload.error_))};
  }
  const std::optional<std::string> sum = FinishDigest(upload.digest_.get());
  if (!sum) return Answer{500, ErrorJson("the image's checksum could not be computed")};
  // Its name only now that it is whole; never over an image stored meanwhile.
  bool exists = false;
  if (const FileError err = dir_->Rename(upload.temp_, upload.name_, &exists); err != 0) {
    if (exists) {
      return Answer{409, ErrorJson("an image named " + upload.name_ + " is stored already")};
    }
    return Answer{500,
                  ErrorJson(std::string("the image could not be stored: ") + FileErrorText(err))};
  }
  upload.committed_ = true;
  dir_->Sync();
  // The checksum belongs to the file just written (it is still open), so
  // the listing need not read it again.
  if (const std::optional<FolderEntry> entry = upload.file_.Describe()) {
    checksums_[upload.name_] = {KeyOf(*entry), *sum};
  }
  std::optional<Image> image = Describe(upload.name_);
  if (!image) return Answer{500, ErrorJson("the stored image cannot be read back")};
  std::printf("Firmware image %s stored: %" PRIu64 " bytes, SHA-256 %s\n", image->name.c_str(),
              image->size, image->sha256.c_str());
  std::fflush(stdout);
  return Answer{201, Text(Json{{"image", ImageJson(*image)}, {"limits", LimitsJson()}})};
}

FirmwareStore::Answer FirmwareStore::List() {
  std::string why;
  if (!Open(&why)) return Answer{500, ErrorJson(why)};
  std::vector<std::string> names;
  dir_->ForEach(kMaxEntriesScanned, [&](std::string_view name) {
    if (ImageEntry(*dir_, name)) names.emplace_back(name);
    return names.size() < kMaxListed;
  });
  std::sort(names.begin(), names.end());
  Json images = Json::array();
  for (const std::string& name : names) {
    const std::optional<Image> image = Describe(name);
    if (image) images.push_back(ImageJson(*image));
  }
  return Answer{200, Text(Json{{"folder", folder_},
                               {"images", std::move(images)},
                               {"uploading", uploading_.size()},
                               {"limits", LimitsJson()}})};
}

FirmwareStore::Answer FirmwareStore::Delete(const std::string& name) {
  std::string why;
  if (!Open(&why)) return Answer{500, ErrorJson(why)};
  if (!ImageEntry(*dir_, name)) {
    return Answer{404, ErrorJson("no image named " + name + " is stored")};
  }
  if (in_use_ && in_use_(folder_ + "/" + name)) {
    return Answer{409, ErrorJson("the upgrade running now sends " + name +
                                 ": end the upgrade before deleting it")};
  }
  if (const FileError err = dir_->Remove(name); err != 0) {
    return Answer{500,
                  ErrorJson(std::string("the image could not be deleted: ") + FileErrorText(err))};
  }
  checksums_.erase(name);
  std::printf("Firmware image %s deleted\n", name.c_str());
  std::fflush(stdout);
  return Answer{200, Text(Json{{"deleted", name}})};
}

std::string FirmwareStore::Serve(Connection& connection) {
  const http::Request& request = connection.request();
  Answer answer;
  if (auto refusal = Judge(connection);
      refusal && !(request.method == "POST" && connection.body_sink() != nullptr)) {
    answer = std::move(*refusal);
    // Another host may send refused requests at will: their lines are limited.
    static DiagLimit refusals("refused firmware store requests");
    refusals.Print("Firmware store request %s from %s refused: %d %s\n", request.method.c_str(),
                   connection.peer_text().c_str(), answer.status, answer.body.c_str());
  } else if (request.method == "GET") {
    answer = List();
  } else if (request.method == "DELETE") {
    answer = Delete(*ParseStoreTarget(request.request_line).name);
  } else if (auto* upload = dynamic_cast<Upload*>(connection.body_sink())) {
    answer = Commit(*upload);
    upload->Release();
  } else {
    answer = Answer{500, ErrorJson(std::string("the upload could not start: ") +
                                   (dir_ ? "no temporary file could be made" : "no folder"))};
  }
  std::string extra;
  if (answer.status == 405) extra += "Allow: GET, POST, DELETE\r\n";
  if (answer.status == 503) extra += "Retry-After: 1\r\n";
  return ClosingAnswer(answer.status, "application/json; charset=utf-8", answer.body + "\n", extra);
}

}  // namespace ferro
