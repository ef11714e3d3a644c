#include "lcnc/WindowProtocol.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lcnc {

std::string EncodeMessage(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '\t';
    for (const char c : fields[i]) line += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
  }
  return line + '\n';
}

bool MessageReader::ReadAvailable(int fd) {
  char chunk[4096];
  while (true) {
    const ssize_t count = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (count > 0) {
      buffer_.append(chunk, size_t(count));
      continue;
    }
    if (count == 0) return false;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  }
}

bool MessageReader::Next(std::vector<std::string>* fields) {
  const size_t end = buffer_.find('\n');
  if (end == std::string::npos) return false;
  const std::string line = buffer_.substr(0, end);
  buffer_.erase(0, end + 1);
  fields->clear();
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    fields->push_back(
        line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return true;
}

bool SendMessage(int fd, const std::vector<std::string>& fields) {
  const std::string line = EncodeMessage(fields);
  size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t count = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    sent += size_t(count);
  }
  return true;
}

}  // namespace lcnc
