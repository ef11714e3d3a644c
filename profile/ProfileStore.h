// The plug-in's settings live in the host's own XML profile. A ProfileStore opens that file for
// the length of one entry point, reads and writes values as <root><Section><Key>text</Key>...,
// and saves the document when it is destroyed.
//
// A profile that exists but cannot be loaded is never overwritten (the host's own settings
// would be lost). A save replaces the file through a sibling renamed over it, so an interrupted
// save leaves the old file whole, but otherwise it behaves as writing the file would: owner,
// group and mode stay, a profile the saving process may not write is left alone, a symbolic
// link stays a link (also one whose target does not exist yet), and where no faithful sibling
// can be made (a folder that takes no new file, an owner that cannot be kept) the file is
// written in place.
#pragma once

#include <cstdint>
#include <string>

typedef struct _xmlDoc xmlDoc;
typedef struct _xmlNode xmlNode;

namespace profile {

class ProfileStore {
 public:
  // Opens the profile named by ProfileName().
  ProfileStore();
  // Opens the profile at path (an empty path loads nothing and saves nothing).
  explicit ProfileStore(std::string path);
  // Saves the document (unless its load failed), then releases it.
  virtual ~ProfileStore();
  ProfileStore(const ProfileStore&) = delete;
  ProfileStore& operator=(const ProfileStore&) = delete;

  // The key's text; defaultText when the key is missing or empty (an empty key element is
  // removed from the document).
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultText);
  // The key's leading decimal integer (" 12abc" gives 12, "abc" gives 0); defaultValue when
  // the key is missing or empty.
  int32_t ReadInt(const std::string& section, const std::string& key, int32_t defaultValue);
  // Set the key's text, creating the section and the key when missing. Always true.
  bool WriteString(const std::string& section, const std::string& key, const std::string& text);
  bool WriteInt(const std::string& section, const std::string& key, int32_t value);

  // Writes the document to the path now. False when there is nothing to save to, when the load
  // failed on an existing file, when the file may not be written (the process lacks write
  // permission, or, for root, its owner does), or when writing failed (the old file is then
  // left whole).
  bool Save();

  const std::string& Path() const { return path_; }
  // True when the file exists but could not be loaded (malformed, unreadable, a directory).
  bool LoadFailed() const { return loadFailed_; }

 private:
  void Load();
  xmlNode* FindKey(const std::string& section, const std::string& key) const;
  xmlNode* FindOrCreateKey(const std::string& section, const std::string& key);

  xmlDoc* document_ = nullptr;
  std::string path_;
  bool loadFailed_ = false;
};

// The profile location last handed over by the host; empty until then. Host thread only.
std::string& ProfileName();

// The store of the entry point now running, or null outside SetProName, PostInitControl and
// StopPlug.
ProfileStore* CurrentProfileStore();

// Creates a store on ProfileName() for one entry point and makes it current; destroying the
// scope saves and closes it.
class ScopedProfileStore {
 public:
  ScopedProfileStore();
  ~ScopedProfileStore();
  ScopedProfileStore(const ScopedProfileStore&) = delete;
  ScopedProfileStore& operator=(const ScopedProfileStore&) = delete;
  ProfileStore& Store() { return store_; }

 private:
  ProfileStore store_;
  ProfileStore* previous_;
};

// The C library's decimal integer conversion of a text: leading white space, an optional sign,
// then digits up to the first other character; 0 without digits; saturated to 32 bits.
int32_t LeadingInteger(const std::string& text);

}  // namespace profile
