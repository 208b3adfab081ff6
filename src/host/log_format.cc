// The two forms of a log entry: readable text for people and a JSON object for machines. A JSON
// entry is exactly one line whatever its texts hold; a text entry starts a line with its time, and
// any further lines it takes are indented, so that no text can pass for an entry of its own.
#include <atomic>
#include <cstdio>
#include <string>

#include "host/mail_server.h"

namespace {

std::atomic<LogCodeDescriber> g_describer{nullptr};

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

// Text for people: control bytes are escaped; everything else, backslashes of Windows paths
// included, is written as it is. With `breaks`, a CR LF or LF continues the text on a new,
// indented line instead, and the line breaks that end the text are dropped (the platform's message
// texts end in CR LF).
void AppendReadable(std::string& out, const std::string& text, bool breaks = false) {
  std::size_t end = text.size();
  if (breaks) {
    while (end > 0 && text[end - 1] == '\n') {
      --end;
      if (end > 0 && text[end - 1] == '\r') --end;
    }
  }
  for (std::size_t i = 0; i < end; ++i) {
    const char ch = text[i];
    unsigned char c = static_cast<unsigned char>(ch);
    if (breaks && (c == '\n' || (c == '\r' && i + 1 < end && text[i + 1] == '\n'))) {
      if (c == '\r') ++i;
      out += "\n    ";
    } else if (c == '\n') {
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

// The meaning of a detail that is a decimal number (a code), or "" when it is none or unknown.
std::string Meaning(const std::string& text) {
  const LogCodeDescriber describer = g_describer.load();
  if (describer == nullptr || text.empty() || text.size() > 10) return "";
  unsigned long long code = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return "";
    code = code * 10 + static_cast<unsigned>(c - '0');
  }
  if (code > 0xFFFFFFFFull) return "";
  return describer(static_cast<DWORD>(code));
}

// 2026-12-05T19:44:16Z error VARAZO[20051] MailFilter0: Connecting to the server | 12029 [...]
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
    AppendReadable(out, entry.texts[i], true);
    if (i == 0) continue;  // a title is never a code
    const std::string meaning = Meaning(entry.texts[i]);
    if (meaning.empty()) continue;
    out += " [";
    AppendReadable(out, meaning);
    out += ']';
  }
  return out;
}

}  // namespace

void SetLogCodeDescriber(LogCodeDescriber describer) {
  g_describer.store(describer);
}

std::string FormatLogLine(const LogEntry& entry, LogFormat format) {
  return format == LogFormat::kJson ? JsonLine(entry) : TextLine(entry);
}
