#include "terminal/LogWriter.h"

#include <QColor>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>
#include <vector>

namespace kx::terminal {

namespace {

bool IsLastEmpty(const QTextBlock &b) { return !b.next().isValid() && b.length() <= 1; }

// RTF is 7-bit: escape its three specials, write everything else outside
// printable ASCII as a Unicode escape with "?" for readers that skip those.
void AppendRtfText(QByteArray &out, const QString &text) {
  for (QChar c : text) {
    const char16_t u = c.unicode();
    if (u == u'\\' || u == u'{' || u == u'}') {
      out.append('\\');
      out.append(static_cast<char>(u));
    } else if (u == u'\t') {
      out.append("\\tab ");
    } else if (u >= 0x20 && u < 0x7F) {
      out.append(static_cast<char>(u));
    } else {
      out.append("\\u");
      out.append(QByteArray::number(static_cast<int>(static_cast<std::int16_t>(u))));
      out.append('?');
    }
  }
}

// A family as readers look it up: without the foundry that font databases may
// append ("D050000L [urw]") and without RTF's specials.
QByteArray FontName(const QString &name) {
  QString n = name;
  n.remove(QRegularExpression(QStringLiteral("\\s*\\[[^\\]]*\\]$")));
  n.remove(u';').remove(u'{').remove(u'}').remove(u'\\');
  return n.toLatin1();
}

}  // namespace

QByteArray PlainTextLog(const QTextDocument &doc) {
  QByteArray out;
  out.reserve(doc.characterCount() + doc.blockCount());
  for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
    if (IsLastEmpty(b)) break;
    out.append(b.text().toLatin1());
    out.append("\r\n");
  }
  return out;
}

QByteArray RtfLog(const QTextDocument &doc, const RtfFonts &fonts) {
  std::vector<QRgb> colours;
  const auto colourIndex = [&](QRgb c) {
    for (size_t i = 0; i < colours.size(); ++i)
      if (colours[i] == c) return static_cast<int>(i) + 1;
    colours.push_back(c);
    return static_cast<int>(colours.size());
  };

  QByteArray body;
  body.reserve(doc.characterCount() * 2);
  int font = 0;
  int colour = 0;
  for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
    if (IsLastEmpty(b)) break;
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      const QTextFragment f = it.fragment();
      const QTextCharFormat fmt = f.charFormat();
      const int wantFont = fmt.boolProperty(kMarkerProperty) ? 1 : 0;
      const int wantColour = fmt.hasProperty(QTextFormat::ForegroundBrush)
                                 ? colourIndex(fmt.foreground().color().rgb())
                                 : 0;
      if (wantFont != font) {
        body.append(wantFont ? "\\f1 " : "\\f0 ");
        font = wantFont;
      }
      if (wantColour != colour) {
        body.append("\\cf");
        body.append(QByteArray::number(wantColour));
        body.append(' ');
        colour = wantColour;
      }
      if (wantFont == 1 && fonts.markerUnicode != 0) {
        for (qsizetype i = 0; i < f.text().size(); ++i) {
          body.append("\\u");
          body.append(QByteArray::number(static_cast<int>(static_cast<std::int16_t>(fonts.markerUnicode))));
          body.append('~');
        }
      } else {
        AppendRtfText(body, f.text());
      }
    }
    body.append("\\par\n");
  }

  QByteArray out;
  out.reserve(body.size() + 512);
  out.append("{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1\n{\\fonttbl{\\f0\\fmodern\\fcharset0 ");
  out.append(FontName(fonts.text));
  out.append(";}{\\f1\\fnil\\fcharset2 ");
  out.append(FontName(fonts.symbol));
  if (!fonts.symbolAlternative.isEmpty()) {
    out.append("{\\*\\falt ");
    out.append(FontName(fonts.symbolAlternative));
    out.append('}');
  }
  out.append(";}}\n{\\colortbl ;");
  for (QRgb c : colours) {
    out.append("\\red" + QByteArray::number(qRed(c)) + "\\green" + QByteArray::number(qGreen(c)) + "\\blue" +
               QByteArray::number(qBlue(c)) + ";");
  }
  out.append("}\n\\viewkind4\\pard\\plain\\f0\\fs");
  out.append(QByteArray::number(fonts.halfPoints));
  out.append("\\cf0 \n");
  out.append(body);
  out.append("}\n");
  return out;
}

}  // namespace kx::terminal
