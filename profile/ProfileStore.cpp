#include "profile/ProfileStore.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <optional>
#include <string_view>

#include "profile/ProfileStoreTesting.h"

namespace profile {
namespace {

ProfileStore* gCurrentStore = nullptr;
RenameFunction gRename = &::rename;

const xmlChar* AsXml(const std::string& text) {
  return reinterpret_cast<const xmlChar*>(text.c_str());
}

// Element names compare as written in the file, prefix included.
bool HasName(const xmlNode* node, const std::string& name) {
  if (node->type != XML_ELEMENT_NODE) return false;
  std::string_view local(reinterpret_cast<const char*>(node->name));
  if (node->ns != nullptr && node->ns->prefix != nullptr) {
    std::string_view prefix(reinterpret_cast<const char*>(node->ns->prefix));
    return name.size() == prefix.size() + 1 + local.size() && name.starts_with(prefix) &&
           name[prefix.size()] == ':' && name.ends_with(local);
  }
  return local == name;
}

xmlNode* FirstChildNamed(xmlNode* parent, const std::string& name) {
  if (parent == nullptr) return nullptr;
  for (xmlNode* child = parent->children; child != nullptr; child = child->next) {
    if (HasName(child, name)) return child;
  }
  return nullptr;
}

xmlNode* AppendElement(xmlDoc* document, xmlNode* parent, const std::string& name) {
  xmlNode* element = xmlNewDocNode(document, nullptr, AsXml(name), nullptr);
  if (element == nullptr) return nullptr;
  if (xmlAddChild(parent, element) == nullptr) {
    xmlFreeNode(element);
    return nullptr;
  }
  return element;
}

std::string TextOf(const xmlNode* node) {
  xmlChar* content = xmlNodeGetContent(node);
  if (content == nullptr) return {};
  std::string text(reinterpret_cast<const char*>(content));
  xmlFree(content);
  return text;
}

bool WriteAll(int fd, const char* data, size_t size) {
  off_t offset = 0;
  while (size > 0) {
    const ssize_t written = ::pwrite(fd, data, size, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= size_t(written);
    offset += written;
  }
  return true;
}

// The file that a save must write: where a chain of symbolic links ends, whether or not that
// file exists yet, so that the links stay links. A relative link target counts from the link's
// own folder. Empty when the chain loops or cannot be read.
std::string ResolveSaveTarget(std::string path) {
  constexpr int kMaxLinks = 40;  // the kernel's own limit on a chain
  for (int links = 0; links < kMaxLinks; ++links) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
    if (length <= 0 || size_t(length) >= sizeof target) return {};
    const std::string linked(target, size_t(length));
    const size_t slash = path.rfind('/');
    path = linked.front() == '/' || slash == std::string::npos ? linked
                                                               : path.substr(0, slash + 1) + linked;
  }
  return {};
}

// Whether the profile may be replaced at all: only when the saving process may write it. Root,
// whom permission bits do not stop, still leaves a file alone whose owner may not write it: such
// a profile was made read-only on purpose.
bool MayWrite(const std::string& target, const struct stat& info) {
  if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;
  return ::geteuid() != 0 || (info.st_mode & S_IWUSR) != 0;
}

std::string SiblingName(const std::string& target) {
  static std::atomic<unsigned> counter{0};
  return target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

// Writes a new file beside the target and renames it over the target. nullopt when no sibling
// can stand in for the old file: the folder takes no new file, or the new file cannot be given
// the old one's owner, group and mode before any content goes into it.
std::optional<bool> ReplaceThroughSibling(const std::string& target, const struct stat* existing,
                                          std::string_view content) {
  const std::string sibling = SiblingName(target);
  const int fd = ::open(sibling.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                        existing != nullptr ? 0600 : 0666);
  if (fd < 0) return std::nullopt;
  if (existing != nullptr) {
    struct stat created;
    const bool sameOwner = ::fstat(fd, &created) == 0 && created.st_uid == existing->st_uid &&
                           created.st_gid == existing->st_gid;
    // The owner first: a change of owner clears set-id bits that the mode may then restore.
    const bool fit = (sameOwner || ::fchown(fd, existing->st_uid, existing->st_gid) == 0) &&
                     ::fchmod(fd, existing->st_mode & 07777) == 0;
    if (!fit) {
      ::close(fd);
      ::unlink(sibling.c_str());
      return std::nullopt;
    }
  }
  bool ok = WriteAll(fd, content.data(), content.size()) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = gRename(sibling.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(sibling.c_str());
  return ok;
}

// Writes over the target itself, as the host writes its file. Room for the new content is
// reserved first, so that a full disk fails before a byte changes, and the file is cut to its
// new length only once all of it is written.
bool WriteInPlace(const std::string& target, std::string_view content) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info;
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (ok && off_t(content.size()) > info.st_size)
    ok = ::posix_fallocate(fd, 0, off_t(content.size())) == 0;
  ok = ok && WriteAll(fd, content.data(), content.size()) &&
       ::ftruncate(fd, off_t(content.size())) == 0 && ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

}  // namespace

ProfileStore::ProfileStore() : ProfileStore(ProfileName()) {}

ProfileStore::ProfileStore(std::string path) : path_(std::move(path)) {
  Load();
  if (document_ != nullptr && xmlDocGetRootElement(document_) == nullptr) {
    xmlNode* root = xmlNewDocNode(document_, nullptr, BAD_CAST "profile", nullptr);
    if (root != nullptr) xmlDocSetRootElement(document_, root);
  }
}

ProfileStore::~ProfileStore() {
  Save();
  if (document_ != nullptr) xmlFreeDoc(document_);
}

void ProfileStore::Load() {
  if (!path_.empty()) {
    struct stat info;
    if (::stat(path_.c_str(), &info) != 0) {
      // Only a file that is not there may be created; any other failure to look at it
      // (permissions, a broken folder) must not lead to overwriting it.
      loadFailed_ = errno != ENOENT;
    } else if (!S_ISREG(info.st_mode)) {
      loadFailed_ = true;
    } else if (info.st_size > 0) {
      document_ = xmlReadFile(path_.c_str(), nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
      if (document_ == nullptr) loadFailed_ = true;
    }
  }
  if (document_ == nullptr) document_ = xmlNewDoc(BAD_CAST "1.0");
}

xmlNode* ProfileStore::FindKey(const std::string& section, const std::string& key) const {
  if (document_ == nullptr) return nullptr;
  return FirstChildNamed(FirstChildNamed(xmlDocGetRootElement(document_), section), key);
}

xmlNode* ProfileStore::FindOrCreateKey(const std::string& section, const std::string& key) {
  if (document_ == nullptr) return nullptr;
  xmlNode* root = xmlDocGetRootElement(document_);
  if (root == nullptr) return nullptr;
  xmlNode* sectionNode = FirstChildNamed(root, section);
  if (sectionNode == nullptr) {
    sectionNode = AppendElement(document_, root, section);
    if (sectionNode == nullptr) return nullptr;
    return AppendElement(document_, sectionNode, key);
  }
  xmlNode* keyNode = FirstChildNamed(sectionNode, key);
  return keyNode != nullptr ? keyNode : AppendElement(document_, sectionNode, key);
}

std::string ProfileStore::ReadString(const std::string& section, const std::string& key,
                                     const std::string& defaultText) {
  xmlNode* keyNode = FindKey(section, key);
  if (keyNode == nullptr) return defaultText;
  std::string text = TextOf(keyNode);
  if (text.empty()) {
    // An empty key is dropped from the profile; the next write appends it again.
    xmlUnlinkNode(keyNode);
    xmlFreeNode(keyNode);
    return defaultText;
  }
  return text;
}

int32_t ProfileStore::ReadInt(const std::string& section, const std::string& key,
                              int32_t defaultValue) {
  const std::string text = ReadString(section, key, std::string());
  return text.empty() ? defaultValue : LeadingInteger(text);
}

bool ProfileStore::WriteString(const std::string& section, const std::string& key,
                               const std::string& text) {
  xmlNode* keyNode = FindOrCreateKey(section, key);
  if (keyNode == nullptr) return true;
  while (keyNode->children != nullptr) {
    xmlNode* child = keyNode->children;
    xmlUnlinkNode(child);
    xmlFreeNode(child);
  }
  if (!text.empty()) {
    xmlNode* textNode = xmlNewDocText(document_, AsXml(text));
    if (textNode != nullptr && xmlAddChild(keyNode, textNode) == nullptr) xmlFreeNode(textNode);
  }
  return true;
}

bool ProfileStore::WriteInt(const std::string& section, const std::string& key, int32_t value) {
  return WriteString(section, key, std::to_string(value));
}

bool ProfileStore::Save() {
  if (document_ == nullptr || path_.empty() || loadFailed_) return false;
  const std::string target = ResolveSaveTarget(path_);
  if (target.empty()) return false;
  struct stat existing;
  const bool hadFile = ::stat(target.c_str(), &existing) == 0;
  if (!hadFile && errno != ENOENT) return false;
  if (hadFile && (!S_ISREG(existing.st_mode) || !MayWrite(target, existing))) return false;

  xmlChar* serialised = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(document_, &serialised, &size, "UTF-8");
  if (serialised == nullptr) return false;
  const std::string content(reinterpret_cast<const char*>(serialised), size_t(size));
  xmlFree(serialised);

  // A sibling renamed over the profile leaves the old file whole if the save is interrupted;
  // where no sibling can take the old file's place, the file is written where it is.
  const std::optional<bool> replaced =
      ReplaceThroughSibling(target, hadFile ? &existing : nullptr, content);
  if (replaced) return *replaced;
  return hadFile && WriteInPlace(target, content);
}

std::string& ProfileName() {
  static std::string name;
  return name;
}

ProfileStore* CurrentProfileStore() {
  return gCurrentStore;
}

ScopedProfileStore::ScopedProfileStore() : previous_(gCurrentStore) {
  gCurrentStore = &store_;
}

ScopedProfileStore::~ScopedProfileStore() {
  gCurrentStore = previous_;
}

int32_t LeadingInteger(const std::string& text) {
  size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  int64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    value = value * 10 + (text[at] - '0');
    if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return int32_t(value);
}

namespace testing {
RenameFunction SetRenameFunction(RenameFunction function) {
  RenameFunction previous = gRename;
  gRename = function != nullptr ? function : &::rename;
  return previous;
}
}  // namespace testing

}  // namespace profile
