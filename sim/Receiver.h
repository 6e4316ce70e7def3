#pragma once
// kx::sim::Receiver — a KX7391D receiver on a pseudo-terminal, run in-process.
//
//   #include "sim/Receiver.h"          (library kx_sim)
//
//   kx::sim::Options opt;                 // sim/Options.h: every field has a sound default
//   opt.pace = false;                     // fast tests: no line timing
//   opt.boot = kx::sim::BootMode::Auto;   // or MainBoard / Decoder / Panel (DIP switches)
//   opt.versions = {"402A", "3N4A", "510A"};  // reported until a board is reprogrammed
//   opt.notReadySeconds = 0;              // "VR" answered "Can not FIND" this long
//   opt.eraseSeconds = 1.0;
//   opt.faults = *kx::sim::ParseFaults("write-error@3");
//   opt.portDir = dir; opt.comNumber = 7; // publish COM7 -> /dev/pts/N (empty portDir: not)
//   opt.flashDir = ...; opt.tracePath = ...;   // optional files
//   kx::sim::Receiver rx(opt);
//   std::string dev = rx.start();         // slave path, e.g. "/dev/pts/4"; throws on failure
//   ... open `dev` (or "COM7" through the port directory) and talk to it ...
//   rx.counters().framesReceived; rx.flash(kx::sim::Board::Decoder); rx.version(Board::Panel);
//   rx.stop();                            // also done by the destructor; removes the link
//
// The receiver runs on its own thread. Every accessor is thread-safe and returns a snapshot.
//
// Behaviour on the line (8N1; the bit rate is read from the master side at every byte):
//  - Firmware (BootMode::Auto at start): at 115200 bit/s a line "VR" (CR or LF ends a line)
//    gets "VER-C <model>_Main_<main> D<decoder> " CR LF, a line "VRP" gets
//    "VER-P: <panel>" CR LF. For notReadySeconds after start "VR" gets "Can not FIND" CR LF.
//  - Boot mode of a board (chip): 0x00 at the board's boot timing rate (MainBoard 19200,
//    Decoder and Panel 9600) -> 0x00; 0x55 -> erase (eraseSeconds) -> 0xAA; two length bytes
//    and the boot program, each echoed; 0xAA once it is all in (it must fit the 6144-byte boot
//    RAM). Then the boot program at 115200: 0xAB -> 0xCD; each 133-byte frame (address a
//    multiple of 128 below 0x40000, checksum) is programmed (bits can only be cleared) -> 0xAA,
//    a bad frame -> 0xFF. A byte at a rate the receiver is not listening at arrives garbled.
//  - Auto mode: 0x00 at 19200 enters the MainBoard's boot mode, at 9600 the Decoder's or, when
//    the boot program's length is panelBootLength, the Panel's. CR or LF at 115200 outside a
//    frame returns to the firmware; 0x00 at a boot rate after the chip's dialogue starts a new
//    boot session. So a whole update session runs without a restart.
//  - Version marker: once a board's flash holds "KX7391-FW-VER=<text>\0" and no frame of its
//    boot session has failed, the firmware reports <text> for that board (version(board)).
//    Until then, or after a failed frame, it reports the configured version.
//  - Faults (counts K are 1-based within one boot session; see Options.h): no-adjust,
//    erase-error, erase-timeout, bad-echo@K, no-start, no-ready, write-error@K,
//    write-timeout@K, hangup@K (once the K-th frame's 0xAA is out, the pseudo-terminal closes at
//    the host's next byte or 0.5 s later, the link is removed, running() turns false), noise,
//    cut-answer@K (K counts "VR" requests since start: that answer breaks off, its VRP gets none).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/Model.h"
#include "sim/Options.h"

namespace kx::sim {

class Receiver {
 public:
  explicit Receiver(Options options = {});
  ~Receiver();
  Receiver(const Receiver &) = delete;
  Receiver &operator=(const Receiver &) = delete;

  // Opens the pseudo-terminal, publishes it when a port directory is set, starts the thread.
  // Returns the slave's path. Throws std::runtime_error with the reason on failure.
  std::string start();
  // Ends the thread, closes the pseudo-terminal and removes the link. Idempotent.
  void stop();

  bool running() const;  // started and neither stopped nor hung up
  bool hungUp() const;   // a hangup fault closed the line
  std::string devicePath() const;
  std::string portName() const;  // "COM" + comNumber
  std::string linkPath() const;  // the published link, empty when not published

  std::vector<std::uint8_t> flash(Board board) const;        // kFlashSize bytes
  std::vector<std::uint8_t> bootProgram(Board board) const;  // last received, without length
  std::string version(Board board) const;                    // as the firmware reports it now
  bool programmed(Board board) const;
  Counters counters() const;
  Model::State state() const;
  // The host's turnarounds, in microseconds: for every answer the receiver wrote while the
  // host had nothing on its way, the time from that write to the host's next bytes
  // arriving. It leaves out the receiver's own lateness, which a paced trace hides.
  std::vector<double> turnaroundsMicros() const;

  // Replaces the faults while running (e.g. let a second write succeed).
  void setFaults(std::vector<Fault> faults);
  // Called on the receiver's thread when a hangup fault has closed the line. Set before start().
  void onHangup(std::function<void()> callback);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// $KX7391_PORT_DIR, else $XDG_RUNTIME_DIR/kx7391/ports, else ~/.cache/kx7391/ports.
std::string DefaultPortDirectory();

}  // namespace kx::sim
