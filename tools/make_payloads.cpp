// Writes the substitute payloads the updater carries: nine Motorola S-record files
// (boot programs and firmware images), five JPEG pictures and two opaque DigiDec
// images. The output depends on nothing but this file and libjpeg, so a run
// reproduces the committed files byte for byte. Usage: kx_make_payloads OUTDIR
#include <cstddef>
#include <cstdio>
// jpeglib.h needs size_t and FILE first.
#include <jpeglib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- randomness

// splitmix64, seeded from the FNV-1a hash of a text: stable across machines.
class Random {
 public:
  explicit Random(const std::string &seed) {
    state_ = 1469598103934665603ull;
    for (unsigned char c : seed) state_ = (state_ ^ c) * 1099511628211ull;
  }
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint8_t Byte() { return static_cast<std::uint8_t>(Next() >> 56); }

 private:
  std::uint64_t state_;
};

[[noreturn]] void Fail(const std::string &what) { throw std::runtime_error(what); }

void Check(bool ok, const std::string &what) {
  if (!ok) Fail(what);
}

// ---------------------------------------------------------------- S-records

std::string Hex(std::uint64_t value, int digits) {
  static const char *d = "0123456789ABCDEF";
  std::string s(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) s[static_cast<std::size_t>(i)] = d[value & 0xF];
  return s;
}

// One record line with its checksum and CR LF. `type` is 0..9.
std::string Record(int type, std::uint32_t address, const std::uint8_t *data, std::size_t n) {
  static const std::map<int, int> addressBytes = {{0, 2}, {1, 2}, {2, 3}, {3, 4},
                                                  {5, 2}, {7, 4}, {8, 3}, {9, 2}};
  const int ab = addressBytes.at(type);
  Check(n <= 16, "record longer than 16 data bytes");
  const unsigned count = static_cast<unsigned>(ab) + static_cast<unsigned>(n) + 1;
  unsigned sum = count;
  std::string line = "S" + std::to_string(type) + Hex(count, 2) + Hex(address, ab * 2);
  for (int i = 0; i < ab; ++i) sum += (address >> (8 * i)) & 0xFF;
  for (std::size_t i = 0; i < n; ++i) {
    line += Hex(data[i], 2);
    sum += data[i];
  }
  line += Hex(~sum & 0xFF, 2) + "\r\n";
  return line;
}

std::string Header(const std::string &text) {
  return Record(0, 0, reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
}

struct Span {
  std::uint64_t begin;  // first address
  std::uint64_t end;    // one past the last
};

// Cuts the covered spans into exactly `records` records: every record stays inside
// one 16-byte aligned line of addresses, and where more records are wanted than
// that gives, evenly spread full records are cut in two halves of 8 bytes.
std::vector<Span> Layout(const std::vector<Span> &spans, std::size_t records, const std::string &what) {
  std::vector<Span> chunks;
  for (const Span &s : spans)
    for (std::uint64_t a = s.begin; a < s.end;) {
      const std::uint64_t next = std::min<std::uint64_t>((a & ~0xFull) + 16, s.end);
      chunks.push_back({a, next});
      a = next;
    }
  Check(chunks.size() <= records, what + ": too few records for the data");
  std::size_t extra = records - chunks.size();
  std::vector<std::size_t> full;
  for (std::size_t i = 0; i < chunks.size(); ++i)
    if (chunks[i].end - chunks[i].begin == 16) full.push_back(i);
  Check(extra <= full.size(), what + ": too many records for the data");
  std::vector<bool> cut(chunks.size(), false);
  for (std::size_t k = 0; k < extra; ++k) cut[full[(2 * k + 1) * full.size() / (2 * extra)]] = true;
  std::vector<Span> out;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    if (cut[i]) {
      out.push_back({chunks[i].begin, chunks[i].begin + 8});
      out.push_back({chunks[i].begin + 8, chunks[i].end});
    } else {
      out.push_back(chunks[i]);
    }
  }
  return out;
}

// The lines of `records`, each taking its bytes from `image` at (address - base).
std::string Records(int type, const std::vector<Span> &records, const Bytes &image, std::uint64_t base) {
  std::string text;
  for (const Span &r : records)
    text += Record(type, static_cast<std::uint32_t>(r.begin), image.data() + (r.begin - base),
                   static_cast<std::size_t>(r.end - r.begin));
  return text;
}

// ---------------------------------------------------------------- boot programs

struct BootSpec {
  std::string name;
  std::string seed;
  std::uint32_t windowEnd;  // last address of the program
  std::uint32_t gap;        // first of the three unwritten bytes
  std::size_t s3Records;
  std::string tag;          // board text inside the program
  std::uint8_t boardByte;   // board number inside the program
};

std::string MakeBoot(const BootSpec &b) {
  const std::uint64_t base = 0xFFFFE800ull;
  const std::size_t size = b.windowEnd - base + 1;
  Bytes program(size);
  Random rnd(b.seed);
  for (auto &x : program) x = rnd.Byte();
  // A readable tag and the board number, the only two places where the MainBoard's
  // and the Decoder's programs differ.
  Bytes tag(16, 0x00);
  std::copy(b.tag.begin(), b.tag.end(), tag.begin());
  std::copy(tag.begin(), tag.end(), program.begin() + 0x20);
  program[0x600] = b.boardByte;
  for (int i = 0; i < 3; ++i) program[b.gap - base + i] = 0xFF;

  Bytes vectors(0x400);
  Random vrnd(b.seed + "/vectors");
  for (auto &x : vectors) x = vrnd.Byte();

  std::string text = Header("KX7391 BOOT");
  text += Records(1, Layout({{0, 0x400}}, 64, b.name + " S1"), vectors, 0);
  text += Records(3, Layout({{base, b.gap}, {b.gap + 3ull, b.windowEnd + 1ull}}, b.s3Records, b.name + " S3"),
                  program, base);
  text += Record(9, 0, nullptr, 0);
  return text;
}

// ---------------------------------------------------------------- firmware images

struct FirmSpec {
  std::string name;
  std::string header;       // S0 text, at most 16 characters
  std::string baseSeed;     // shared by the MainBoard variants
  std::string variantSeed;  // the variant's own part
  std::string version;
  std::size_t s1Records;
  std::size_t s2Records;
  std::uint32_t s2Start;    // first address carried by S2 records
  std::uint32_t last;       // last data address
  std::uint32_t entry;      // S9 start address
  std::size_t fileSize;     // wanted size of the file
};

constexpr std::uint32_t kTagAddress = 0x0800;
constexpr std::uint32_t kBlock = 128;

std::string MakeFirmware(const FirmSpec &f) {
  // The file's size fixes how many data bytes the records carry: every line costs
  // its fixed characters plus two per data byte.
  const std::size_t fixed = (12 + 2 * f.header.size()) + 12 * f.s1Records + 14 * f.s2Records + 12;
  Check(f.fileSize > fixed && (f.fileSize - fixed) % 2 == 0, f.name + ": size cannot be met");
  const std::size_t dataBytes = (f.fileSize - fixed) / 2;
  const std::size_t span1 = f.s2Start;
  const std::size_t span2 = f.last - f.s2Start + 1;
  Check(dataBytes >= span2 && dataBytes - span2 <= span1, f.name + ": data bytes do not fit");
  const std::size_t unwritten = span1 - (dataBytes - span2);

  // The S2 part is carried whole; the S1 part leaves `unwritten` bytes out: as many
  // whole 128-byte blocks as fit, from 0x7000 up, and the rest as one short gap.
  std::vector<Span> s1;
  const std::uint64_t holeBlocks = unwritten / kBlock;
  const std::uint64_t rest = unwritten % kBlock;
  const std::uint64_t hole1 = 0x7000, hole1End = hole1 + holeBlocks * kBlock;
  const std::uint64_t hole2 = 0xA3F3, hole2End = hole2 + rest;
  Check(hole1End <= hole2 && hole2End < f.s2Start, f.name + ": holes do not fit");
  s1.push_back({0, hole1});
  s1.push_back({hole1End, hole2});
  s1.push_back({hole2End, f.s2Start});
  std::vector<Span> s2 = {{f.s2Start, f.last + 1ull}};

  Bytes image(f.last + 1);
  Random rnd(f.baseSeed);
  for (auto &x : image) x = rnd.Byte();
  // The variant's own code: one region of 12 KiB that only it has.
  Random vrnd(f.variantSeed);
  for (std::uint32_t a = 0x20000; a < 0x23000 && a <= f.last; ++a) image[a] = vrnd.Byte();
  // Reset vector (big-endian): program counter and stack pointer.
  const std::uint8_t vectors[8] = {0, 0, static_cast<std::uint8_t>(f.entry >> 8),
                                   static_cast<std::uint8_t>(f.entry), 0xFF, 0xFF, 0xE0, 0x00};
  std::copy(std::begin(vectors), std::end(vectors), image.begin());
  // Erased flash carried as data: every 29th block from the fifth on is all 0xFF.
  for (std::uint32_t blk = 5; (blk + 1) * kBlock <= f.last; blk += 29)
    std::fill_n(image.begin() + blk * kBlock, kBlock, 0xFF);
  // Unwritten addresses read 0xFF too.
  std::fill(image.begin() + static_cast<std::ptrdiff_t>(hole1), image.begin() + static_cast<std::ptrdiff_t>(hole1End), 0xFF);
  std::fill(image.begin() + static_cast<std::ptrdiff_t>(hole2), image.begin() + static_cast<std::ptrdiff_t>(hole2End), 0xFF);
  // The version marker the receiver reports after programming.
  const std::string tag = "KX7391-FW-VER=" + f.version;
  std::copy(tag.begin(), tag.end(), image.begin() + kTagAddress);
  image[kTagAddress + tag.size()] = 0x00;

  std::string text = Header(f.header);
  text += Records(1, Layout(s1, f.s1Records, f.name + " S1"), image, 0);
  text += Records(2, Layout(s2, f.s2Records, f.name + " S2"), image, 0);
  text += Record(9, f.entry, nullptr, 0);
  Check(text.size() == f.fileSize, f.name + ": size missed");
  return text;
}

// ---------------------------------------------------------------- pictures

struct Rgb {
  std::uint8_t r, g, b;
};

class Canvas {
 public:
  Canvas(int w, int h, Rgb fill) : w_(w), h_(h), px_(static_cast<std::size_t>(w * h), fill) {}
  int Width() const { return w_; }
  int Height() const { return h_; }
  void Set(int x, int y, Rgb c) {
    if (x >= 0 && y >= 0 && x < w_ && y < h_) px_[static_cast<std::size_t>(y * w_ + x)] = c;
  }
  void Rect(int x0, int y0, int x1, int y1, Rgb c) {  // inclusive corners
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) Set(x, y, c);
  }
  void Frame(int x0, int y0, int x1, int y1, Rgb c) {
    Rect(x0, y0, x1, y0, c);
    Rect(x0, y1, x1, y1, c);
    Rect(x0, y0, x0, y1, c);
    Rect(x1, y0, x1, y1, c);
  }
  void Disc(int cx, int cy, int r, Rgb c) {
    for (int y = -r; y <= r; ++y)
      for (int x = -r; x <= r; ++x)
        if (x * x + y * y <= r * r + r) Set(cx + x, cy + y, c);
  }
  // 5 x 7 capitals and digits, `scale` pixels per dot.
  void Text(int x, int y, const std::string &s, Rgb c, int scale = 1) {
    for (char ch : s) {
      const auto it = Font().find(ch);
      if (it != Font().end())
        for (int row = 0; row < 7; ++row)
          for (int col = 0; col < 5; ++col)
            if (it->second[static_cast<std::size_t>(row)] & (0x10 >> col))
              Rect(x + col * scale, y + row * scale, x + col * scale + scale - 1, y + row * scale + scale - 1, c);
      x += 6 * scale;
    }
  }
  const std::vector<Rgb> &Pixels() const { return px_; }

 private:
  static const std::map<char, std::array<std::uint8_t, 7>> &Font() {
    static const std::map<char, std::array<std::uint8_t, 7>> font = {
        {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
        {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
        {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
        {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}},
        {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
        {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
        {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
        {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
        {'^', {0x04, 0x0E, 0x15, 0x04, 0x04, 0x04, 0x04}},
    };
    return font;
  }
  int w_, h_;
  std::vector<Rgb> px_;
};

const Rgb kRed{220, 30, 30}, kGreen{30, 170, 60}, kWhite{240, 240, 240}, kBlack{20, 20, 20};

// A row of four DIP switches; the ones in `on` are red and up, the others green and down.
Canvas DipSwitches(int height, const std::vector<int> &on) {
  Canvas c(130, height, Rgb{200, 205, 200});
  const int top = 5, bottom = height - 6;
  c.Rect(6, top, 123, bottom, Rgb{40, 70, 150});  // the switch body
  c.Frame(6, top, 123, bottom, kBlack);
  c.Text(10, top + 4, "ON", kWhite);
  c.Text(12, top + 13, "^", kWhite);
  const int slotTop = top + 5, slotBottom = bottom - 12;
  const int mid = (slotTop + slotBottom) / 2;
  for (int i = 0; i < 4; ++i) {
    const int x = 32 + 23 * i;
    const bool isOn = std::find(on.begin(), on.end(), i + 1) != on.end();
    c.Rect(x, slotTop, x + 15, slotBottom, kWhite);
    c.Frame(x, slotTop, x + 15, slotBottom, kBlack);
    if (isOn)
      c.Rect(x + 2, slotTop + 2, x + 13, mid - 1, kRed);
    else
      c.Rect(x + 2, mid + 1, x + 13, slotBottom - 2, kGreen);
    c.Text(x + 5, slotBottom + 3, std::string(1, static_cast<char>('1' + i)), kWhite);
  }
  return c;
}

// The receiver seen from below: feet, vents, the label, and the metal plate held by
// one screw over the DIP switch area.
Canvas Bottom() {
  Canvas c(135, 117, Rgb{235, 235, 230});
  c.Rect(4, 8, 130, 108, Rgb{60, 62, 66});
  c.Frame(4, 8, 130, 108, kBlack);
  for (auto [x, y] : {std::pair{14, 18}, {120, 18}, {14, 98}, {120, 98}}) {
    c.Disc(x, y, 6, Rgb{25, 25, 25});
    c.Disc(x, y, 3, Rgb{70, 70, 70});
  }
  for (int i = 0; i < 7; ++i) c.Rect(28, 24 + 8 * i, 68, 26 + 8 * i, Rgb{30, 30, 32});
  c.Rect(27, 84, 76, 100, Rgb{215, 215, 205});
  c.Text(31, 89, "KX7391D", Rgb{40, 40, 40});
  // The plate over the switches, with its screw.
  c.Rect(80, 40, 118, 86, Rgb{175, 180, 188});
  c.Frame(80, 40, 118, 86, Rgb{110, 110, 118});
  c.Disc(99, 52, 4, Rgb{120, 120, 125});
  c.Rect(96, 52, 102, 52, kBlack);
  c.Rect(99, 49, 99, 55, kBlack);
  c.Text(84, 64, "DIP", Rgb{40, 40, 40});
  c.Text(84, 74, "SW", Rgb{40, 40, 40});
  c.Frame(78, 38, 120, 88, kRed);  // the area to open
  return c;
}

Bytes Jpeg(const Canvas &c, int quality) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char *out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = static_cast<JDIMENSION>(c.Width());
  cinfo.image_height = static_cast<JDIMENSION>(c.Height());
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  cinfo.optimize_coding = FALSE;
  cinfo.dct_method = JDCT_ISLOW;
  cinfo.comp_info[0].h_samp_factor = cinfo.comp_info[0].v_samp_factor = 1;  // 4:4:4
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<std::uint8_t> row(static_cast<std::size_t>(c.Width()) * 3);
  while (cinfo.next_scanline < cinfo.image_height) {
    const Rgb *src = &c.Pixels()[static_cast<std::size_t>(cinfo.next_scanline) * static_cast<std::size_t>(c.Width())];
    for (int x = 0; x < c.Width(); ++x) {
      row[static_cast<std::size_t>(3 * x)] = src[x].r;
      row[static_cast<std::size_t>(3 * x + 1)] = src[x].g;
      row[static_cast<std::size_t>(3 * x + 2)] = src[x].b;
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_compress(&cinfo);
  Bytes bytes(out, out + outSize);
  jpeg_destroy_compress(&cinfo);
  std::free(out);
  return bytes;
}

// The quality whose file comes nearest to the catalogue's size, the higher on a tie.
Bytes JpegNear(const Canvas &c, std::size_t wanted) {
  Bytes best;
  for (int q = 50; q <= 100; ++q) {
    Bytes b = Jpeg(c, q);
    const auto distance = [wanted](const Bytes &x) {
      return x.size() > wanted ? x.size() - wanted : wanted - x.size();
    };
    if (best.empty() || distance(b) <= distance(best)) best = std::move(b);
  }
  return best;
}

// ---------------------------------------------------------------- output

void Write(const std::string &dir, const std::string &name, const void *data, std::size_t size) {
  const std::string path = dir + "/" + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
  out.close();
  Check(out.good(), "cannot write " + path);
}

void Write(const std::string &dir, const std::string &name, const std::string &text) {
  Write(dir, name, text.data(), text.size());
}

void Write(const std::string &dir, const std::string &name, const Bytes &bytes) {
  Write(dir, name, bytes.data(), bytes.size());
}

Bytes Opaque(const std::string &seed, std::size_t size) {
  Bytes b(size);
  Random rnd(seed);
  for (auto &x : b) x = rnd.Byte();
  return b;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " OUTDIR\n";
    return 2;
  }
  const std::string dir = argv[1];
  try {
    const std::vector<BootSpec> boots = {
        {"BOOT_SH_7391_MAIN", "BOOT_SH_7391", 0xFFFFF2F3u, 0xFFFFF2D5u, 178, "KX7391BOOT:MAIN", 0},
        {"BOOT_SH_7391_DECORD", "BOOT_SH_7391", 0xFFFFF2F3u, 0xFFFFF2D5u, 178, "KX7391BOOT:DECO", 1},
        {"BOOT_SH_7391_PANEL", "BOOT_SH_7391_PANEL", 0xFFFFF30Bu, 0xFFFFF2EDu, 179, "KX7391BOOT:PANL", 2},
    };
    for (const BootSpec &b : boots) Write(dir, b.name, MakeBoot(b));

    const std::vector<FirmSpec> firms = {
        {"MAIN_NONE_SH_7391", "KX7391D MAIN", "MAIN_SH_7391", "NONE", "403A", 3974, 12251, 0x10000, 0x3FD86, 0x0900, 738334},
        {"MAIN_B_SH_7391", "KX7391D MAIN B", "MAIN_SH_7391", "B", "403AB", 3974, 12277, 0x10000, 0x3FF2E, 0x0900, 739546},
        {"MAIN_R_SH_7391", "KX7391D MAIN R", "MAIN_SH_7391", "R", "403AR", 3974, 12250, 0x10000, 0x3FD76, 0x0900, 738288},
        {"MAIN_Q_SH_7391", "KX7391D MAIN Q", "MAIN_SH_7391", "Q", "403AQ", 3974, 12276, 0x10000, 0x3FF12, 0x0900, 739476},
        {"DECORD_SH_7391", "KX7391D DECODER", "DECORD_SH_7391", "DECORD", "3N5A", 4262, 11233, 0xFFF8, 0x3A28F, 0x0000, 684836},
        {"PANEL_SH_7391", "KX7391D PANEL", "PANEL_SH_7391", "PANEL", "511A", 3971, 10194, 0x10000, 0x37CF7, 0x0000, 643588},
    };
    for (const FirmSpec &f : firms) Write(dir, f.name, MakeFirmware(f));

    Write(dir, "JPG_BOTTOM", JpegNear(Bottom(), 5805));
    Write(dir, "JPG_DIP_1ON", JpegNear(DipSwitches(54, {1}), 4987));
    Write(dir, "JPG_DIP_2ON", JpegNear(DipSwitches(54, {2}), 4983));
    Write(dir, "JPG_DIP_23ON", JpegNear(DipSwitches(54, {2, 3}), 5050));
    Write(dir, "JPG_DIP_ALLOFF", JpegNear(DipSwitches(53, {}), 5278));

    Write(dir, "DIGIDEC_A57", Opaque("DIGIDEC_A57", 567045));
    Write(dir, "DIGIDEC_10_A57", Opaque("DIGIDEC_10_A57", 567419));
  } catch (const std::exception &e) {
    std::cerr << "kx_make_payloads: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
