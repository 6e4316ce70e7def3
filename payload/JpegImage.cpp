#include "payload/JpegImage.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace kx {

namespace {

struct ErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void ErrorExit(j_common_ptr cinfo) {
  auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

void OutputMessage(j_common_ptr) {}  // warnings stay quiet

struct RawPicture {
  unsigned char *pixels = nullptr;  // malloc'd RGB rows, freed by the caller
  unsigned width = 0;
  unsigned height = 0;
};

// Plain C in spirit: longjmp leaves this frame, so it holds no C++ objects with
// destructors; everything it allocates is owned by `out` or freed here.
bool DecodeRaw(const unsigned char *data, unsigned long size, RawPicture *out, char *message) {
  jpeg_decompress_struct cinfo;
  ErrorManager err;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.output_message = OutputMessage;
  err.message[0] = '\0';
  if (setjmp(err.jump)) {
    std::strncpy(message, err.message, JMSG_LENGTH_MAX);
    message[JMSG_LENGTH_MAX - 1] = '\0';
    jpeg_destroy_decompress(&cinfo);
    std::free(out->pixels);
    out->pixels = nullptr;
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, data, size);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  out->width = cinfo.output_width;
  out->height = cinfo.output_height;
  const std::size_t stride = static_cast<std::size_t>(out->width) * 3;
  out->pixels = static_cast<unsigned char *>(std::malloc(stride * out->height + 1));
  if (!out->pixels) {
    std::strcpy(message, "Out of memory for the picture");
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out->pixels + stride * cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

QImage DecodeJpeg(const QByteArray &jpeg) {
  if (jpeg.isEmpty()) throw EJpegError("JPEG error: empty picture");
  RawPicture raw;
  char message[JMSG_LENGTH_MAX] = {};
  if (!DecodeRaw(reinterpret_cast<const unsigned char *>(jpeg.constData()),
                 static_cast<unsigned long>(jpeg.size()), &raw, message))
    throw EJpegError(std::string("JPEG error: ") + message);
  const int width = static_cast<int>(raw.width);
  const int height = static_cast<int>(raw.height);
  const qsizetype stride = static_cast<qsizetype>(width) * 3;
  // The image keeps its own copy, so the decoder's buffer can go at once.
  QImage image = QImage(raw.pixels, width, height, stride, QImage::Format_RGB888).copy();
  std::free(raw.pixels);
  return image;
}

}  // namespace kx
