// norvik-simctl SOCKET [LINE...]: sends control lines to a running
// norvik-sim and prints each reply. Without LINE arguments the lines come
// from standard input. Exit status: 0 when every reply starts with "ok",
// 1 when one does not, 2 when the socket cannot be reached.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

bool SendLine(int fd, const std::string& line) {
  std::string out = line + "\n";
  const char* p = out.data();
  size_t n = out.size();
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool ReadLine(int fd, std::string& buf, std::string& line) {
  for (;;) {
    size_t nl = buf.find('\n');
    if (nl != std::string::npos) {
      line = buf.substr(0, nl);
      buf.erase(0, nl + 1);
      return true;
    }
    char tmp[512];
    ssize_t r = recv(fd, tmp, sizeof tmp, 0);
    if (r <= 0) return false;
    buf.append(tmp, static_cast<size_t>(r));
  }
}

constexpr const char kUsage[] =
    "usage: norvik-simctl SOCKET [LINE...]\n"
    "Sends control lines to a running norvik-sim through its control socket (--control)\n"
    "and prints each reply; without LINE arguments the lines come from standard input.\n"
    "Lines: status | remove | insert | reinsert [MS] | clear | confirm accept|refuse|timeout\n"
    "       clock SECONDS | delay MS | sw XXXX | sw-ins II XXXX|off | getresponse N|forever|off\n"
    "       short 0|1|2 | remove-after N | remove-during N | insert-new SERIAL [MS]\n"
    "(sw, getresponse N, short and delay apply to the next command APDU only, sw-ins to every\n"
    "command with INS II until \"sw-ins II off\" or clear; remove-after N pulls the card once\n"
    "the Nth next command is answered, remove-during N while it runs, before its answer;\n"
    "insert-new swaps in a fresh factory-state token with that serial number;\n"
    "docs/sim.md has the details).\n"
    "Exit status: 0 when every reply starts with \"ok\", 1 when one does not,\n"
    "2 when the socket cannot be reached or the connection is lost.\n"
    "  -h, --help   show this text and exit\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::cout << kUsage;
    return 0;
  }
  if (argc < 2) {
    std::cerr << kUsage;
    return 2;
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (std::strlen(argv[1]) >= sizeof addr.sun_path) {
    std::cerr << "norvik-simctl: socket path too long\n";
    return 2;
  }
  std::strcpy(addr.sun_path, argv[1]);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::cerr << "norvik-simctl: cannot connect to " << argv[1] << ": " << std::strerror(errno) << "\n";
    return 2;
  }
  std::vector<std::string> lines(argv + 2, argv + argc);
  if (lines.empty())
    for (std::string l; std::getline(std::cin, l);) lines.push_back(l);
  int status = 0;
  std::string buf, reply;
  for (const std::string& l : lines) {
    if (!SendLine(fd, l) || !ReadLine(fd, buf, reply)) {
      std::cerr << "norvik-simctl: connection lost\n";
      close(fd);
      return 2;
    }
    std::cout << reply << "\n";
    if (reply.rfind("ok", 0) != 0) status = 1;
  }
  close(fd);
  return status;
}
