// tests/reliability/NativeSearchTest.cpp — the search through the Qt window over the termios layer against busfinder-sim: the line vanishing, a busy port, bad ports-folder entries, a noisy line and repeated real searches.
//
// Real time: each search takes its ten seconds. BUSFINDER_REAL_SEARCHES sets how many searches
// the repeated-search test makes (default 3; 100 for the long run, about 17 minutes).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "search/Main.h"
#include "serial/BusScan.h"
#include "tests/reliability/Reliability.h"
#include "ui/Forms.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using reliability::Figures;
using Clock = std::chrono::steady_clock;


// A private ports folder for the whole program: the simulator links its COMn there and the
// termios layer looks there. COM90–COM99 have no built-in device to fall back on (COM97–99 none at all).
fs::path g_home;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A child program; its output goes to a file (stdout, for the simulator the first line only is
// read through a pipe).
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { Stop(); }

  // Starts `args`; with `readyLine` waits (up to 20 s) for the first stdout line and returns it.
  std::string Start(const std::vector<std::string>& args, const fs::path& output, bool readyLine) {
    int out[2] = {-1, -1};
    if (readyLine && pipe2(out, O_CLOEXEC) != 0) return "pipe failed";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (readyLine) {
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (output.string() + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    // A group of its own, so that Stop ends what it started too (flock(1) runs its command as a
    // child that inherits the locked file).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int rc = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (readyLine) close(out[1]);
    if (rc != 0) {
      pid_ = -1;
      if (readyLine) close(out[0]);
      return "cannot start " + args[0];
    }
    if (!readyLine) return {};
    std::string line;
    char c = 0;
    pollfd p{out[0], POLLIN, 0};
    while (poll(&p, 1, 20000) == 1 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);  // the simulator writes nothing more on stdout
    return line;
  }

  // Waits up to `seconds` for the child to end by itself; its exit status, or -1.
  int Wait(double seconds) {
    const auto start = Clock::now();
    while (pid_ > 0 && Seconds(start) < seconds) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

// busfinder-sim with its byte log; `Slave()` is its port.
class Sim {
 public:
  explicit Sim(const std::string& name, std::vector<std::string> options) : log_(g_home / (name + ".jsonl")) {
    std::vector<std::string> args = {BUSFINDER_SIM_PATH, "--exit-with-parent", "--log", log_.string()};
    args.insert(args.end(), options.begin(), options.end());
    const std::string ready = child_.Start(args, g_home / (name + ".out"), true);
    if (ready.rfind("ready ", 0) == 0) slave_ = ready.substr(6);
  }
  const std::string& Slave() const { return slave_; }
  int Wait(double seconds) { return child_.Wait(seconds); }
  void Stop() { child_.Stop(); }
  std::vector<std::string> Log() const {
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  fs::path log_;
  Child child_;
  std::string slave_;
};

// A string field of one log line: "byte":"05" → 05.
std::string Field(const std::string& line, const std::string& key) {
  const std::string tag = "\"" + key + "\":";
  const std::size_t at = line.find(tag);
  if (at == std::string::npos) return {};
  std::size_t begin = at + tag.size();
  if (line[begin] == '"') {
    ++begin;
    return line.substr(begin, line.find('"', begin) - begin);
  }
  return line.substr(begin, line.find_first_of(",}", begin) - begin);
}

// Address bytes the line received, in order.
std::vector<std::string> AddressesReceived(const std::vector<std::string>& log) {
  std::vector<std::string> bytes;
  for (const std::string& line : log)
    if (!Field(line, "byte").empty()) bytes.push_back(Field(line, "byte"));
  return bytes;
}

struct Outcome {
  reliability::Listed listed;
  int boxes = 0;
  bool controlsEnabled = false;
  std::string status;
  double wallSeconds = 0;
  double cpuSeconds = 0;
};

class NativeWindow : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char dir[] = "/tmp/busfinder-reliability-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    g_home = dir;
    setenv("XDG_CONFIG_HOME", dir, 1);
    fs::create_directories(g_home / "busfinder" / "ports");
  }
  static void TearDownTestSuite() { fs::remove_all(g_home); }

  void SetUp() override {
    form = std::make_unique<TMainForm>();
    form->Show();
    ui::Application->SetMessageBoxHook([this](const std::string& text, const std::string& caption, unsigned flags) {
      EXPECT_EQ(text, mainform::kPortUnavailable);
      EXPECT_EQ(caption, mainform::kBoxCaption);
      EXPECT_EQ(flags, ui::mbIconError | ui::mbOK);
      ++boxes;
      return 1;
    });
  }
  void TearDown() override {
    ui::Application->SetMessageBoxHook(nullptr);
    form.reset();
  }

  Outcome Search(int port) {
    form->ComSpin->SetValue(port);
    const int boxesBefore = boxes;
    const auto wall = Clock::now();
    const double cpu = CpuSeconds();
    form->FindButton->Click();
    Outcome o;
    o.wallSeconds = Seconds(wall);
    o.cpuSeconds = CpuSeconds() - cpu;
    o.listed = reliability::ReadList(form->Memo->Lines().Text(), port);
    o.boxes = boxes - boxesBefore;
    o.controlsEnabled = form->FindButton->Enabled() && form->ComSpin->Enabled();
    o.status = form->StatusBar->PanelText(0);
    return o;
  }

  std::unique_ptr<TMainForm> form;
  int boxes = 0;
};

// Safety nets, not speed claims: a search that takes far longer than its ten seconds hangs, one
// that keeps a core busy for half its time spins.
constexpr double kHangSeconds = 40;
constexpr double kSpinShare = 0.5;

// ---------------------------------------------------------------------------------------------

TEST_F(NativeWindow, LineVanishingEndsTheSearchWithoutSpinningAndThePortIsThenUnavailable) {
  struct Row {
    const char* where;
    int afterBytes;  // the line goes as this address byte arrives
    std::vector<std::uint8_t> expected;
  };
  const std::vector<Row> rows = {
      {"start", 1, {}},
      {"middle", 50, {0x05, 0x42}},
      {"end", 100, {0x05, 0x42, 0x77}},
  };
  int searches = 0, falseDevices = 0, hangs = 0, spins = 0;
  double worstShare = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.where);
    Sim sim(std::string("vanish-") + row.where,
            {"--devices", "05,42,77,99", "--vanish-after-bytes", std::to_string(row.afterBytes), "--com", "97"});
    ASSERT_FALSE(sim.Slave().empty());
    const Outcome o = Search(97);
    ++searches;
    const double share = o.cpuSeconds / o.wallSeconds;
    worstShare = std::max(worstShare, share);
    std::printf("vanish at %-6s: wall %.2f s, cpu %.3f s (%.1f%%), found %s\n", row.where, o.wallSeconds,
                o.cpuSeconds, 100 * share, reliability::AddressList(o.listed.devices).c_str());
    EXPECT_EQ(o.listed.devices, row.expected);
    EXPECT_EQ(o.listed.noDeviceLine, row.expected.empty());
    for (std::uint8_t a : o.listed.devices)
      if (a != 0x05 && a != 0x42 && a != 0x77 && a != 0x99) ++falseDevices;
    EXPECT_EQ(o.status, mainform::kFinished);
    EXPECT_TRUE(o.controlsEnabled);
    if (o.wallSeconds > kHangSeconds) ++hangs;
    if (share > kSpinShare) ++spins;
    EXPECT_LT(o.wallSeconds, kHangSeconds);
    EXPECT_LT(share, kSpinShare) << "the wait on a vanished line spins";
    EXPECT_EQ(sim.Wait(10), 0) << "the simulator ended with its line";

    const Outcome next = Search(97);
    ++searches;
    EXPECT_EQ(next.boxes, 1) << "the next search shows the port-unavailable box";
    EXPECT_EQ(next.listed.devices, row.expected) << "and leaves the list as it was";
  }
  Figures("unplug_linux")("faults", rows.size())("searches", searches)("false_devices", falseDevices)("hangs", hangs)(
      "spins", spins)("max_cpu_share", worstShare);
}

// A port held by another program: flock(1) on the device, or a second busfinder scanning it.
TEST_F(NativeWindow, BusyPortGivesTheBoxAndTheHolderGoesOnUndisturbed) {
  Sim sim("busy", {"--devices", "05,42", "--com", "98"});
  ASSERT_FALSE(sim.Slave().empty());
  form->Memo->Lines().Add("earlier");
  int searches = 0;

  {
    Child holder;
    holder.Start({"/usr/bin/flock", sim.Slave(), "sleep", "60"}, g_home / "flock.out", false);
    // Held once a lock of our own is refused.
    bool held = false;
    for (int i = 0; i < 200 && !held; ++i) {
      const int fd = open(sim.Slave().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
      if (fd >= 0) close(fd);  // closing releases our lock at once if we got it
      if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_TRUE(held);
    const Outcome o = Search(98);
    ++searches;
    EXPECT_EQ(o.boxes, 1) << "flock holds the port";
    EXPECT_EQ(form->Memo->Lines().Text(), "earlier\n");
    EXPECT_TRUE(o.controlsEnabled);
  }

  // A second busfinder: busfinder-scan searches the port; ours tries while it does.
  Child scan;
  scan.Start({BUSFINDER_SCAN_PATH, "--port", "98"}, g_home / "scan.out", false);
  const auto start = Clock::now();
  while (AddressesReceived(sim.Log()).empty() && Seconds(start) < 20)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_FALSE(AddressesReceived(sim.Log()).empty()) << "the other search did not start";
  const Outcome o = Search(98);
  ++searches;
  EXPECT_EQ(o.boxes, 1) << "the port is busy with the other search";
  EXPECT_EQ(form->Memo->Lines().Text(), "earlier\n");
  EXPECT_EQ(scan.Wait(40), 0);
  std::ifstream in(g_home / "scan.out");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("found=05,42 "), std::string::npos) << "the other search: " << text.str();
  const std::vector<std::string> received = AddressesReceived(sim.Log());
  EXPECT_EQ(received.size(), 100u) << "the line saw the other search's 100 addresses and nothing of ours";
  EXPECT_EQ(received.front(), "00");
  EXPECT_EQ(received.back(), "99");

  // Free again: ours works.
  const Outcome after = Search(98);
  ++searches;
  EXPECT_EQ(after.boxes, 0);
  EXPECT_EQ(after.listed.devices, (std::vector<std::uint8_t>{0x05, 0x42}));
  // The other busfinder's search counts too: it ran with ours knocking.
  Figures("busy_port")("faults", 2)("searches", searches + 1)("false_devices", 0)("hangs", 0);
}

// Ports-folder entries that lead to something other than a terminal: the box, nothing written.
TEST_F(NativeWindow, PortsFolderEntriesThatArentTerminalsGiveTheBoxAndAreLeftUntouched) {
  const fs::path ports = g_home / "busfinder" / "ports";
  const fs::path file = g_home / "plain.txt";
  std::ofstream(file) << "keep";
  fs::create_directory(g_home / "dir");
  const fs::path fifo = g_home / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int fifoReader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fifoReader, 0);
  const std::vector<std::pair<const char*, fs::path>> rows = {
      {"regular file", file}, {"directory", g_home / "dir"}, {"dangling link", g_home / "missing"},
      {"FIFO", fifo},         {"non-terminal device", "/dev/null"}};
  form->Memo->Lines().Add("earlier");
  int port = 90;
  for (const auto& [name, target] : rows) {
    SCOPED_TRACE(name);
    fs::create_symlink(target, ports / ("COM" + std::to_string(port)));
    const Outcome o = Search(port++);
    EXPECT_EQ(o.boxes, 1);
    EXPECT_EQ(form->Memo->Lines().Text(), "earlier\n");
    EXPECT_TRUE(o.controlsEnabled);
  }
  std::stringstream content;
  content << std::ifstream(file).rdbuf();
  EXPECT_EQ(content.str(), "keep");
  char byte = 0;
  EXPECT_LE(read(fifoReader, &byte, 1), 0) << "a byte was written into the FIFO";
  close(fifoReader);
  Figures("port_names")("faults", rows.size())("searches", rows.size())("false_devices", 0)("hangs", 0);
}

// One real search on a noisy line: a device that isn't there is listed only when a noise byte
// equal to its address reached the port during its probe. (Noise also shortens the search: a
// stray byte ends a probe's wait early.)
TEST_F(NativeWindow, NoisyLineListsNoDeviceThatNoStrayByteExplains) {
  Sim sim("noise", {"--devices", "05,42", "--noise", "40", "--seed", "11", "--com", "96"});
  ASSERT_FALSE(sim.Slave().empty());
  const Outcome o = Search(96);
  sim.Stop();
  const std::vector<std::string> log = sim.Log();
  int falseDevices = 0, unexplained = 0, noise = 0;
  for (const std::string& line : log) noise += Field(line, "cause") == "noise";
  for (std::uint8_t a : o.listed.devices) {
    if (a == 0x05 || a == 0x42) continue;
    ++falseDevices;
    const std::string text = libunit::AddressText(a);
    double sentAt = -1;
    bool explained = false;
    for (const std::string& line : log) {
      if (Field(line, "byte") == text) sentAt = std::stod(Field(line, "t"));
      if (sentAt >= 0 && Field(line, "cause") == "noise" && Field(line, "sent") == text) {
        const double t = std::stod(Field(line, "t"));
        explained = explained || (t >= sentAt && t <= sentAt + 0.15);
      }
    }
    if (!explained) ++unexplained;
  }
  std::printf("noisy line 40/s: %d noise bytes, found %s, false devices %d (unexplained %d)\n", noise,
              reliability::AddressList(o.listed.devices).c_str(), falseDevices, unexplained);
  EXPECT_GT(noise, 20) << "the line was noisy";
  EXPECT_EQ(unexplained, 0);
  EXPECT_TRUE(o.listed.strange.empty());
  EXPECT_TRUE(o.controlsEnabled);
  EXPECT_LT(o.wallSeconds, kHangSeconds);
  Figures("noise_linux")("faults", 1)("searches", 1)("false_devices", falseDevices)("unexplained", unexplained)(
      "hangs", o.wallSeconds > kHangSeconds ? 1 : 0);
}

// Repeated real searches: the same devices every time, and descriptors don't grow.
TEST_F(NativeWindow, RepeatedRealSearchesKeepDescriptorsFlat) {
  int searches = 3;
  if (const char* text = std::getenv("BUSFINDER_REAL_SEARCHES")) searches = std::max(1, std::atoi(text));
  Sim sim("repeat", {"--devices", "05,42,77", "--com", "95"});
  ASSERT_FALSE(sim.Slave().empty());
  const std::vector<std::uint8_t> devices = {0x05, 0x42, 0x77};
  int first = -1, peak = 0, falseDevices = 0, lost = 0, hangs = 0;
  double worstShare = 0;
  for (int s = 1; s <= searches; ++s) {
    const Outcome o = Search(95);
    const int fds = reliability::OpenDescriptors();
    if (first < 0) first = fds;
    peak = std::max(peak, fds);
    worstShare = std::max(worstShare, o.cpuSeconds / o.wallSeconds);
    std::printf("real search %d/%d: wall %.2f s, cpu %.3f s, descriptors %d, found %s\n", s, searches, o.wallSeconds,
                o.cpuSeconds, fds, reliability::AddressList(o.listed.devices).c_str());
    std::fflush(stdout);
    EXPECT_EQ(o.listed.devices, devices) << "search " << s;
    EXPECT_EQ(fds, first) << "search " << s;
    for (std::uint8_t a : o.listed.devices)
      if (std::find(devices.begin(), devices.end(), a) == devices.end()) ++falseDevices;
    for (std::uint8_t a : devices)
      if (std::find(o.listed.devices.begin(), o.listed.devices.end(), a) == o.listed.devices.end()) ++lost;
    if (o.wallSeconds > kHangSeconds) ++hangs;
  }
  Figures("repeat_linux")("faults", 0)("searches", searches)("false_devices", falseDevices)("lost", lost)(
      "hangs", hangs)("fd_start", first)("fd_peak", peak)("fd_end", reliability::OpenDescriptors())(
      "max_cpu_share", worstShare);
}

}  // namespace
