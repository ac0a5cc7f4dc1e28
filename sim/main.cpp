// sim/main.cpp — busfinder-sim: plays a multidrop line of devices on a pseudo-terminal for busfinder to scan.
//
// The program keeps the master side of a pty pair; busfinder opens the slave as its serial port.
// Every byte busfinder writes is read from the master together with the parity the slave was set
// to at that moment, handed to the shared device model, and the model's replies are written back
// to the master when their delay has passed. One thread, one poll loop, timers on CLOCK_MONOTONIC.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "comm/sim/DeviceModel.h"
#include "sim/Exposure.h"
#include "sim/SimOptions.h"

namespace {

using busfinder_sim::Options;
using comm::sim::Parity;

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The parity the slave side is set to, read through the master. A Linux pty keeps CMSPAR and
// PARODD as the client set them but clears PARENB (it has no wire to put a parity bit on), so
// CMSPAR alone tells that a mark/space parity was asked for; PARENB shows up only on a real tty.
Parity SlaveParity(int master) {
  termios t{};
  if (tcgetattr(master, &t) != 0) return Parity::None;
  if (t.c_cflag & CMSPAR) return (t.c_cflag & PARODD) ? Parity::Mark : Parity::Space;
  if (t.c_cflag & PARENB) return (t.c_cflag & PARODD) ? Parity::Odd : Parity::Even;
  return Parity::None;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char b[4];
  for (std::uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02X", v);
    if (!text.empty()) text += ',';
    text += b;
  }
  return text;
}

struct Pending {
  std::vector<std::uint8_t> bytes;
  const char* cause;  // "reply", "loopback", "noise"
};

class Line {
 public:
  Line(const Options& options, int master, FILE* log)
      : options_(options), model_(options.line), master_(master), log_(log),
        noiseRandom_(options.line.seed ^ 0x6e6f697365ULL) {}

  // Runs until a stop signal (returns "signal") or a vanish fault ("vanish").
  const char* Run(int signalFd) {
    start_ = NowNs();
    if (options_.noisePerSecond > 0) ScheduleNoise(start_);
    const std::int64_t vanishAt = options_.vanishAfterSeconds
                                      ? start_ + static_cast<std::int64_t>(*options_.vanishAfterSeconds * 1e9)
                                      : INT64_MAX;
    bool slaveClosed = false;
    for (;;) {
      const std::int64_t now = NowNs();
      if (now >= vanishAt) return Vanish("time");
      SendDue(now);
      std::int64_t next = vanishAt;
      if (!pending_.empty()) next = std::min(next, pending_.begin()->first);
      // While no client has the slave open the master reports a hang-up at once on every poll;
      // look again each millisecond for a client instead of spinning.
      if (slaveClosed) next = std::min(next, now + 1'000'000);
      timespec timeout{};
      timespec* timeoutPtr = nullptr;
      if (next != INT64_MAX) {
        const std::int64_t wait = std::max<std::int64_t>(0, next - now);
        timeout.tv_sec = wait / 1'000'000'000;
        timeout.tv_nsec = wait % 1'000'000'000;
        timeoutPtr = &timeout;
      }
      // poll() reports a hang-up whatever events are asked for: leave the master out meanwhile.
      pollfd fds[2] = {{signalFd, POLLIN, 0}, {slaveClosed ? -1 : master_, POLLIN, 0}};
      const int ready = ppoll(fds, 2, timeoutPtr, nullptr);
      if (ready < 0 && errno != EINTR) return "error";
      if (fds[0].revents & POLLIN) return "signal";
      slaveClosed = false;
      if (fds[1].revents & POLLIN) {
        if (ReadMaster()) return Vanish("bytes");
      } else if (fds[1].revents & POLLHUP) {
        slaveClosed = true;
      }
    }
  }

  void Summary(const char* end) const {
    std::fprintf(stderr,
                 "busfinder-sim: summary in=%" PRIu64 " mark=%" PRIu64 " space=%" PRIu64 " none=%" PRIu64
                 " other=%" PRIu64 " answered=%" PRIu64 " out=%" PRIu64 " noise=%" PRIu64 " late_max_us=%" PRId64
                 " seconds=%.3f end=%s\n",
                 in_, byParity_[static_cast<int>(Parity::Mark)], byParity_[static_cast<int>(Parity::Space)],
                 byParity_[static_cast<int>(Parity::None)],
                 byParity_[static_cast<int>(Parity::Odd)] + byParity_[static_cast<int>(Parity::Even)], answered_,
                 out_, noise_, lateMaxNs_ / 1000, (NowNs() - start_) / 1e9, end);
  }

 private:
  double Seconds(std::int64_t ns) const { return (ns - start_) / 1e9; }

  // True when the line vanished on a byte count.
  bool ReadMaster() {
    std::uint8_t buffer[256];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;  // EIO: the client closed the slave after writing
    const std::int64_t now = NowNs();
    const Parity parity = SlaveParity(master_);
    for (ssize_t i = 0; i < n; ++i) {
      ++in_;
      ++byParity_[static_cast<int>(parity)];
      if (options_.vanishAfterBytes && in_ >= *options_.vanishAfterBytes) {
        LogIn(now, buffer[i], parity, {});
        return true;
      }
      const std::vector<comm::sim::Reply> replies = model_.OnByte(buffer[i], parity);
      LogIn(now, buffer[i], parity, replies);
      for (const comm::sim::Reply& reply : replies) {
        if (reply.bytes.empty()) continue;
        // A reply of the devices counts as an answer; the plug's echo does not.
        const bool echo = options_.line.loopback && reply.delayMs == 0 && &reply == &replies.front();
        if (!echo) ++answered_;
        pending_.emplace(now + static_cast<std::int64_t>(reply.delayMs) * 1'000'000,
                         Pending{reply.bytes, echo ? "loopback" : "reply"});
      }
    }
    return false;
  }

  void SendDue(std::int64_t now) {
    while (!pending_.empty() && pending_.begin()->first <= now) {
      const std::int64_t due = pending_.begin()->first;
      Pending p = std::move(pending_.begin()->second);
      pending_.erase(pending_.begin());
      if (std::strcmp(p.cause, "noise") == 0) {
        ScheduleNoise(due);
        ++noise_;
      }
      // Written even while no client holds the slave: the bytes then wait in the pty like bytes
      // on a wire nobody listens to, and the next client's purge discards them.
      const ssize_t written = write(master_, p.bytes.data(), p.bytes.size());
      const std::int64_t sent = NowNs();
      lateMaxNs_ = std::max(lateMaxNs_, sent - due);
      out_ += written > 0 ? static_cast<std::uint64_t>(written) : 0;
      if (log_ != nullptr) {
        std::fprintf(log_, "{\"t\":%.6f,\"sent\":\"%s\",\"cause\":\"%s\",\"late_us\":%" PRId64 "}\n", Seconds(sent),
                     Hex(p.bytes).c_str(), p.cause, (sent - due) / 1000);
      }
    }
  }

  void ScheduleNoise(std::int64_t from) {
    std::exponential_distribution<double> gap(options_.noisePerSecond);
    const auto ns = static_cast<std::int64_t>(gap(noiseRandom_) * 1e9);
    pending_.emplace(from + ns, Pending{{static_cast<std::uint8_t>(noiseRandom_() & 0xFF)}, "noise"});
  }

  void LogIn(std::int64_t now, std::uint8_t byte, Parity parity, const std::vector<comm::sim::Reply>& replies) {
    if (log_ == nullptr) return;
    std::string answered;
    for (const comm::sim::Reply& reply : replies) {
      if (!answered.empty()) answered += ',';
      answered += "{\"bytes\":\"" + Hex(reply.bytes) + "\",\"delay_ms\":" + std::to_string(reply.delayMs) + "}";
    }
    std::fprintf(log_, "{\"t\":%.6f,\"byte\":\"%02X\",\"parity\":\"%s\",\"answered\":[%s]}\n", Seconds(now), byte,
                 comm::sim::ParityName(parity), answered.c_str());
  }

  const char* Vanish(const char* why) {
    // Like an unplugged adapter: the client's next read or write on the slave fails.
    close(master_);
    master_ = -1;
    if (log_ != nullptr) std::fprintf(log_, "{\"t\":%.6f,\"event\":\"vanish\",\"after\":\"%s\"}\n", Seconds(NowNs()), why);
    return "vanish";
  }

  const Options& options_;
  comm::sim::DeviceModel model_;
  int master_;
  FILE* log_;
  std::mt19937_64 noiseRandom_;
  std::multimap<std::int64_t, Pending> pending_;  // due time (ns) → bytes
  std::int64_t start_ = 0;
  std::uint64_t in_ = 0, answered_ = 0, out_ = 0, noise_ = 0;
  std::uint64_t byParity_[5] = {};
  std::int64_t lateMaxNs_ = 0;

 public:
  int Master() const { return master_; }
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!busfinder_sim::ParseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "busfinder-sim: %s\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(busfinder_sim::UsageText(), stdout);
    return 0;
  }

  // Stop signals are read from a signalfd in the poll loop, so a stop between two steps of the
  // set-up (or of the undo) waits for its turn instead of leaving a link behind.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signalFd = signalfd(-1, &stops, SFD_CLOEXEC);
  if (options.exitWithParent) {
    // A test driver that dies without stopping us must not leave the line (and its links) behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0);
    if (getppid() == 1) return 1;  // the parent is already gone
  }
  // Reply delays are meant to the millisecond; the default 50 µs timer slack is fine, but ask for less.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);

  FILE* log = nullptr;
  if (!options.logPath.empty()) {
    log = std::fopen(options.logPath.c_str(), "w");
    if (log == nullptr) {
      std::fprintf(stderr, "busfinder-sim: --log: cannot write %s: %s\n", options.logPath.c_str(), std::strerror(errno));
      return 1;
    }
    setvbuf(log, nullptr, _IOLBF, 0);  // whole lines, so a reader sees them as they happen
  }

  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::fprintf(stderr, "busfinder-sim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  const std::string slave = ptsname(master);
  {
    // Start the slave raw, so that a client that sets nothing finds a clean 8-bit line.
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(master, TCSANOW, &t);
  }

  busfinder_sim::Exposure exposure;
  bool ok = true;
  if (ok && !options.linkPath.empty()) ok = exposure.AddLink(options.linkPath, slave, "--link", &error);
  if (ok && options.comPort != 0) ok = exposure.AddLinuxCom(options.comPort, slave, &error);
  if (ok && options.wineComPort != 0) ok = exposure.AddWineCom(options.wineComPort, slave, &error);
  if (!ok) {
    std::fprintf(stderr, "busfinder-sim: %s\n", error.c_str());
    exposure.Undo();
    close(master);
    return 1;
  }

  Line line(options, master, log);
  std::printf("ready %s\n", slave.c_str());
  std::fflush(stdout);
  const char* end = "signal";
  {
    // A stop already pending from the set-up ends the run at once; the loop sees it first thing.
    end = line.Run(signalFd);
  }
  if (line.Master() >= 0) close(line.Master());
  exposure.Undo(/*restartWine=*/std::strcmp(end, "vanish") != 0);
  line.Summary(end);
  if (log != nullptr) std::fclose(log);
  return std::strcmp(end, "error") == 0 ? 1 : 0;
}
