// tests/reliability/SimSearchTest.cpp — the search through the Qt window over the simulated line: injected faults, an unplugged adapter, noise, late replies and a long run, with their figures.
//
// Every search here runs the real FindButtonClick (Qt offscreen) over the simulated line, whose
// clock is virtual: a search of "ten seconds" takes a few milliseconds, so the tables below can
// afford hundreds of them. Each test prints a `RELIABILITY area=… key=value…` line that
// scripts/reliability-table.sh collects.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "comm/sim/SimLine.h"
#include "search/Main.h"
#include "serial/BusScan.h"
#include "tests/reliability/Reliability.h"
#include "ui/Forms.h"

#if defined(__SANITIZE_ADDRESS__)
#define BUSFINDER_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BUSFINDER_LSAN 1
#endif
#endif
#ifdef BUSFINDER_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using comm::sim::Call;
using comm::sim::SimLine;
using reliability::Figures;

SimLine& Line() { return SimLine::Instance(); }

constexpr int kPort = 7;
// The most a search may take: 100 probes, each the longer of the receive wait's 100 ms and the
// read's 120 ms time-out (20 ms per byte + 100 ms: a failed poll may leave a stale count that sends
// a probe to the read without a byte), with slack. Beyond it a search counts as hung.
constexpr std::uint32_t kSearchBoundMs = 100 * 125;

std::vector<std::uint8_t> PackedBcd() {
  std::vector<std::uint8_t> all;
  for (int tens = 0; tens <= 9; ++tens)
    for (int units = 0; units <= 9; ++units) all.push_back(static_cast<std::uint8_t>(tens * 16 + units));
  return all;
}

int ProbeIndex(std::uint8_t address) { return (address >> 4) * 10 + (address & 0x0F); }

struct Outcome {
  reliability::Listed listed;
  int boxes = 0;
  bool controlsEnabled = false;
  std::string status;
  std::uint32_t virtualMs = 0;
  bool portOpen = false;
};

// Devices the outcome lists that aren't on the line.
int FalseDevices(const Outcome& o, const std::vector<std::uint8_t>& onLine) {
  int count = 0;
  for (std::uint8_t a : o.listed.devices)
    if (std::find(onLine.begin(), onLine.end(), a) == onLine.end()) ++count;
  return count + static_cast<int>(o.listed.strange.size());
}

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    Line().Reset();
    form = std::make_unique<TMainForm>();
    form->Show();
    form->ComSpin->SetValue(kPort);
    ui::Application->SetMessageBoxHook([this](const std::string& text, const std::string& caption, unsigned flags) {
      EXPECT_EQ(text, mainform::kPortUnavailable);
      EXPECT_EQ(caption, mainform::kBoxCaption);
      EXPECT_EQ(flags, ui::mbIconError | ui::mbOK);
      ++boxes;
      return 1;
    });
  }
  void TearDown() override {
    Line().SetCallHook(nullptr);
    ui::Application->SetMessageBoxHook(nullptr);
    form.reset();
  }

  // One press of the search button, as the operator makes it.
  Outcome Search() {
    const int boxesBefore = boxes;
    const std::uint32_t start = Line().Clock();
    form->FindButton->Click();
    Outcome o;
    o.listed = reliability::ReadList(form->Memo->Lines().Text(), kPort);
    o.boxes = boxes - boxesBefore;
    o.controlsEnabled = form->FindButton->Enabled() && form->ComSpin->Enabled();
    o.status = form->StatusBar->PanelText(0);
    o.virtualMs = Line().Clock() - start;
    o.portOpen = Line().IsOpen();
    return o;
  }

  std::unique_ptr<TMainForm> form;
  int boxes = 0;
};

// ---------------------------------------------------------------------------------------------
// Each serial call fails in turn, once or for good, where a clean search makes it first in the
// opening, in the first probe that makes it, the middle probe (50), the last probe that makes it,
// and in the closing.

constexpr int kOpening = -1;
constexpr int kClosing = 100;

// The phase of every call of a clean search's log: kOpening, the probe (0–99) or kClosing. A
// probe starts with the parity switch before its write: GetCommState, SetCommState, PurgeComm.
std::vector<int> Phases(const std::vector<Call>& calls) {
  std::vector<std::size_t> writes;
  std::size_t closing = calls.size();
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].name == "WriteFile") writes.push_back(i);
    if (calls[i].name == "PurgeComm" && calls[i].args == std::vector<std::int64_t>{15}) closing = i;
  }
  std::vector<int> phase(calls.size(), kOpening);
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (i >= closing) {
      phase[i] = kClosing;
      continue;
    }
    for (std::size_t k = 0; k < writes.size(); ++k)
      if (i + 3 >= writes[k]) phase[i] = static_cast<int>(k);
  }
  return phase;
}

struct Site {
  std::string call;
  int phase = 0;
  int nth = 0;  // the call's number in the search, as SimLine::FailCall counts
};

std::string PhaseName(int phase) {
  if (phase == kOpening) return "open";
  if (phase == kClosing) return "close";
  return "probe" + std::to_string(phase);
}

TEST_F(Window, EachSerialCallFailingInTurnLeavesNoFalseDeviceAndTheWindowWorking) {
  // Nothing at 00: a probe that goes on to read without a byte must not take the read's empty
  // buffer for the address 00. The search before each case ends on 99's reply, so a poll that
  // fails early in the next search finds the count of 1 that reply left.
  const std::vector<std::uint8_t> devices = {0x42, 0x50, 0x99};
  const char* const names[] = {"CreateFileA",  "SetupComm", "GetCommState",       "SetCommState",
                               "GetCommTimeouts", "SetCommTimeouts", "PurgeComm", "EscapeCommFunction",
                               "ClearCommError", "ReadFile", "WriteFile",       "CloseHandle"};

  // The clean search the sites are taken from.
  Line().Reset();
  Line().SetDevices(devices);
  const Outcome clean = Search();
  ASSERT_EQ(clean.listed.devices, devices);
  const std::vector<Call> calls = Line().Calls();
  const std::vector<int> phase = Phases(calls);
  std::vector<Site> sites;
  for (const char* name : names) {
    // The first occurrence in each phase that has the call.
    std::map<int, int> first;
    int nth = 0;
    for (std::size_t i = 0; i < calls.size(); ++i)
      if (calls[i].name == name) first.emplace(phase[i], ++nth);
    std::set<int> wanted;
    for (const auto& [where, n] : first) {
      if (where == kOpening || where == kClosing || where == 50) wanted.insert(where);
    }
    int firstProbe = kClosing, lastProbe = kOpening;
    for (const auto& [where, n] : first) {
      if (where == kOpening || where == kClosing) continue;
      firstProbe = std::min(firstProbe, where);
      lastProbe = std::max(lastProbe, where);
    }
    if (firstProbe != kClosing) wanted.insert({firstProbe, lastProbe});
    for (int where : wanted) sites.push_back({name, where, first[where]});
  }
  ASSERT_GE(sites.size(), 12u);

  int faults = 0, searches = 1, falseDevices = 0, hangs = 0, lost = 0;
  std::uint32_t longest = clean.virtualMs;
  for (const Site& site : sites) {
    for (int times : {1, -1}) {
      SCOPED_TRACE(site.call + " #" + std::to_string(site.nth) + " (" + PhaseName(site.phase) + ") " +
                   (times == 1 ? "once" : "from then on"));
      ++faults;
      Line().Reset();
      Line().SetDevices(devices);
      Line().FailCall(site.call, site.nth, times);
      const Outcome o = Search();
      ++searches;
      longest = std::max(longest, o.virtualMs);
      falseDevices += FalseDevices(o, devices);
      EXPECT_TRUE(o.listed.strange.empty()) << o.listed.strange.front();
      EXPECT_EQ(FalseDevices(o, devices), 0) << reliability::AddressList(o.listed.devices);
      EXPECT_TRUE(std::is_sorted(o.listed.devices.begin(), o.listed.devices.end()));
      EXPECT_TRUE(o.controlsEnabled);
      if (o.virtualMs > kSearchBoundMs) ++hangs;
      EXPECT_LE(o.virtualMs, kSearchBoundMs);

      const bool openFails = site.call == "CreateFileA";
      EXPECT_EQ(o.boxes, openFails ? 1 : 0);
      if (!openFails) {
        EXPECT_EQ(o.status, mainform::kFinished);
      }
      EXPECT_EQ(o.portOpen, site.call == "CloseHandle") << "the port is closed at the end";

      // Nothing lost: a one-off fault costs at most the device of the probe it hit; a lasting
      // one at most the devices from that probe on.
      if (!openFails) {
        for (std::uint8_t a : devices) {
          const int probe = ProbeIndex(a);
          const bool mayMiss = times == 1 ? probe == site.phase : probe >= site.phase;
          const bool listed = std::count(o.listed.devices.begin(), o.listed.devices.end(), a) == 1;
          if (!mayMiss && !listed) {
            ++lost;
            ADD_FAILURE() << "device " << libunit::AddressText(a) << " lost";
          }
        }
      }

      // The next search, without the fault. A close that failed left the port held by the
      // handle OpenPort then overwrites: the port stays unavailable, shown by the box.
      Line().ClearFaults();
      const Outcome next = Search();
      ++searches;
      longest = std::max(longest, next.virtualMs);
      falseDevices += FalseDevices(next, devices);
      EXPECT_TRUE(next.controlsEnabled);
      if (site.call == "CloseHandle") {
        EXPECT_EQ(next.boxes, 1);
        EXPECT_EQ(next.listed.devices, o.listed.devices) << "the list stays as it was";
      } else {
        EXPECT_EQ(next.boxes, 0);
        EXPECT_EQ(next.listed.devices, devices);
        EXPECT_FALSE(next.portOpen);
      }
    }
  }
  Figures("faults")("faults", faults)("searches", searches)("false_devices", falseDevices)("hangs", hangs)(
      "lost", lost)("max_search_virtual_ms", longest)("bound_ms", kSearchBoundMs);
}

// ---------------------------------------------------------------------------------------------
// The adapter goes away at the start, in the middle and at the end of a search.

TEST_F(Window, UnpluggedAdapterEndsTheSearchWithTheDevicesFoundBeforeAndThePortUnavailable) {
  const std::vector<std::uint8_t> devices = {0x05, 0x42, 0x50, 0x77, 0x99};
  struct Row {
    const char* name;
    std::function<bool(const Call&, int writes)> when;  // unplug right after this call
    std::vector<std::uint8_t> expected;
  };
  const std::vector<Row> rows = {
      {"start: right after the port opened", [](const Call& c, int) { return c.name == "EscapeCommFunction"; }, {}},
      {"middle: as address 50 goes out", [](const Call& c, int w) { return c.name == "WriteFile" && w == 51; },
       {0x05, 0x42}},
      {"end: as address 99 goes out", [](const Call& c, int w) { return c.name == "WriteFile" && w == 100; },
       {0x05, 0x42, 0x50, 0x77}},
      {"closing: after the last probe",
       [](const Call& c, int) { return c.name == "PurgeComm" && c.args == std::vector<std::int64_t>{15}; },
       devices},
  };
  int searches = 0, falseDevices = 0, hangs = 0;
  std::uint32_t longest = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Line().Reset();
    Line().SetDevices(devices);
    auto writes = std::make_shared<int>(0);
    auto done = std::make_shared<bool>(false);
    Line().SetCallHook([row, writes, done](const Call& call) {
      if (call.name == "WriteFile") ++*writes;
      if (!*done && row.when(call, *writes)) {
        *done = true;
        Line().UnplugAt(Line().Clock());
      }
    });
    const Outcome o = Search();
    Line().SetCallHook(nullptr);
    ++searches;
    longest = std::max(longest, o.virtualMs);
    falseDevices += FalseDevices(o, devices);
    EXPECT_EQ(o.listed.devices, row.expected);
    EXPECT_EQ(o.listed.noDeviceLine, row.expected.empty());
    EXPECT_EQ(o.status, mainform::kFinished);
    EXPECT_TRUE(o.controlsEnabled);
    EXPECT_FALSE(o.portOpen) << "a port whose adapter went away still closes";
    if (o.virtualMs > kSearchBoundMs) ++hangs;
    EXPECT_LE(o.virtualMs, kSearchBoundMs);

    const Outcome next = Search();
    ++searches;
    EXPECT_EQ(next.boxes, 1) << "the port is gone: the next search shows the box";
    EXPECT_EQ(next.listed.devices, row.expected) << "and leaves the list as it was";
    EXPECT_TRUE(next.controlsEnabled);
  }
  Figures("unplug_sim")("faults", rows.size())("searches", searches)("false_devices", falseDevices)("hangs", hangs)(
      "max_search_virtual_ms", longest);
}

// ---------------------------------------------------------------------------------------------
// A noisy line and a babbling device: 100 searches per row, counted.

struct Noise {
  std::uint32_t atMs;
  std::uint8_t byte;
};

TEST_F(Window, NoiseAndLineErrorsNeverMakeADeviceOfTheirOwn) {
  const std::vector<std::uint8_t> devices = {0x05, 0x42, 0x77};
  const std::vector<std::uint8_t> addresses = PackedBcd();
  constexpr int kSearchesPerRow = 100;
  constexpr std::uint32_t kSpanMs = 11000;  // longer than a search
  struct Row {
    const char* name;
    double perSecond;     // random bytes (or bursts) per second
    bool addressBytes;    // the random bytes may equal an address (else never a packed-BCD value)
    int burst = 1;        // bytes per arrival; more than the 1024-byte queue overruns it
    bool wrongParity = false;  // devices answer at space parity while the port sends at mark
    int babbleEveryMs = 0;     // the device at 77 sends its address all the time
  };
  const std::vector<Row> rows = {
      {"quiet line", 0, true},
      {"random bytes 1/s", 1, true},
      {"random bytes 10/s", 10, true},
      {"random bytes 100/s", 100, true},
      {"random bytes 1000/s", 1000, true},
      {"non-address bytes 1000/s", 1000, false},
      {"replies with parity errors", 0, true, 1, true},
      {"overrun bursts 2/s", 2, false, 1500},
      {"babbling device 77 every 2 ms", 0, true, 1, false, 2},
  };
  std::vector<std::uint8_t> nonAddress;
  for (int b = 0; b < 256; ++b)
    if (std::find(addresses.begin(), addresses.end(), b) == addresses.end()) nonAddress.push_back(static_cast<std::uint8_t>(b));

  int totalSearches = 0, totalFalse = 0, totalHangs = 0;
  std::mt19937_64 random(20240611);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int falseDevices = 0, unexplained = 0, missed = 0, hangs = 0;
    for (int s = 0; s < kSearchesPerRow; ++s) {
      Line().Reset();
      Line().SetDevices(devices, 3);
      if (row.wrongParity) Line().SetReplyParity(comm::sim::Parity::Space);
      std::vector<Noise> noise;
      if (row.perSecond > 0) {
        std::exponential_distribution<double> gap(row.perSecond / 1000.0);
        for (double t = gap(random); t < kSpanMs; t += gap(random)) {
          std::vector<std::uint8_t> bytes;
          for (int i = 0; i < row.burst; ++i)
            bytes.push_back(row.addressBytes ? static_cast<std::uint8_t>(random() & 0xFF)
                                             : nonAddress[random() % nonAddress.size()]);
          const auto at = static_cast<std::uint32_t>(t);
          Line().ScheduleInput(at, bytes);
          for (std::uint8_t b : bytes) noise.push_back({at, b});
        }
      }
      if (row.babbleEveryMs > 0) {
        for (std::uint32_t t = 0; t < kSpanMs; t += static_cast<std::uint32_t>(row.babbleEveryMs)) {
          Line().ScheduleInput(t, {0x77});
          noise.push_back({t, 0x77});
        }
      }
      std::map<std::uint8_t, std::uint32_t> sentAt;
      Line().SetCallHook([&sentAt](const Call& call) {
        if (call.name == "WriteFile" && call.args.size() == 2) sentAt[static_cast<std::uint8_t>(call.args[1])] = call.atMs;
      });
      const Outcome o = Search();
      Line().SetCallHook(nullptr);
      ++totalSearches;
      if (o.virtualMs > kSearchBoundMs) ++hangs;
      EXPECT_TRUE(o.listed.strange.empty());
      EXPECT_TRUE(o.controlsEnabled);
      for (std::uint8_t a : o.listed.devices) {
        if (std::find(devices.begin(), devices.end(), a) != devices.end()) continue;
        ++falseDevices;
        // The one way a device can appear that isn't there: a stray byte equal to its address
        // arrived while its probe waited (the echo protocol can't tell the two apart).
        const std::uint32_t w = sentAt[a];
        const bool explained = std::any_of(noise.begin(), noise.end(), [&](const Noise& n) {
          return n.byte == a && n.atMs >= w && n.atMs <= w + 110;
        });
        if (!explained) ++unexplained;
      }
      for (std::uint8_t a : devices)
        if (std::find(o.listed.devices.begin(), o.listed.devices.end(), a) == o.listed.devices.end()) ++missed;
    }
    EXPECT_EQ(unexplained, 0) << "a device that no stray byte explains";
    EXPECT_EQ(hangs, 0);
    if (!row.addressBytes) {
      EXPECT_EQ(falseDevices, 0) << "bytes that are never an address make no device";
    }
    if (row.perSecond == 0 && row.babbleEveryMs == 0) {
      EXPECT_EQ(missed, 0);
    }
    totalFalse += falseDevices;
    totalHangs += hangs;
    std::printf("noise row: %-32s searches=%d false_devices=%d (by chance equal bytes: %d) missed_true=%d/%d\n",
                row.name, kSearchesPerRow, falseDevices, falseDevices - unexplained, missed,
                kSearchesPerRow * static_cast<int>(devices.size()));
    std::string key = row.name;
    std::replace(key.begin(), key.end(), ' ', '_');
    Figures("noise_row")("row", key)(
        "searches", kSearchesPerRow)("false_devices", falseDevices)("unexplained", unexplained)("missed", missed);
  }
  Figures("noise")("faults", rows.size())("searches", totalSearches)("false_devices", totalFalse)("hangs", totalHangs);
}

// ---------------------------------------------------------------------------------------------
// Replies around the 100 ms limit, with and without time passing between two probes.

TEST_F(Window, RepliesAroundTheLimitCountOnlyByTheLastPollAndNeverReachTheNextProbe) {
  int searches = 0, falseDevices = 0;
  std::printf("late reply of 42: delay_ms gap_ms counted discarded_by_purge read_by_probe_43\n");
  for (std::uint32_t gap : {0u, 5u}) {
    for (std::uint32_t delay : {95u, 98u, 99u, 100u, 101u, 102u, 103u, 105u, 108u, 110u}) {
      SCOPED_TRACE("delay " + std::to_string(delay) + " ms, gap " + std::to_string(gap) + " ms");
      Line().Reset();
      comm::sim::LineSetup setup;
      setup.devices = {{0x42, delay, std::nullopt, 1.0}, {0x44, 1, std::nullopt, 1.0}};
      Line().SetLine(setup);
      // Time the window takes between probes (repaint, event processing) passes after each wait.
      Line().SetCallHook([gap](const Call& call) {
        if (call.name == "WaitEnd") Line().Advance(gap);
      });
      const Outcome o = Search();
      Line().SetCallHook(nullptr);
      ++searches;
      falseDevices += FalseDevices(o, {0x42, 0x44});

      // From the log: when 42 went out, its last poll, 43's purge and whether 43's probe read.
      const auto& calls = Line().Calls();
      std::uint32_t sent42 = 0, lastPoll42 = 0, purge43 = 0;
      int reads43 = 0, probe = -1;
      for (const Call& call : calls) {
        if (call.name == "WriteFile" && call.args.size() == 2) probe = static_cast<int>(call.args[1]);
        if (call.name == "WriteFile" && probe == 0x42) sent42 = call.atMs;
        if (call.name == "ClearCommError" && probe == 0x42) lastPoll42 = call.atMs;
        // 43's probe purges before its write, while the last byte out is still 42.
        if (call.name == "PurgeComm" && probe == 0x42 && call.args == std::vector<std::int64_t>{12}) purge43 = call.atMs;
        if (call.name == "ReadFile" && probe == 0x43) ++reads43;
      }
      const std::uint32_t arrival = sent42 + delay;
      const bool counted = std::count(o.listed.devices.begin(), o.listed.devices.end(), 0x42) == 1;
      EXPECT_EQ(counted, arrival <= lastPoll42) << "counted exactly when it arrived by the last poll";
      if (delay <= 100) {
        EXPECT_TRUE(counted) << "a reply within the limit is always found";
      }
      if (!counted && arrival <= purge43) {
        EXPECT_EQ(reads43, 0) << "the next probe's purge discarded it";
      }
      EXPECT_EQ(std::count(o.listed.devices.begin(), o.listed.devices.end(), 0x43), 0) << "never counted for 43";
      EXPECT_EQ(std::count(o.listed.devices.begin(), o.listed.devices.end(), 0x44), 1) << "44 is unaffected";
      std::printf("late reply of 42: %8u %6u %7d %18d %16d\n", delay, gap, counted ? 1 : 0,
                  !counted && arrival <= purge43 ? 1 : 0, reads43);
    }
  }
  Figures("limit")("faults", 20)("searches", searches)("false_devices", falseDevices)("hangs", 0);
}

// ---------------------------------------------------------------------------------------------
// A long run: many searches (1,000 by default) with random devices and now and then a fault;
// descriptors stay flat and, in the sanitizer build, nothing leaks.

TEST_F(Window, LongRunKeepsDescriptorsFlatAndLeaksNothing) {
  int searches = 1000;
  if (const char* text = std::getenv("BUSFINDER_LONG_SEARCHES")) searches = std::max(1, std::atoi(text));
  const char* const faultable[] = {"SetupComm", "GetCommState", "SetCommState", "PurgeComm", "ClearCommError",
                                   "ReadFile",  "WriteFile",    "CreateFileA", "CloseHandle"};
  std::mt19937_64 random(7);
  const std::vector<std::uint8_t> addresses = PackedBcd();
  int baseline = -1, peak = 0, falseDevices = 0, hangs = 0, faults = 0;
  for (int s = 0; s < searches; ++s) {
    Line().Reset();
    std::vector<std::uint8_t> devices;
    for (std::uint8_t a : addresses)
      if (random() % 20 == 0) devices.push_back(a);
    Line().SetDevices(devices, static_cast<std::uint32_t>(1 + random() % 60));
    if (s % 7 == 3) {
      ++faults;
      Line().FailCall(faultable[random() % std::size(faultable)], static_cast<int>(1 + random() % 150));
    }
    const Outcome o = Search();
    falseDevices += FalseDevices(o, devices);
    if (o.virtualMs > kSearchBoundMs) ++hangs;
    const int fds = reliability::OpenDescriptors();
    if (s == 9 || (searches < 10 && s == 0)) baseline = fds;  // after the window settled
    peak = std::max(peak, fds);
  }
  const int end = reliability::OpenDescriptors();
  EXPECT_EQ(falseDevices, 0);
  EXPECT_EQ(hangs, 0);
  EXPECT_LE(end, baseline) << "descriptors grew over the run";
  int leaks = -1;  // not measured in a build without LeakSanitizer
#ifdef BUSFINDER_LSAN
  leaks = __lsan_do_recoverable_leak_check();
  EXPECT_EQ(leaks, 0) << "LeakSanitizer found leaks (report above)";
#endif
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  Figures("long_sim")("faults", faults)("searches", searches)("false_devices", falseDevices)("hangs", hangs)(
      "leaks", leaks)("fd_start", baseline)("fd_peak", peak)("fd_end", end)("maxrss_kb", usage.ru_maxrss);
}

}  // namespace
