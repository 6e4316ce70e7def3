#pragma once
// One open serial device, as the serial port component sees it. The component
// never touches a file descriptor's settings itself: it hands the whole line
// configuration over and asks for queue lengths, line events and writes, so that
// tests can put an in-process device behind it.
#include <cstddef>
#include <cstdint>

namespace kx::serial {

enum class Parity : std::uint8_t { None, Odd, Even };
enum class StopBits : std::uint8_t { One, OneAndHalf, Two };
enum class Flow : std::uint8_t { RtsCts, DtrDsr, XonXoff, HalfHigh, HalfLow, None };

struct LineSettings {
  int bitRate = 9600;
  int charSize = 8;
  Parity parity = Parity::None;
  StopBits stopBits = StopBits::One;
  Flow flow = Flow::RtsCts;
  std::uint8_t xonChar = 17;
  std::uint8_t xoffChar = 19;
};

// Line-error bits, as the component reports them.
inline constexpr int kErrOverrun = 0x02;
inline constexpr int kErrParity = 0x04;
inline constexpr int kErrFrame = 0x08;

// Modem-status bits.
inline constexpr int kModemCts = 0x10;
inline constexpr int kModemDsr = 0x20;
inline constexpr int kModemRing = 0x40;
inline constexpr int kModemDcd = 0x80;

class Device {
 public:
  virtual ~Device() = default;

  // Applies the whole configuration; false when the driver refuses or ignores any part.
  virtual bool Configure(const LineSettings &settings) = 0;

  // Discards output the driver holds and makes a running WaitWritable return Aborted.
  virtual void PurgeTx() = 0;
  virtual void PurgeRx() = 0;

  // Forgets an earlier PurgeTx, so that it cannot abort the next write. Called
  // together with the first WriteSome of each write, under the caller's lock.
  virtual void ArmWrite() = 0;
  // Waits until the driver has sent every byte it holds (the UART's own queue
  // included), or until a purge discards them.
  virtual void Drain() = 0;
  // Hands bytes to the driver without waiting: the count taken (0 when it is full),
  // or -1 on failure.
  virtual long WriteSome(const std::uint8_t *data, std::size_t size) = 0;
  enum class Wait { Ready, TimedOut, Aborted, Failed };
  // Waits until the driver takes bytes again; timeoutMs 0 waits without limit.
  virtual Wait WaitWritable(int timeoutMs) = 0;

  // Reads what is waiting without blocking: the count (0 when nothing waits), or -1.
  virtual long ReadSome(std::uint8_t *buffer, std::size_t size) = 0;
  virtual int InQueue() = 0;
  virtual int OutQueue() = 0;

  // Line errors and breaks that arrived since the last call. Safe from any thread.
  struct LineEvents {
    int errors = 0;
    bool brk = false;
  };
  virtual LineEvents TakeLineEvents() = 0;

  // Modem lines. A driver without them (a pseudo-terminal) ignores these.
  virtual void SetRts(bool on) = 0;
  virtual void SetDtr(bool on) = 0;
  virtual int ModemStatus() = 0;
  virtual void SetBreak(bool on) = 0;

  // Asks the driver to pass received bytes on at once instead of collecting them
  // (low-latency mode): true when it is on. A driver without the mode (a
  // pseudo-terminal) or one that refuses it works as before.
  virtual bool RequestLowLatency() = 0;
  // The USB adapter's latency timer in ms, where the driver shows one; -1 otherwise.
  virtual int LatencyTimerMs() = 0;

  // A descriptor that becomes readable when input arrives (for epoll and notifiers).
  virtual int PollFd() const = 0;

  // True once the device has hung up for good (an unplugged adapter, a peer that
  // closed its end): its driver takes and gives nothing any more. A device that
  // cannot go away keeps this default.
  virtual bool Gone() { return false; }
};

}  // namespace kx::serial
