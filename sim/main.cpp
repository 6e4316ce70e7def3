// kx7391-sim: the receiver on a pseudo-terminal, published as a port, until SIGINT/SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "sim/Receiver.h"

namespace {

using namespace kx::sim;

const char kUsage[] =
    "Usage: kx7391-sim [options]\n"
    "A stand-in for the KX7391D receiver on a pseudo-terminal: answers the version dialogue,\n"
    "the SH boot mode and the write dialogue, and publishes itself as a port COMn in the port\n"
    "directory. Prints one line \"COMn /dev/pts/k\" and runs until SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --port-dir DIR       port directory to publish the link COMn in (default: $KX7391_PORT_DIR,\n"
    "                       else $XDG_RUNTIME_DIR/kx7391/ports, else ~/.cache/kx7391/ports)\n"
    "  --com N              port number to publish (default 9)\n"
    "  --model TEXT         receiver identification in the VER-C answer (default KX7391D)\n"
    "  --main VER           MainBoard version reported before it is reprogrammed (default 402A)\n"
    "  --decoder VER        Decoder version likewise (default 3N4A)\n"
    "  --panel VER          Panel version likewise (default 510A)\n"
    "  --boot MODE          DIP switches: auto (default; firmware, and boot mode of the board\n"
    "                       whose boot timing rate the adjustment arrives at), mainboard,\n"
    "                       decoder or panel (that board's boot mode only)\n"
    "  --not-ready S        for the first S seconds answer \"VR\" with \"Can not FIND\" (default 0)\n"
    "  --no-pace            answer at once; by default every byte takes 10 bit times at the\n"
    "                       bit rate in force, both directions\n"
    "  --erase-time S       duration of the flash erase (default 1)\n"
    "  --fault LIST         inject faults, comma-separated or repeated; K counts from 1 within\n"
    "                       one boot session:\n"
    "                         no-adjust       the bit-rate adjustment is never answered\n"
    "                         erase-error     0xFF instead of 0xAA after the erase\n"
    "                         erase-timeout   no answer after 0x55\n"
    "                         bad-echo@K      the K-th echo byte of the boot transfer altered\n"
    "                         no-start        no 0xAA after the boot program\n"
    "                         no-ready        no 0xCD after 0xAB\n"
    "                         write-error@K   0xFF for the K-th frame\n"
    "                         write-timeout@K no answer to the K-th frame\n"
    "                         hangup@K        close the pseudo-terminal after the K-th frame\n"
    "                         noise           stray bytes before every answer\n"
    "                         cut-answer@K    the answer to the K-th VR (counted from the start)\n"
    "                                         breaks off two thirds of the way; the VRP after it\n"
    "                                         gets none\n"
    "  --panel-boot-length N  in auto mode at 9600 bit/s, a boot program of N bytes means the\n"
    "                       Panel, any other length the Decoder (default 2828)\n"
    "  --flash-dir DIR      keep mainboard.bin, decoder.bin, panel.bin (0x40000 bytes each,\n"
    "                       updated after every frame) and <board>-boot.bin (the boot program\n"
    "                       received) in DIR\n"
    "  --trace FILE         write every byte each way with its time and bit rate to FILE\n"
    "  --help               show this text\n"
    "\n"
    "A board's firmware reports the version that follows the tag KX7391-FW-VER= in its flash\n"
    "once it has been written without a failed frame.\n";

[[noreturn]] void Fail(const std::string &message) {
  std::fprintf(stderr, "kx7391-sim: %s\n(see kx7391-sim --help)\n", message.c_str());
  std::exit(2);
}

double Seconds(const std::string &option, const char *text) {
  char *end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || value < 0) Fail(option + " wants a number of seconds, not \"" + text + "\"");
  return value;
}

int Count(const std::string &option, const char *text, int min, int max) {
  char *end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < min || value > max) {
    Fail(option + " wants a whole number from " + std::to_string(min) + " to " + std::to_string(max) + ", not \"" +
         text + "\"");
  }
  return static_cast<int>(value);
}

Options Parse(int argc, char **argv) {
  Options options;
  options.portDir = DefaultPortDirectory();
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (arg == "--no-pace") {
      options.pace = false;
      continue;
    }
    if (i + 1 >= argc) Fail("unknown option or missing value: " + arg);
    const char *value = argv[++i];
    if (arg == "--port-dir") {
      options.portDir = value;
    } else if (arg == "--com") {
      options.comNumber = Count(arg, value, 1, 255);
    } else if (arg == "--model") {
      options.model = value;
    } else if (arg == "--main") {
      options.versions[0] = value;
    } else if (arg == "--decoder") {
      options.versions[1] = value;
    } else if (arg == "--panel") {
      options.versions[2] = value;
    } else if (arg == "--boot") {
      auto mode = ParseBootMode(value);
      if (!mode) Fail(std::string("--boot wants auto, mainboard, decoder or panel, not \"") + value + "\"");
      options.boot = *mode;
    } else if (arg == "--not-ready") {
      options.notReadySeconds = Seconds(arg, value);
    } else if (arg == "--erase-time") {
      options.eraseSeconds = Seconds(arg, value);
    } else if (arg == "--fault") {
      auto faults = ParseFaults(value);
      if (!faults) Fail(std::string("unknown fault \"") + value + "\"");
      options.faults.insert(options.faults.end(), faults->begin(), faults->end());
    } else if (arg == "--panel-boot-length") {
      options.panelBootLength = Count(arg, value, 1, 65535);
    } else if (arg == "--flash-dir") {
      options.flashDir = value;
    } else if (arg == "--trace") {
      options.tracePath = value;
    } else {
      Fail("unknown option " + arg);
    }
  }
  return options;
}

}  // namespace

int main(int argc, char **argv) {
  const Options options = Parse(argc, argv);

  // Blocked in every thread, taken by sigwait below: the receiver's thread never sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);  // the hangup fault closed the line
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
    std::perror("kx7391-sim: pthread_sigmask");
    return 1;
  }

  Receiver receiver(options);
  receiver.onHangup([] { ::kill(::getpid(), SIGUSR1); });
  try {
    const std::string device = receiver.start();
    std::printf("%s %s\n", receiver.portName().c_str(), device.c_str());
    std::fflush(stdout);
  } catch (const std::exception &e) {
    std::fprintf(stderr, "kx7391-sim: %s\n", e.what());
    return 1;
  }

  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
  }
  if (signal == SIGUSR1) std::fprintf(stderr, "kx7391-sim: line closed by the hangup fault\n");
  receiver.stop();
  return 0;
}
