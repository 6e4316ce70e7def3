#include "terminal/TerminalRules.h"

#include <algorithm>
#include <limits>

namespace kx::terminal {

namespace {
int HexValue(QChar c) {
  const char16_t u = c.unicode();
  if (u >= u'0' && u <= u'9') return u - u'0';
  if (u >= u'A' && u <= u'F') return u - u'A' + 10;
  if (u >= u'a' && u <= u'f') return u - u'a' + 10;
  return -1;
}
}  // namespace

HexCommand ParseHexCommand(const QString &text) {
  HexCommand r;
  QByteArray bytes;
  int pending = -1;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    const int v = HexValue(c);
    if (v >= 0) {
      if (pending < 0) {
        pending = v;
      } else {
        bytes.append(static_cast<char>(pending * 16 + v));
        pending = -1;
      }
    } else if (c == u' ' || c == u'\t') {
      if (pending >= 0) bytes.append(static_cast<char>(pending));
      pending = -1;
    } else {
      r.status = HexCommand::Status::Invalid;
      r.invalidAt = static_cast<int>(i);
      return r;
    }
  }
  // A digit left pending at the end is dropped.
  if (text.size() > HexCommand::kMaxChars)
    r.status = HexCommand::Status::TooLong;
  else if (bytes.size() > HexCommand::kMaxBytes)
    r.status = HexCommand::Status::TooManyBytes;
  else if (bytes.isEmpty())
    r.status = HexCommand::Status::NoBytes;
  else {
    r.status = HexCommand::Status::Ok;
    r.bytes = std::move(bytes);
  }
  return r;
}

std::vector<FileLine> SplitSendFile(const QByteArray &content) {
  std::vector<FileLine> lines;
  QByteArray line;
  const auto endLine = [&] {
    if (!line.isEmpty() && line.back() == '~') line.chop(1);
    FileLine fl;
    fl.send = line.isEmpty() || line.front() != ';';
    fl.text = line;
    lines.push_back(std::move(fl));
    line.clear();
  };
  for (qsizetype i = 0; i < content.size(); ++i) {
    const char c = content[i];
    if (c == '\r' || c == '\n') {
      endLine();
      // CR LF is one line end.
      if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
      continue;
    }
    if (line.size() < kFileLineMaxChars) line.append(c);
  }
  // A last line without a line end; a file that ends in a line end has none.
  if (!content.isEmpty() && content.back() != '\r' && content.back() != '\n') endLine();
  return lines;
}

int SendPeriodFromText(const QString &text) {
  bool ok = false;
  const qlonglong v = text.trimmed().toLongLong(&ok, 10);
  // The timer counts in milliseconds in an int: longer periods cannot be timed.
  constexpr qlonglong kMax = std::numeric_limits<int>::max() / 1000;
  if (!ok || v < kMinSendPeriod || v > kMax) return kDefaultSendPeriod;
  return static_cast<int>(v);
}

int ScrollbackLinesFromText(const QString &text) {
  bool ok = false;
  const int v = text.trimmed().toInt(&ok, 10);
  // One line more is kept for the current line, so the largest count must leave room.
  if (!ok || v < 0 || v == std::numeric_limits<int>::max()) return kDefaultScrollbackLines;
  return v;
}

QStringList UpdatedHistory(QStringList items, const QString &command) {
  const auto same = [&](const QString &item) { return item.compare(command, Qt::CaseInsensitive) == 0; };
  const auto it = std::find_if(items.begin(), items.end(), same);
  if (it != items.end())
    items.erase(it);
  else if (items.size() >= kHistoryMax)
    items.erase(items.begin() + (kHistoryMax - 1), items.end());
  items.prepend(command);
  return items;
}

}  // namespace kx::terminal
