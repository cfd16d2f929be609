#include "inspector/pages.h"

#include <algorithm>
#include <charconv>
#include <ctime>

#include "inspector/assets.h"
#include "support/clock.h"
#include "support/rfc3339.h"
#include "support/text.h"

namespace vostrelin::inspector {
namespace {

constexpr std::string_view DASH = "—";

// Bytes of a body looked at to tell text from binary, and shown in hex.
constexpr size_t BINARY_SAMPLE = 4096;
constexpr size_t HEX_LIMIT = 256;
constexpr size_t HEX_PER_LINE = 32;

std::string fixed(double value, int decimals) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  return std::string(buf, r.ptr);
}

struct StatusView {
  std::string_view css_class;
  std::string text;
};

StatusView status_view(uint16_t status) {
  if (status == 0) return {"status status-none", std::string(DASH)};
  std::string text = std::to_string(status);
  if (status < 300) return {"status status-ok", text};
  if (status < 400) return {"status status-redirect", text};
  return {"status status-err", text};
}

// A session-header text as a page shows it: escaped, and no longer than
// HEADER_TEXT_SHOWN bytes before the escaping.
std::string header_text(std::string_view text) {
  if (text.size() <= HEADER_TEXT_SHOWN) return html_escape(text);
  size_t cut = HEADER_TEXT_SHOWN;
  // Back to the first byte of a character, so the page stays UTF-8.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return html_escape(text.substr(0, cut)) + "…";
}

std::string header_text_or_dash(std::string_view text) {
  return text.empty() ? std::string(DASH) : header_text(text);
}

// The time of day of a timestamp in the local zone, or the text itself when
// it is no timestamp.
std::string time_of_day(std::string_view started) {
  std::optional<Instant> t = parse_rfc3339(started);
  if (!t) return std::string(started);
  return format_local_time(static_cast<time_t>(t->seconds), "%H:%M:%S");
}

bool looks_binary(std::string_view body) {
  std::string_view sample = body.substr(0, BINARY_SAMPLE);
  size_t control = 0;
  for (unsigned char c : sample) {
    if (c == 0x00) return true;
    if ((c >= 0x01 && c <= 0x08) || (c >= 0x0E && c <= 0x1F)) ++control;
  }
  return control * 100 / sample.size() >= 5;
}

std::string hex_dump(std::string_view bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += i % HEX_PER_LINE == 0 ? '\n' : ' ';
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    out += DIGITS[c >> 4];
    out += DIGITS[c & 0x0F];
  }
  return out;
}

}  // namespace

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string format_size(uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " Б";
  if (bytes < 1048576) return fixed(static_cast<double>(bytes) / 1024.0, 1) + " КБ";
  return fixed(static_cast<double>(bytes) / 1048576.0, 1) + " МБ";
}

std::string format_duration(std::string_view start, std::string_view end) {
  std::optional<Instant> from = parse_rfc3339(start);
  std::optional<Instant> to = parse_rfc3339(end);
  if (!from || !to) return std::string(DASH);
  int64_t ms = difference_ms(*from, *to);
  if (ms < 0) return std::string(DASH);
  if (ms < 1000) return std::to_string(ms) + " мс";
  return fixed(static_cast<double>(ms) / 1000.0, 2) + " с";
}

std::string shell(std::string_view title, std::string_view body) {
  std::string out;
  out.reserve(STYLE_SHEET.size() + body.size() + 1024);
  out += "<!DOCTYPE html>\n<html lang=\"ru\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n<title>";
  out += html_escape(title);
  out += "</title>\n<style>";
  out += STYLE_SHEET;
  out += "</style>\n</head>\n<body>\n<header class=\"app-header\">\n  <a class=\"logo\" href=\"/\">\n"
         "    <img src=\"/logo.png\" alt=\"vostrelin\">\n    <span>Vostrelin inspector</span>\n  </a>\n"
         "</header>\n<main class=\"app-main\">\n";
  out += body;
  out += "\n</main>\n</body>\n</html>";
  return out;
}

std::string render_index(const std::vector<SessionSummary>& sessions) {
  if (sessions.empty()) {
    return shell("Vostrelin inspector",
                 "<h1>Сессии</h1><div class=\"card\"><p class=\"text-dim\">Пока нет сессий. Запустите "
                 "vostrelin-client в HTTP-режиме — файл появится в <code>~/.vostrelin/sessions/</code>.</p></div>");
  }
  std::string rows;
  for (const SessionSummary& s : sessions) {
    std::string id = html_escape(s.id);
    rows += "<tr>\n  <td><a href=\"/s/" + id + "\">" + id + "</a></td>\n  <td>" + header_text(s.proto) +
            "</td>\n  <td>" + header_text_or_dash(s.hostname) + "</td>\n  <td><code>" + header_text(s.remote_url) +
            "</code></td>\n  <td>" + std::to_string(s.requests) + "</td>\n</tr>";
  }
  std::string body =
      "<h1>Сессии</h1>\n<div class=\"card\">\n  <table>\n    <thead><tr><th>Время</th><th>Протокол</th>"
      "<th>Hostname</th><th>URL</th><th>Запросов</th></tr></thead>\n    <tbody>" +
      rows + "</tbody>\n  </table>\n</div>";
  return shell("Vostrelin inspector", body);
}

std::string render_session(std::string_view session_id, const SessionHeaderMeta& header,
                           const std::vector<RequestSummary>& requests) {
  std::string sid = html_escape(session_id);
  std::string rows;
  for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
    const RequestSummary& r = *it;
    StatusView status = status_view(r.status);
    rows += "<tr>\n  <td><code>" + html_escape(time_of_day(r.started)) + "</code></td>\n  <td>" +
            html_escape(r.method) + "</td>\n  <td><a href=\"/s/" + sid + "/r/" + html_escape(r.id) +
            "\"><code>" + html_escape(r.path) + "</code></a></td>\n  <td class=\"" +
            std::string(status.css_class) + "\">" + status.text + "</td>\n  <td>" + format_size(r.total) +
            "</td>\n  <td>" + format_duration(r.started, r.ended) + "</td>\n</tr>";
  }
  if (requests.empty()) rows = "<tr><td colspan=\"6\" class=\"text-dim\">Пока нет запросов.</td></tr>";

  std::string meta = "<div class=\"meta\">\n  <div><span class=\"meta-label\">Начало:</span> <code>" +
                     header_text(header.ts) + "</code></div>\n  <div><span class=\"meta-label\">Протокол:</span> " +
                     header_text(header.proto) + "</div>\n  <div><span class=\"meta-label\">Hostname:</span> " +
                     header_text_or_dash(header.hostname) +
                     "</div>\n  <div><span class=\"meta-label\">URL:</span> <code>" + header_text(header.remote_url) +
                     "</code></div>\n</div>";

  std::string body =
      "<h1><a href=\"/\">← все сессии</a></h1>\n<h2>Сессия " + sid + "</h2>\n<div class=\"card\">" + meta +
      "</div>\n<div class=\"card\">\n  <table>\n    <thead><tr><th>Время</th><th>Метод</th><th>Путь</th>"
      "<th>Статус</th><th>Размер ответа</th><th>Длительность</th></tr></thead>\n    <tbody>" +
      rows +
      "</tbody>\n  </table>\n  <p class=\"text-dim\" style=\"margin-top:0.75rem;font-size:0.85rem\">Страница не "
      "обновляется автоматически — перезагрузите, чтобы увидеть новые запросы.</p>\n</div>";
  return shell("Сессия " + std::string(session_id), body);
}

std::string render_body_section(std::string_view title, std::string_view head, std::string_view body) {
  std::string body_html;
  if (body.empty()) {
    body_html = "<p class=\"text-dim\">пусто</p>";
  } else if (looks_binary(body)) {
    size_t n = std::min(body.size(), HEX_LIMIT);
    body_html = "<p class=\"text-dim\">Двоичные данные, первые " + std::to_string(n) +
                " байт в hex:</p><pre class=\"codeblock\">" + hex_dump(body.substr(0, n)) + "</pre>";
  } else {
    body_html = "<pre class=\"codeblock\">" + html_escape(utf8_lossy(body)) + "</pre>";
  }
  return "<div class=\"card\">\n  <h3>" + html_escape(title) +
         "</h3>\n  <details open>\n    <summary>Headers (" + std::to_string(head.size()) +
         " байт)</summary>\n    <pre class=\"codeblock\">" + html_escape(utf8_lossy(head)) +
         "</pre>\n  </details>\n  <details open>\n    <summary>Body (" + std::to_string(body.size()) +
         " байт)</summary>\n    " + body_html + "\n  </details>\n</div>";
}

std::string render_request(std::string_view session_id, const RequestDetail& d) {
  std::string sid = html_escape(session_id);
  std::string method = html_escape(d.method);
  std::string path = html_escape(d.path);
  StatusView status = status_view(d.status);

  std::string meta =
      "<div class=\"meta\">\n  <div><span class=\"meta-label\">ID:</span> <code>" + html_escape(d.id) +
      "</code></div>\n  <div><span class=\"meta-label\">Метод:</span> " + method +
      "</div>\n  <div><span class=\"meta-label\">Путь:</span> <code>" + path +
      "</code></div>\n  <div><span class=\"meta-label\">Статус:</span> <span class=\"" +
      std::string(status.css_class) + "\">" + status.text +
      "</span></div>\n  <div><span class=\"meta-label\">Начало:</span> <code>" + html_escape(d.started) +
      "</code></div>\n  <div><span class=\"meta-label\">Конец:</span> <code>" + html_escape(d.ended) +
      "</code></div>\n  <div><span class=\"meta-label\">Размер ответа:</span> " + format_size(d.total) +
      "</div>\n  <div><span class=\"meta-label\">Длительность:</span> " + format_duration(d.started, d.ended) +
      "</div>\n</div>";

  bool identical = d.req_headers_pre == d.req_headers_post && d.req_body_pre == d.req_body_post;
  std::string note = identical ? "<p class=\"text-dim\">Правила не изменили запрос — pre и post идентичны, "
                                 "показана одна версия.</p>"
                               : "";
  std::string pre =
      render_body_section("Запрос (pre-rules, как прилетело с туннеля)", d.req_headers_pre, d.req_body_pre);
  std::string post = identical ? std::string()
                               : render_body_section("Запрос (post-rules, ушло на локалку)", d.req_headers_post,
                                                     d.req_body_post);
  std::string response = render_body_section("Ответ", d.res_headers, d.res_body);

  std::string body = "<h1><a href=\"/s/" + sid + "\">← сессия " + sid + "</a></h1>\n<h2>" + method + " <code>" +
                     path + "</code></h2>\n<div class=\"card\">" + meta + "</div>\n" + note + "\n" + pre + "\n" +
                     post + "\n" + response;
  return shell(d.method + " " + d.path + " — " + std::string(session_id), body);
}

}  // namespace vostrelin::inspector
