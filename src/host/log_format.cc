// The two line forms of a log entry: a readable text line and a JSON object. Either is exactly one
// line whatever the texts hold: line breaks and other control bytes are escaped.
#include <cstdio>
#include <string>

#include "host/mail_server.h"

namespace {

void AppendHexEscape(std::string& out, const char* prefix, unsigned char byte) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "%s%02x", prefix, byte);
  out += escape;
}

// The length of the well-formed UTF-8 sequence starting at text[i], or 0 when the bytes there are
// not one (a stray continuation byte, an overlong form, a surrogate, a code point above U+10FFFF,
// a truncated sequence).
std::size_t Utf8SequenceLength(const std::string& text, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  std::size_t length;
  unsigned char low = 0x80, high = 0xbf;  // the allowed range of the second byte
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
  }
  return length;
}

// A JSON string literal of `text`. Valid UTF-8 passes through; every byte that is not part of a
// valid sequence becomes \u00XX (read as Latin-1), so the line is valid JSON whatever it holds.
void AppendJsonString(std::string& out, const std::string& text) {
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      std::size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        AppendHexEscape(out, "\\u00", c);
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          AppendHexEscape(out, "\\u00", c);
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

// Text for the readable line: control bytes are escaped so that an entry stays on one line;
// everything else, backslashes of Windows paths included, is written as it is.
void AppendReadable(std::string& out, const std::string& text) {
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      AppendHexEscape(out, "\\x", c);
    } else {
      out += ch;
    }
  }
}

std::string JsonLine(const LogEntry& entry) {
  std::string out = "{\"time\":";
  AppendJsonString(out, entry.time);
  out += entry.error ? ",\"kind\":\"error\",\"source\":" : ",\"kind\":\"operation\",\"source\":";
  AppendJsonString(out, entry.source);
  out += ",\"event\":" + std::to_string(entry.event) + ",\"first\":";
  AppendJsonString(out, entry.first);
  out += ",\"texts\":[";
  for (std::size_t i = 0; i < entry.texts.size(); ++i) {
    if (i > 0) out += ',';
    AppendJsonString(out, entry.texts[i]);
  }
  out += "]}";
  return out;
}

// 2026-12-05T19:44:16Z error VARAZO[20051] MailFilter0: Connecting to the server | 12029
std::string TextLine(const LogEntry& entry) {
  std::string out = entry.time;
  out += entry.error ? " error " : " operation ";
  AppendReadable(out, entry.source);
  out += '[' + std::to_string(entry.event) + ']';
  if (!entry.first.empty()) {
    out += ' ';
    AppendReadable(out, entry.first);
    if (!entry.texts.empty()) out += ':';
  }
  for (std::size_t i = 0; i < entry.texts.size(); ++i) {
    out += i == 0 ? " " : " | ";
    AppendReadable(out, entry.texts[i]);
  }
  return out;
}

}  // namespace

std::string FormatLogLine(const LogEntry& entry, LogFormat format) {
  return format == LogFormat::kJson ? JsonLine(entry) : TextLine(entry);
}
