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
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= size_t(written);
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
  xmlChar* serialised = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(document_, &serialised, &size, "UTF-8");
  if (serialised == nullptr) return false;

  // Write a sibling file and rename it over the profile, so that a failure at any point
  // leaves the old profile whole.
  const std::string target = ResolveSaveTarget(path_);
  if (target.empty()) {
    xmlFree(serialised);
    return false;
  }
  static std::atomic<unsigned> counter{0};
  const std::string temporary =
      target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  struct stat existing;
  const bool hadFile = ::stat(target.c_str(), &existing) == 0;
  bool ok = false;
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    ok = WriteAll(fd, reinterpret_cast<const char*>(serialised), size_t(size));
    if (ok && hadFile) ok = ::fchmod(fd, existing.st_mode & 07777) == 0;
    if (ok) ok = ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) ok = gRename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
  }
  xmlFree(serialised);
  return ok;
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
