// The system services of the platform layer that have one implementation
// per system, tested through the same calls on each: the instance lock,
// whole-file replacement and reading, the private folder, and the owner of
// a loopback peer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/file_path.h"
#include "platform/instance_lock.h"
#include "platform/private_folder.h"
#include "platform/socket.h"
#include "platform/socket_owner.h"

namespace ferro {
namespace {

namespace fs = std::filesystem;

// A fresh folder of this test's own, private to its user.
class SystemFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = fs::temp_directory_path() / ("ferro-system-" + std::to_string(stamp));
    ASSERT_TRUE(fs::create_directory(dir_));
    fs::permissions(dir_, fs::perms::owner_all);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Read(const std::string& name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path dir_;
};

using SystemLock = SystemFolder;

// The name is held until the process ends: asking again, from this process
// too, finds it taken; another name is free; a name that would reach into
// another folder or namespace is refused. (The Linux lock's folder checks
// are tested beside the push channel.)
TEST_F(SystemLock, HeldForTheProcessAndRefusedAgain) {
  const std::string folder = dir_.string();
  const std::string name = "ferro-test-" + std::to_string(fs::hash_value(dir_));
  EXPECT_EQ(AcquireInstanceLock(name.c_str(), folder.c_str()), InstanceLockResult::kAcquired);
  EXPECT_EQ(AcquireInstanceLock(name.c_str(), folder.c_str()), InstanceLockResult::kAlreadyExists);
  EXPECT_EQ(AcquireInstanceLock((name + "-other").c_str(), folder.c_str()),
            InstanceLockResult::kAcquired);
  EXPECT_EQ(AcquireInstanceLock("", folder.c_str()), InstanceLockResult::kError);
#ifdef _WIN32
  EXPECT_EQ(AcquireInstanceLock("Global\\x", folder.c_str()), InstanceLockResult::kError);
#else
  EXPECT_EQ(AcquireInstanceLock("../x", folder.c_str()), InstanceLockResult::kError);
#endif
}

using SystemFiles = SystemFolder;

// A file is replaced whole, leaves no temporary file behind, and reads back;
// a folder is neither read nor replaced, and says so.
TEST_F(SystemFiles, ReplaceReadAndRefuseFolders) {
  const std::string file = Path("list.cfg");
  ASSERT_TRUE(ReplaceFileContents(file, "first"));
  ASSERT_TRUE(ReplaceFileContents(file, std::string(70000, 'x')));
  EXPECT_EQ(Read("list.cfg"), std::string(70000, 'x'));
  EXPECT_TRUE(IsRegularFile(file));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

  std::FILE* in = OpenRegularFile(file);
  ASSERT_NE(in, nullptr);
  char buf[8] = {};
  EXPECT_EQ(std::fread(buf, 1, 5, in), 5u);
  std::fclose(in);

  fs::create_directory(dir_ / "folder");
  errno = 0;
  EXPECT_EQ(OpenRegularFile(Path("folder")), nullptr);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_FALSE(IsRegularFile(Path("folder")));
  EXPECT_FALSE(ReplaceFileContents(Path("folder"), "x"));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_TRUE(fs::is_directory(dir_ / "folder"));
  errno = 0;
  EXPECT_EQ(OpenRegularFile(Path("missing")), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

// The private folder is made when missing; a new file never takes a name
// that exists, and a rename never replaces one; a name such as "NUL.bin"
// is a file there on Windows too, not a device. A folder that another user
// may write to, or a link in place of a file, is refused (Linux only here:
// the Windows access list and reparse checks need a real Windows, which
// sees links).
TEST_F(SystemFiles, PrivateFolderMakesNewNamesOnly) {
  std::string why;
  const std::unique_ptr<PrivateFolder> folder = PrivateFolder::Open(Path("store"), &why);
  ASSERT_TRUE(folder) << why;
  FolderFile temp = folder->Create("NUL.bin.part");
  ASSERT_TRUE(temp.valid());
  EXPECT_FALSE(folder->Create("NUL.bin.part").valid());
  EXPECT_EQ(temp.Write("image"), 0);
  EXPECT_EQ(temp.Sync(), 0);
  bool exists = true;
  EXPECT_EQ(folder->Rename("NUL.bin.part", "NUL.bin", &exists), 0);
  EXPECT_FALSE(exists);
  ASSERT_TRUE(temp.Describe());
  EXPECT_EQ(temp.Describe()->size, 5u);
  temp.Close();
  FolderFile other = folder->Create("other.part");
  ASSERT_TRUE(other.valid());
  other.Close();
  EXPECT_NE(folder->Rename("other.part", "NUL.bin", &exists), 0);
  EXPECT_TRUE(exists);

  const std::optional<FolderEntry> entry = folder->Entry("NUL.bin");
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry->regular);
  EXPECT_EQ(entry->size, 5u);
  FolderFile in = folder->OpenForReading("NUL.bin");
  ASSERT_TRUE(in.valid());
  char buf[16] = {};
  EXPECT_EQ(in.Read(buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf), "image");
  in.Close();
  std::vector<std::string> names;
  folder->ForEach(100, [&](std::string_view name) {
    if (name != "." && name != "..") names.emplace_back(name);
    return true;
  });
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"NUL.bin", "other.part"}));
  EXPECT_EQ(folder->Remove("NUL.bin"), 0);
  EXPECT_FALSE(folder->Entry("NUL.bin"));
  EXPECT_TRUE(folder->FreeBytes());
  // Opened again, it is the same folder.
  EXPECT_TRUE(PrivateFolder::Open(Path("store"), &why)) << why;

#ifndef _WIN32
  fs::create_directory(dir_ / "open");
  fs::permissions(dir_ / "open", fs::perms::all);
  EXPECT_FALSE(PrivateFolder::Open(Path("open"), &why));
  EXPECT_EQ(why, "it must belong to the server's user and be writable by nobody else");
  fs::create_directory_symlink(dir_ / "store", dir_ / "link");
  EXPECT_FALSE(PrivateFolder::Open(Path("link"), &why));
  fs::create_symlink(dir_ / "outside", dir_ / "store" / "planted");
  EXPECT_FALSE(folder->Entry("planted")->regular);
  EXPECT_FALSE(folder->OpenForReading("planted").valid());
  EXPECT_FALSE(folder->Create("planted").valid());
  EXPECT_FALSE(fs::exists(dir_ / "outside"));
#endif
}

// The owner of this process's own loopback connection is this process's
// user, and nobody else. (Wine's TCP table names no owning processes, so
// there the owner cannot be told, which the access rule takes as a refusal.)
TEST(SocketOwner, OwnLoopbackPeerIsTheProcessUser) {
  ASSERT_TRUE(StartSockets());
  const SocketHandle listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_TRUE(IsValidSocket(listener));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const SocketHandle client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const SocketHandle served = accept(listener, nullptr, nullptr);
  ASSERT_TRUE(IsValidSocket(served));

  const std::optional<uint32_t> owner = LocalPeerOwner(static_cast<int>(served));
#ifdef _WIN32
  if (owner) {
    EXPECT_EQ(*owner, ProcessUser());
  }
#else
  ASSERT_TRUE(owner.has_value());
  EXPECT_EQ(*owner, ProcessUser());
#endif
  EXPECT_FALSE(DescribeUser(ProcessUser()).empty());
  EXPECT_FALSE(UserInGroup(ProcessUser(), "no-such-group-here"));
  const std::optional<PortHolder> holder = TcpPortHolder(0, ntohs(address.sin_port));
  ASSERT_TRUE(holder.has_value());
#ifdef _WIN32
  if (holder->pid != 0) {
    EXPECT_EQ(holder->uid, ProcessUser());
  }
#else
  EXPECT_EQ(holder->uid, ProcessUser());
#endif

  CloseSocket(served);
  CloseSocket(client);
  CloseSocket(listener);
}

}  // namespace
}  // namespace ferro
