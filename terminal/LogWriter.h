#pragma once
// Saving the terminal's log: as plain text, and as RTF that keeps the colours, the
// log font and the symbol font of the end-of-line marker. Qt reads RTF nowhere and
// writes it nowhere, so the writer is our own.
#include <QByteArray>
#include <QString>
#include <QTextFormat>

class QTextDocument;

namespace kx::terminal {

// Set on the character format of every end-of-line marker, so that the writers
// know it whichever font the screen substituted for it.
inline constexpr int kMarkerProperty = QTextFormat::UserProperty + 1;

// Every line with CR LF, in ISO 8859-1 so that a saved log sent back with
// "File Send" gives the received bytes again; the marker is a plain "~".
// The current (last) line is written only when it holds text.
QByteArray PlainTextLog(const QTextDocument &doc);

struct RtfFonts {
  QString text;    // the log's fixed-pitch font
  QString symbol;  // the marker's symbol font
  QString symbolAlternative;  // the font a reader may use instead, if any
  int halfPoints = 20;
  // The Unicode character that the symbol font draws for "~", or 0 to write a plain
  // "~". Readers on Linux know a symbol font's own codes only for the fonts they
  // have; the Unicode character they draw from any font that holds it, and readers
  // without Unicode fall back to the "~" in the symbol font.
  char16_t markerUnicode = 0;
};
QByteArray RtfLog(const QTextDocument &doc, const RtfFonts &fonts);

}  // namespace kx::terminal
