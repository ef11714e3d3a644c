// ProfileStore over any file content, as SetProName, PostInitControl and StopPlug use it:
// load, read the six keys, write, save. A profile that could not be loaded must come out
// byte for byte as it went in; one that loaded must come out loadable, holding the values
// written and the key that was present before.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "profile/ProfileStore.h"

namespace {

void Check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

// One private folder per fuzzing process, removed at exit.
class ProfileFolder {
 public:
  ProfileFolder() {
    char pattern[] = "/tmp/engraving-fuzz-profile-XXXXXX";
    Check(mkdtemp(pattern) != nullptr, "no temporary folder");
    folder_ = pattern;
    path_ = folder_ + "/profile.xml";
  }
  ~ProfileFolder() {
    std::remove(path_.c_str());
    rmdir(folder_.c_str());
  }
  const std::string& Path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
};

const std::string& ProfilePath() {
  static const ProfileFolder folder;
  return folder.Path();
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

constexpr const char* kKeys[] = {"YStepOver", "Length",  "Width",
                                 "FeedRate",  "Inverse", "MaintainAspectRatio"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (64 << 10)) return -1;
  const std::string& path = ProfilePath();
  const std::string original(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << original;
  }

  bool loadFailed = false;
  {
    profile::ProfileStore store(path);
    loadFailed = store.LoadFailed();
    for (const char* key : kKeys) {
      store.ReadString("Engraving", key, "10.0");
      store.ReadInt("Engraving", key, 1);
    }
    store.WriteString("Engraving", "Width", "3.5");
    store.WriteInt("Engraving", "Inverse", -7);
  }

  if (loadFailed) {
    Check(ReadAll(path) == original, "a profile that failed to load was changed");
    return 0;
  }
  profile::ProfileStore again(path);
  Check(!again.LoadFailed(), "a saved profile does not load again");
  Check(again.ReadString("Engraving", "Width", "") == "3.5", "written text lost");
  Check(again.ReadInt("Engraving", "Inverse", 0) == -7, "written number lost");
  return 0;
}
