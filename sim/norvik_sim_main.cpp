// norvik-sim: plugs the virtual Norvik-2 token into pcscd through vpcd.
//
// vpcd (the reader driver inside pcscd) listens on TCP; this program is its
// client. Every message either way is a 2-byte big-endian length and a
// payload. A 1-byte payload from the driver is a control byte (0 power off,
// 1 power on, 2 reset, 4 get ATR); anything longer is a command APDU.
// Dropping the TCP connection is what the driver reports as card removal,
// so "remove", "insert" and SIGUSR1 simply close and re-open it.
#include "NorvikSimModel.h"
#include "SimCard.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace norvik::sim;

namespace {

using Clock = std::chrono::steady_clock;

int g_signalPipe[2] = {-1, -1};

void OnSignal(int sig) {
  char c = static_cast<char>(sig);
  ssize_t ignored = write(g_signalPipe[1], &c, 1);
  (void)ignored;
}

struct Options {
  std::string host = "127.0.0.1";
  int port = 35963;
  ModelOptions model;
  std::string stateFile;
  std::string controlSocket;
  int reinsertGapMs = 500;
  bool verbose = false;
  bool help = false;
};

void Usage(std::ostream& out) {
  out << "usage: norvik-sim [options]\n"
         "Plugs a virtual Norvik-2 token into pcscd as a client of the vpcd reader driver.\n"
         "  --port N            vpcd port (default 35963 = \"Virtual PCD 00 00\", 35964 = \"... 00 01\")\n"
         "  --host ADDR         vpcd address (default 127.0.0.1)\n"
         "  --serial TEXT       serial number, 1-16 printable ASCII characters (default NV2A00000001)\n"
         "  --model M           100 | 50 | 100-nolock | 50-nolock (profiles, screen-lock feature; default 100)\n"
         "  --confirm P         accept | refuse | timeout (key change / factory reset; default accept)\n"
         "  --tries N           wrong cryptograms before the key locks, 0-15 (default 5); 0 = never (6F 08)\n"
         "  --state FILE        keep keys, profiles and settings in FILE across restarts\n"
         "  --control SOCKET    Unix socket for control lines (norvik-simctl --help lists them)\n"
         "  --reinsert-gap MS   pause between removal and insertion on SIGUSR1 (default 500)\n"
         "  -v, --verbose       log every APDU and control line to stderr\n"
         "  -h, --help          show this text and exit\n"
         "SIGTERM or SIGINT ends it; SIGUSR1 removes and re-inserts the card.\n"
         "The state file also keeps the serial number: once it exists, its serial wins over --serial.\n";
}

bool ParseInt(const std::string& s, int& out) {
  try {
    size_t pos = 0;
    out = std::stoi(s, &pos);
    return pos == s.size();
  } catch (...) {
    return false;
  }
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "-h" || a == "--help") {
      o.help = true;
    } else if (a == "-v" || a == "--verbose") {
      o.verbose = true;
    } else if (a == "--port") {
      if (!value(v) || !ParseInt(v, o.port) || o.port <= 0 || o.port > 65535) return false;
    } else if (a == "--host") {
      if (!value(o.host)) return false;
    } else if (a == "--serial") {
      if (!value(v) || !IsValidSerial(v)) return false;
      o.model.serial = v;
    } else if (a == "--model") {
      if (!value(v)) return false;
      if (v == "100")
        o.model = {o.model.serial, 100, true, o.model.maxTries, o.model.confirm};
      else if (v == "50")
        o.model = {o.model.serial, 50, true, o.model.maxTries, o.model.confirm};
      else if (v == "100-nolock")
        o.model = {o.model.serial, 100, false, o.model.maxTries, o.model.confirm};
      else if (v == "50-nolock")
        o.model = {o.model.serial, 50, false, o.model.maxTries, o.model.confirm};
      else
        return false;
    } else if (a == "--confirm") {
      auto p = value(v) ? ParseConfirmPolicy(v) : std::nullopt;
      if (!p) return false;
      o.model.confirm = *p;
    } else if (a == "--tries") {
      if (!value(v) || !ParseInt(v, o.model.maxTries) || o.model.maxTries < 0 || o.model.maxTries > 15) return false;
    } else if (a == "--state") {
      if (!value(o.stateFile)) return false;
    } else if (a == "--control") {
      if (!value(o.controlSocket)) return false;
    } else if (a == "--reinsert-gap") {
      if (!value(v) || !ParseInt(v, o.reinsertGapMs) || o.reinsertGapMs < 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool SendAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

class Daemon {
 public:
  Daemon(Options o) : opt_(std::move(o)), model_(opt_.model), card_(model_) {}

  int Run();

 private:
  void Log(const std::string& s) { std::cerr << "norvik-sim[" << opt_.port << "]: " << s << std::endl; }
  bool LoadState();
  void SaveStateIfChanged();
  bool OpenControl();
  void TryConnect();
  void Disconnect(const char* why);
  void OnVpcdReadable();
  void HandleFrame(const Bytes& payload);
  void SendFrame(const Bytes& payload);
  void OnControlReadable(size_t idx);
  std::string RunControl(const std::string& line);
  void Reinsert(int gapMs);

  Options opt_;
  NorvikSimModel model_;
  SimCard card_;
  uint64_t savedGeneration_ = 0;
  int vpcd_ = -1;
  bool wantInserted_ = true;
  Clock::time_point nextAttempt_ = Clock::now();
  Bytes inbuf_;
  int controlListen_ = -1;
  struct ControlClient {
    int fd;
    std::string buf;
  };
  std::vector<ControlClient> clients_;
  bool quit_ = false;
  bool loggedRefused_ = false;
};

bool Daemon::LoadState() {
  if (opt_.stateFile.empty()) return true;
  std::ifstream in(opt_.stateFile);
  if (!in) {
    Log("no state file yet, starting from factory state: " + opt_.stateFile);
    return true;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  std::string err;
  if (!model_.LoadState(ss.str(), &err)) {
    Log("cannot use state file " + opt_.stateFile + ": " + err);
    return false;
  }
  savedGeneration_ = model_.generation();
  return true;
}

void Daemon::SaveStateIfChanged() {
  if (opt_.stateFile.empty() || model_.generation() == savedGeneration_) return;
  std::string tmp = opt_.stateFile + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << model_.SaveState();
    if (!out.flush()) {
      Log("cannot write " + tmp);
      return;
    }
  }
  if (rename(tmp.c_str(), opt_.stateFile.c_str()) != 0) {
    Log("cannot replace " + opt_.stateFile + ": " + strerror(errno));
    return;
  }
  savedGeneration_ = model_.generation();
}

bool Daemon::OpenControl() {
  if (opt_.controlSocket.empty()) return true;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (opt_.controlSocket.size() >= sizeof addr.sun_path) {
    Log("control socket path too long");
    return false;
  }
  std::strcpy(addr.sun_path, opt_.controlSocket.c_str());
  unlink(addr.sun_path);
  controlListen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (controlListen_ < 0 || bind(controlListen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(controlListen_, 8) != 0) {
    Log("cannot listen on " + opt_.controlSocket + ": " + strerror(errno));
    return false;
  }
  return true;
}

void Daemon::TryConnect() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(opt_.port));
  if (inet_pton(AF_INET, opt_.host.c_str(), &addr.sin_addr) != 1) {
    Log("bad host address " + opt_.host);
    close(fd);
    quit_ = true;
    return;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (!loggedRefused_) Log("waiting for vpcd on port " + std::to_string(opt_.port) + " (" + strerror(errno) + ")");
    loggedRefused_ = true;
    close(fd);
    nextAttempt_ = Clock::now() + std::chrono::milliseconds(200);
    return;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  vpcd_ = fd;
  loggedRefused_ = false;
  inbuf_.clear();
  card_.PowerEvent();
  Log("card inserted (connected to vpcd)");
}

void Daemon::Disconnect(const char* why) {
  if (vpcd_ < 0) return;
  close(vpcd_);
  vpcd_ = -1;
  inbuf_.clear();
  card_.PowerEvent();
  Log(std::string("card removed (") + why + ")");
  nextAttempt_ = Clock::now() + std::chrono::milliseconds(200);
}

void Daemon::Reinsert(int gapMs) {
  Disconnect("reinsert");
  wantInserted_ = true;
  nextAttempt_ = Clock::now() + std::chrono::milliseconds(gapMs);
}

void Daemon::SendFrame(const Bytes& payload) {
  uint8_t hdr[2] = {static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
  Bytes frame(hdr, hdr + 2);
  frame.insert(frame.end(), payload.begin(), payload.end());
  if (!SendAll(vpcd_, frame.data(), frame.size())) Disconnect("send failed");
}

void Daemon::HandleFrame(const Bytes& payload) {
  if (payload.size() == 1) {
    switch (payload[0]) {
      case 0:  // power off
      case 1:  // power on
      case 2:  // reset
        card_.PowerEvent();
        break;
      case 4: SendFrame(model_.Atr()); break;
      default: Log("unknown control byte " + ToHex(payload)); break;
    }
    return;
  }
  SimCard::Answer a = card_.Transmit(payload);
  if (a.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(a.delayMs));
  if (opt_.verbose) Log("> " + ToHex(payload) + "\n< " + ToHex(a.response));
  if (a.pull == Pull::InsteadOfAnswer) {
    // Pulled while the command ran: what it changed stays, its answer is lost.
    SaveStateIfChanged();
    wantInserted_ = false;
    Disconnect("pulled before answering");
    return;
  }
  SendFrame(a.response);
  SaveStateIfChanged();
  if (a.pull == Pull::AfterAnswer && vpcd_ >= 0) {
    wantInserted_ = false;
    Disconnect("pulled after answering");
    return;
  }
  if (a.response.empty() && vpcd_ >= 0) {
    // vpcd keeps waiting for payload bytes after an empty frame, which would
    // wedge the reader for good. Pulling the card out ends that wait: the
    // host sees the exchange fail, and the card comes back by itself.
    Log("empty response sent; re-inserting so the reader does not hang");
    Reinsert(opt_.reinsertGapMs);
  }
}

void Daemon::OnVpcdReadable() {
  uint8_t buf[4096];
  ssize_t n = recv(vpcd_, buf, sizeof buf, 0);
  if (n < 0 && errno == EINTR) return;
  if (n <= 0) {
    Disconnect(n == 0 ? "vpcd closed the connection" : "receive failed");
    return;
  }
  // vpcd writes the length prefix and the payload separately; without a quick
  // ACK its Nagle wait meets our delayed ACK and every APDU costs ~40 ms.
  int one = 1;
  setsockopt(vpcd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
  inbuf_.insert(inbuf_.end(), buf, buf + n);
  while (vpcd_ >= 0 && inbuf_.size() >= 2) {
    size_t len = (size_t{inbuf_[0]} << 8) | inbuf_[1];
    if (inbuf_.size() < 2 + len) break;
    Bytes payload(inbuf_.begin() + 2, inbuf_.begin() + 2 + static_cast<long>(len));
    inbuf_.erase(inbuf_.begin(), inbuf_.begin() + 2 + static_cast<long>(len));
    HandleFrame(payload);
  }
}

std::string Daemon::RunControl(const std::string& line) {
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  if (cmd == "remove") {
    wantInserted_ = false;
    Disconnect("remove");
    return "ok";
  }
  if (cmd == "insert") {
    wantInserted_ = true;
    nextAttempt_ = Clock::now();
    return "ok";
  }
  if (cmd == "reinsert") {
    int gap = opt_.reinsertGapMs;
    std::string v;
    if (in >> v && (!ParseInt(v, gap) || gap < 0 || gap > 60000)) return "err usage: reinsert [MS]";
    Reinsert(gap);
    return "ok";
  }
  if (cmd == "insert-new") {
    // The operator pulls the token and puts another in: the gap lets pcscd,
    // which polls the reader, see the reader empty in between.
    std::string serial, v;
    int gap = opt_.reinsertGapMs;
    if (!(in >> serial) || !IsValidSerial(serial) || (in >> v && (!ParseInt(v, gap) || gap < 0 || gap > 60000)) ||
        in >> v)
      return "err usage: insert-new SERIAL [MS]";
    Reinsert(gap);
    card_.NewToken(serial);
    SaveStateIfChanged();
    Log("token " + serial + " (factory state) goes in after " + std::to_string(gap) + " ms");
    return "ok";
  }
  if (auto reply = card_.Control(line)) {
    if (cmd == "status" && reply->rfind("ok", 0) == 0) {
      *reply += " inserted=" + std::to_string(vpcd_ >= 0 ? 1 : 0) + " port=" + std::to_string(opt_.port) +
                " pid=" + std::to_string(getpid());
    }
    SaveStateIfChanged();
    return *reply;
  }
  if (cmd.empty()) return "err empty line";
  return "err unknown command: " + cmd;
}

void Daemon::OnControlReadable(size_t idx) {
  char buf[1024];
  ssize_t n = recv(clients_[idx].fd, buf, sizeof buf, 0);
  if (n <= 0) {
    close(clients_[idx].fd);
    clients_[idx].fd = -1;
    return;
  }
  clients_[idx].buf.append(buf, static_cast<size_t>(n));
  if (clients_[idx].buf.size() > 4096) {  // nobody sends lines that long
    close(clients_[idx].fd);
    clients_[idx].fd = -1;
    return;
  }
  size_t nl;
  while ((nl = clients_[idx].buf.find('\n')) != std::string::npos) {
    std::string line = clients_[idx].buf.substr(0, nl);
    clients_[idx].buf.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string reply = RunControl(line) + "\n";
    if (opt_.verbose) Log("control: " + line + " -> " + reply.substr(0, reply.size() - 1));
    if (!SendAll(clients_[idx].fd, reinterpret_cast<const uint8_t*>(reply.data()), reply.size())) {
      close(clients_[idx].fd);
      clients_[idx].fd = -1;
      return;
    }
  }
}

int Daemon::Run() {
  if (!LoadState() || !OpenControl()) return 1;
  Log("serial " + model_.options().serial + ", " + std::to_string(opt_.model.profileCount) + " profiles" +
      (opt_.model.screenLockSupported ? "" : ", no screen lock") + ", confirm " + ToString(opt_.model.confirm));
  while (!quit_) {
    if (vpcd_ < 0 && wantInserted_ && Clock::now() >= nextAttempt_) TryConnect();

    std::vector<pollfd> fds;
    fds.push_back({g_signalPipe[0], POLLIN, 0});
    size_t vpcdIdx = SIZE_MAX, listenIdx = SIZE_MAX, firstClient = 0;
    if (vpcd_ >= 0) {
      vpcdIdx = fds.size();
      fds.push_back({vpcd_, POLLIN, 0});
    }
    if (controlListen_ >= 0) {
      listenIdx = fds.size();
      fds.push_back({controlListen_, POLLIN, 0});
    }
    firstClient = fds.size();
    for (auto& c : clients_) fds.push_back({c.fd, POLLIN, 0});

    int timeout = -1;
    if (vpcd_ < 0 && wantInserted_) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - Clock::now()).count();
      timeout = static_cast<int>(std::max<long long>(0, ms));
    }
    int r = poll(fds.data(), fds.size(), timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      Log(std::string("poll: ") + strerror(errno));
      return 1;
    }
    if (fds[0].revents & POLLIN) {
      char sig[16];
      ssize_t n = read(g_signalPipe[0], sig, sizeof sig);
      for (ssize_t i = 0; i < n; ++i) {
        if (sig[i] == SIGUSR1) {
          Log("SIGUSR1: removing and re-inserting the card");
          Reinsert(opt_.reinsertGapMs);
        } else {
          quit_ = true;
        }
      }
    }
    if (vpcdIdx != SIZE_MAX && vpcd_ >= 0 && (fds[vpcdIdx].revents & (POLLIN | POLLHUP | POLLERR))) OnVpcdReadable();
    for (size_t i = 0; i < clients_.size(); ++i)
      if (fds[firstClient + i].revents & (POLLIN | POLLHUP | POLLERR)) OnControlReadable(i);
    std::erase_if(clients_, [](const ControlClient& c) { return c.fd < 0; });
    if (listenIdx != SIZE_MAX && (fds[listenIdx].revents & POLLIN)) {
      int c = accept4(controlListen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) clients_.push_back({c, {}});
    }
  }
  Disconnect("shutting down");
  SaveStateIfChanged();
  for (auto& c : clients_) close(c.fd);
  if (controlListen_ >= 0) {
    close(controlListen_);
    unlink(opt_.controlSocket.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (!ParseArgs(argc, argv, opt)) {
    Usage(std::cerr);
    return 2;
  }
  if (opt.help) {
    Usage(std::cout);
    return 0;
  }
  if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGUSR1, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  try {
    Daemon d(std::move(opt));
    return d.Run();
  } catch (const std::exception& e) {
    std::cerr << "norvik-sim: " << e.what() << std::endl;
    return 1;
  }
}
