// The lines that engrave-lcnc and its window process exchange over a socket: one message per
// line, fields separated by tabs. Host to window: "menu" popup item id, "status" text,
// "machine" state x y, "raster" text, "quit". Window to host: "menu" id, "cycle-start",
// "reset", "estop", "machine-on", "home", "go-to-zero", "close".
#pragma once

#include <string>
#include <vector>

namespace lcnc {

// One message as a line, newline included; tabs and newlines inside fields become blanks.
std::string EncodeMessage(const std::vector<std::string>& fields);

// Collects bytes from a socket and hands out whole messages.
class MessageReader {
 public:
  // Reads what the descriptor has without blocking. False once the other side has gone.
  bool ReadAvailable(int fd);
  // The next whole message, if one has arrived.
  bool Next(std::vector<std::string>* fields);

 private:
  std::string buffer_;
};

// Writes a whole message; false when the other side has gone.
bool SendMessage(int fd, const std::vector<std::string>& fields);

}  // namespace lcnc
