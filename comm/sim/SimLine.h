// comm/sim/SimLine.h — the simulated serial line behind the comm services in tests: virtual clock, scripted devices, call log, faults.
#pragma once

// Linking comm_sim instead of comm_native puts this line behind every comm:: call. Time is virtual:
// it moves only when a test advances it, when WaitIdle idles, or by a per-call tick step. A byte
// written at time t reaches the devices at t; their replies enter the input queue at t + delay and
// are seen by the first ClearCommError/ReadFile at or after that time.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "comm/Comm.h"
#include "comm/sim/DeviceModel.h"

namespace comm::sim {

// One call through the comm seam, with its arguments as numbers (pointers and the name left out;
// CreateFileA's name is in `text`, a written byte in args).
struct Call {
  std::string name;  // "CreateFileA", "SetupComm", "GetCommState", … "GetTickCount", "WaitIdle"
  std::vector<std::int64_t> args;
  std::string text;
  std::uint32_t atMs = 0;  // virtual clock when the call was made
  bool result = true;
};

// A byte that went out on the line.
struct SentByte {
  std::uint8_t byte = 0;
  Parity parity = Parity::None;
  std::uint32_t atMs = 0;
};

class SimLine {
 public:
  // The one line of the process.
  static SimLine& Instance();

  // Back to a fresh line: clock 0, no devices, no faults, empty log, port closed, every name
  // COM1–COM99 (and \\.\COMn) present, driver settings at their defaults.
  void Reset();

  // --- ports ---
  // Which port numbers exist; a name of a missing port fails CreateFileA.
  void SetPortPresent(int portNumber, bool present);
  // Held by another program: CreateFileA fails while busy.
  void SetPortBusy(int portNumber, bool busy);
  bool IsOpen() const;
  std::string OpenName() const;  // name passed to the CreateFileA that opened it
  int OpenCount() const;         // successful opens since Reset
  int CloseCount() const;        // successful closes since Reset

  // --- the devices ---
  void SetLine(const LineSetup& setup);
  void SetDevices(const std::vector<std::uint8_t>& addresses, std::uint32_t delayMs = 1);
  // Bytes that enter the input queue at a given time, whatever was sent.
  void ScheduleInput(std::uint32_t atMs, const std::vector<std::uint8_t>& bytes);
  // The adapter goes away at this time: every later call on the open handle fails (CloseHandle
  // succeeds) and the port is no longer present.
  void UnplugAt(std::uint32_t atMs);
  // The parity the devices' replies go out at. Unset (the default): the parity the port expects,
  // so a reply is never a parity error. Only a port that checks parity (fParity) notices a
  // mismatch: CE_RXPARITY is latched and, with fErrorChar, the byte is replaced by ErrorChar.
  void SetReplyParity(std::optional<Parity> parity);

  // --- the clock ---
  // Sets the reading only: no time passes, and input or an unplug already scheduled keeps its
  // distance from now.
  void SetClock(std::uint32_t ms);  // e.g. near 0xFFFFFFFF to cross the wrap
  std::uint32_t Clock() const;
  void Advance(std::uint32_t ms);
  // Extra time every GetTickCount call adds after it answers (0 by default).
  void SetTickStep(std::uint32_t ms);

  // --- the driver's state ---
  DCB DriverDcb() const;             // what the port holds now
  void SetDriverDcb(const DCB& dcb); // the settings the driver reports before any change
  COMMTIMEOUTS DriverTimeouts() const;
  std::uint32_t InputQueued() const;   // bytes in the input queue now (time already due)
  std::vector<SentByte> Sent() const;  // every byte written since Reset

  // --- faults ---
  // Make the `nth` call (1-based, counted since Reset) of `name` fail, `times` calls in a row
  // (times < 0: every call from then on).
  void FailCall(const std::string& name, int nth, int times = 1);
  // The same, counted from now: the next `times` calls of `name` fail (times < 0: all from now on).
  // ClearCalls does not restart the count FailCall uses; this needs no count at all.
  void FailNext(const std::string& name, int times = 1);
  // ReadFile succeeds but delivers no byte, for the `nth` ReadFile.
  void EmptyRead(int nth);
  void ClearFaults();

  // --- the log ---
  const std::vector<Call>& Calls() const;
  void ClearCalls();
  int CountCalls(const std::string& name) const;
  // Called after every comm:: call (e.g. to let a test act between probes). nullptr removes it.
  void SetCallHook(std::function<void(const Call&)> hook);

  struct State;

 private:
  SimLine();
  State* state_;
};

}  // namespace comm::sim
