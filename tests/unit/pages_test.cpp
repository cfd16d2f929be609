// The inspector's pages: exact texts, escaping of hostile values from
// session files, number and duration formats, the body views, the style
// sheet's rules and the logo image.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <string>

#include "inspector/assets.h"
#include "inspector/pages.h"
#include "support/env.h"
#include "support/process.h"
#include "support/rfc3339.h"
#include "support/text.h"

namespace vostrelin::inspector {
namespace {

bool contains(const std::string& haystack, std::string_view needle) {
  return haystack.find(needle) != std::string::npos;
}

size_t count(const std::string& haystack, std::string_view needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

// The body of a document made by shell(), and its title.
std::string body_of(const std::string& page) {
  size_t from = page.find("<main class=\"app-main\">\n");
  size_t to = page.rfind("\n</main>");
  EXPECT_NE(from, std::string::npos);
  return page.substr(from + 24, to - from - 24);
}

std::string title_of(const std::string& page) {
  size_t from = page.find("<title>") + 7;
  return page.substr(from, page.find("</title>") - from);
}

TEST(Pages, HtmlEscape) {
  EXPECT_EQ(html_escape(R"(<a href="x">&amp;'</a>)"), "&lt;a href=&quot;x&quot;&gt;&amp;amp;'&lt;/a&gt;");
  EXPECT_EQ(html_escape("Привет"), "Привет");
  EXPECT_EQ(html_escape(""), "");
}

TEST(Pages, ShellFrame) {
  std::string page = shell("a<b", "<p>x</p>");
  std::string expected = "<!DOCTYPE html>\n<html lang=\"ru\">\n<head>\n<meta charset=\"utf-8\">\n<meta name=\"viewport\" "
                         "content=\"width=device-width,initial-scale=1\">\n<title>a&lt;b</title>\n<style>" +
                         std::string(STYLE_SHEET) +
                         "</style>\n</head>\n<body>\n<header class=\"app-header\">\n  <a class=\"logo\" href=\"/\">\n  "
                         "  <img src=\"/logo.png\" alt=\"vostrelin\">\n    <span>Vostrelin inspector</span>\n  "
                         "</a>\n</header>\n<main class=\"app-main\">\n<p>x</p>\n</main>\n</body>\n</html>";
  EXPECT_EQ(page, expected);
}

TEST(Pages, FormatSize) {
  struct Case {
    uint64_t n;
    const char* text;
  } cases[] = {{0, "0 Б"},          {1023, "1023 Б"},       {1024, "1.0 КБ"},      {1536, "1.5 КБ"},
               {1280, "1.2 КБ"},    {1792, "1.8 КБ"},       {1048575, "1024.0 КБ"}, {1048576, "1.0 МБ"},
               {1572864, "1.5 МБ"}, {5ull << 40, "5242880.0 МБ"}};
  for (const Case& c : cases) EXPECT_EQ(format_size(c.n), c.text) << c.n;
  EXPECT_EQ(format_size(UINT64_MAX), "17592186044416.0 МБ");
}

TEST(Pages, FormatDuration) {
  struct Case {
    const char* start;
    const char* end;
    const char* text;
  } cases[] = {
      {"2025-01-01T00:00:00+00:00", "", "—"},
      {"", "2025-01-01T00:00:00+00:00", "—"},
      {"2025-01-01T00:00:01+00:00", "2025-01-01T00:00:00+00:00", "—"},
      {"2025-01-01T00:00:00+00:00", "2025-01-01T00:00:00+00:00", "0 мс"},
      {"2025-01-01T00:00:00+00:00", "2025-01-01T00:00:00.999+00:00", "999 мс"},
      {"2025-01-01T00:00:00+00:00", "2025-01-01T00:00:01+00:00", "1.00 с"},
      {"2025-01-01T00:00:00+00:00", "2025-01-01T00:00:01.234+00:00", "1.23 с"},
      {"2025-01-01T00:00:00+00:00", "2025-01-01T00:01:01+00:00", "61.00 с"},
      // Instants, not wall-clock texts, are compared.
      {"2025-01-01T12:00:00+03:00", "2025-01-01T09:00:00.5Z", "500 мс"},
      {"2025-01-01T09:00:00.5-00:30", "2025-01-01T12:00:00+03:00", "—"},
      // Whole milliseconds, truncated, from the exact difference.
      {"2025-01-01T00:00:00.0009Z", "2025-01-01T00:00:00.0011Z", "0 мс"},
      {"2025-01-01T00:00:00.000000001Z", "2025-01-01T00:00:00.999999999Z", "999 мс"},
      {"2024-12-31T23:59:59.9+00:00", "2025-01-01T00:00:00.1+00:00", "200 мс"},
      {"0001-01-01T00:00:00Z", "9999-12-31T23:59:59Z", "315537897599.00 с"},
      {"not a time", "2025-01-01T00:00:00Z", "—"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_duration(c.start, c.end), c.text) << c.start << " " << c.end;
}

TEST(Pages, Rfc3339) {
  struct Case {
    const char* text;
    std::optional<Instant> instant;
  } cases[] = {
      {"1970-01-01T00:00:00Z", Instant{0, 0}},
      {"1970-01-01t00:00:00z", Instant{0, 0}},
      {"1970-01-01 00:00:00Z", Instant{0, 0}},
      {"1970-01-01T03:00:00+03:00", Instant{0, 0}},
      {"1969-12-31T23:59:59.5Z", Instant{-1, 500000000}},
      {"2025-03-14T09:26:53.123456789123+00:00", Instant{1741944413, 123456789}},
      {"2024-02-29T00:00:00-23:59", Instant{1709251140, 0}},
      {"2016-12-31T23:59:60Z", Instant{1483228800, 0}},
      {"2000-02-29T00:00:00Z", Instant{951782400, 0}},
      {"0000-01-01T00:00:00Z", Instant{-62167219200, 0}},
      {"9999-12-31T23:59:59Z", Instant{253402300799, 0}},
      {"2023-02-29T00:00:00Z", std::nullopt},
      {"1900-02-29T00:00:00Z", std::nullopt},
      {"2025-04-31T00:00:00Z", std::nullopt},
      {"2025-13-01T00:00:00Z", std::nullopt},
      {"2025-01-01T24:00:00Z", std::nullopt},
      {"2025-01-01T00:60:00Z", std::nullopt},
      {"2025-01-01T00:00:61Z", std::nullopt},
      {"2025-01-01T00:00:00+24:00", std::nullopt},
      {"2025-01-01T00:00:00+03:60", std::nullopt},
      {"2025-01-01T00:00:00+0300", std::nullopt},
      {"2025-01-01T00:00:00", std::nullopt},
      {"2025-01-01T00:00:00.Z", std::nullopt},
      {"2025-01-01T00:00:00Z ", std::nullopt},
      {"2025-01-01", std::nullopt},
      {"25-01-01T00:00:00Z", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_rfc3339(c.text), c.instant) << c.text;
}

TEST(Pages, IndexEmptyAndRows) {
  std::string empty = render_index({});
  EXPECT_EQ(title_of(empty), "Vostrelin inspector");
  EXPECT_EQ(body_of(empty),
            "<h1>Сессии</h1><div class=\"card\"><p class=\"text-dim\">Пока нет сессий. Запустите vostrelin-client в "
            "HTTP-режиме — файл появится в <code>~/.vostrelin/sessions/</code>.</p></div>");

  std::vector<SessionSummary> sessions = {
      {"2025-03-14T09-26-53", "ts", "HTTP", "", "https://a.example", 3},
      {"x\"><script>", "", "<b>", "h&m", "u\"<", 0},
  };
  EXPECT_EQ(body_of(render_index(sessions)),
            "<h1>Сессии</h1>\n<div class=\"card\">\n  <table>\n    <thead><tr><th>Время</th><th>Протокол</th>"
            "<th>Hostname</th><th>URL</th><th>Запросов</th></tr></thead>\n    <tbody>"
            "<tr>\n  <td><a href=\"/s/2025-03-14T09-26-53\">2025-03-14T09-26-53</a></td>\n  <td>HTTP</td>\n  "
            "<td>—</td>\n  <td><code>https://a.example</code></td>\n  <td>3</td>\n</tr>"
            "<tr>\n  <td><a href=\"/s/x&quot;&gt;&lt;script&gt;\">x&quot;&gt;&lt;script&gt;</a></td>\n  "
            "<td>&lt;b&gt;</td>\n  <td>h&amp;m</td>\n  <td><code>u&quot;&lt;</code></td>\n  <td>0</td>\n</tr>"
            "</tbody>\n  </table>\n</div>");
}

TEST(Pages, SessionPage) {
  test::LocalZone zone("<+03>-3");
  SessionHeaderMeta header{"2025-03-14T09:26:53+03:00", "HTTP", "", "https://a.example"};
  std::vector<RequestSummary> requests = {
      {"1", "2025-03-14T09:26:53.5+00:00", "2025-03-14T09:26:54.734+00:00", "GET", "/one", 1536, 200},
      {"2", "garbage <t>", "", "POST", "/two", 10, 0},
      {"3", "2025-03-14T23:59:59-01:00", "2025-03-14T23:59:59.999-01:00", "PUT", "/three", 0, 404},
  };
  std::string page = render_session("2025-03-14T09-26-53", header, requests);
  EXPECT_EQ(title_of(page), "Сессия 2025-03-14T09-26-53");
  std::string rows =
      "<tr>\n  <td><code>03:59:59</code></td>\n  <td>PUT</td>\n  <td><a href=\"/s/2025-03-14T09-26-53/r/3\">"
      "<code>/three</code></a></td>\n  <td class=\"status status-err\">404</td>\n  <td>0 Б</td>\n  <td>999 мс</td>\n"
      "</tr>"
      "<tr>\n  <td><code>garbage &lt;t&gt;</code></td>\n  <td>POST</td>\n  <td><a href=\"/s/2025-03-14T09-26-53/r/2\">"
      "<code>/two</code></a></td>\n  <td class=\"status status-none\">—</td>\n  <td>10 Б</td>\n  <td>—</td>\n</tr>"
      "<tr>\n  <td><code>12:26:53</code></td>\n  <td>GET</td>\n  <td><a href=\"/s/2025-03-14T09-26-53/r/1\">"
      "<code>/one</code></a></td>\n  <td class=\"status status-ok\">200</td>\n  <td>1.5 КБ</td>\n  <td>1.23 с</td>\n"
      "</tr>";
  EXPECT_EQ(body_of(page),
            "<h1><a href=\"/\">← все сессии</a></h1>\n<h2>Сессия 2025-03-14T09-26-53</h2>\n<div class=\"card\">"
            "<div class=\"meta\">\n  <div><span class=\"meta-label\">Начало:</span> <code>2025-03-14T09:26:53+03:00"
            "</code></div>\n  <div><span class=\"meta-label\">Протокол:</span> HTTP</div>\n  <div><span "
            "class=\"meta-label\">Hostname:</span> —</div>\n  <div><span class=\"meta-label\">URL:</span> "
            "<code>https://a.example</code></div>\n</div></div>\n<div class=\"card\">\n  <table>\n    <thead><tr>"
            "<th>Время</th><th>Метод</th><th>Путь</th><th>Статус</th><th>Размер ответа</th><th>Длительность</th>"
            "</tr></thead>\n    <tbody>" +
                rows +
                "</tbody>\n  </table>\n  <p class=\"text-dim\" style=\"margin-top:0.75rem;font-size:0.85rem\">"
                "Страница не обновляется автоматически — перезагрузите, чтобы увидеть новые запросы.</p>\n</div>");

  std::string none = render_session("s", SessionHeaderMeta{}, {});
  EXPECT_TRUE(contains(none, "<tbody><tr><td colspan=\"6\" class=\"text-dim\">Пока нет запросов.</td></tr></tbody>"));
  EXPECT_TRUE(contains(none, "<span class=\"meta-label\">Hostname:</span> —</div>"));
}

TEST(Pages, StatusClasses) {
  struct Case {
    uint16_t status;
    const char* css_class;
    const char* text;
  } cases[] = {
      {0, "status status-none", "—"},        {1, "status status-ok", "1"},
      {101, "status status-ok", "101"},      {204, "status status-ok", "204"},
      {299, "status status-ok", "299"},      {300, "status status-redirect", "300"},
      {304, "status status-redirect", "304"}, {399, "status status-redirect", "399"},
      {400, "status status-err", "400"},     {502, "status status-err", "502"},
      {65535, "status status-err", "65535"},
  };
  for (const Case& c : cases) {
    RequestSummary r{"1", "", "", "GET", "/", 0, c.status};
    std::string cell = "<td class=\"" + std::string(c.css_class) + "\">" + c.text + "</td>";
    EXPECT_TRUE(contains(render_session("s", {}, {r}), cell)) << c.status;
    RequestDetail d;
    d.status = c.status;
    std::string span = "Статус:</span> <span class=\"" + std::string(c.css_class) + "\">" + c.text + "</span>";
    EXPECT_TRUE(contains(render_request("s", d), span)) << c.status;
  }
}

TEST(Pages, HostileValuesAreEscapedEverywhere) {
  const std::string evil = "<script>alert(\"x&y\")</script>";
  const std::string escaped = "&lt;script&gt;alert(&quot;x&amp;y&quot;)&lt;/script&gt;";

  SessionHeaderMeta header{evil, evil, evil, evil};
  std::string session = render_session("sid", header, {{evil, evil, evil, evil, evil, 1, 200}});
  std::string index = render_index({{evil, evil, evil, evil, evil, 1}});
  RequestDetail d;
  d.id = d.started = d.ended = d.method = d.path = evil;
  d.req_headers_pre = evil;
  d.req_headers_post = evil + "2";
  d.req_body_pre = evil;
  d.res_headers = evil;
  d.res_body = evil;
  std::string request = render_request("sid", d);

  for (const std::string* page : {&session, &index, &request}) {
    EXPECT_FALSE(contains(*page, "<script>")) << *page;
    EXPECT_FALSE(contains(*page, "x&y")) << *page;
    EXPECT_TRUE(contains(*page, escaped)) << *page;
  }
  EXPECT_EQ(title_of(request), escaped + " " + escaped + " — sid");
  EXPECT_TRUE(contains(request, "<h2>" + escaped + " <code>" + escaped + "</code></h2>"));
  // Ampersands in a head stay text.
  std::string section = render_body_section("T&C", "Cookie: a=1&b=2\r\n", "");
  EXPECT_TRUE(contains(section, "<h3>T&amp;C</h3>"));
  EXPECT_TRUE(contains(section, "Cookie: a=1&amp;b=2\r\n</pre>"));
}

// However long the session header's texts in a file, the pages show a
// bounded part of each, cut between characters.
TEST(Pages, LongHeaderTextsAreCut) {
  const std::string quotes(1000000, '"');  // six times as long once escaped
  const std::string quotes_shown = html_escape(quotes.substr(0, HEADER_TEXT_SHOWN)) + "…";
  // The two bytes of "Ж" stand on either side of the limit.
  const std::string letters = std::string(HEADER_TEXT_SHOWN - 1, 'a') + "Жtail";
  const std::string letters_shown = std::string(HEADER_TEXT_SHOWN - 1, 'a') + "…";
  const std::string exact(HEADER_TEXT_SHOWN, 'u');

  std::string index = render_index({{"id", quotes, letters, quotes, exact, 1}});
  std::string session = render_session("sid", {quotes, letters, quotes, exact}, {});
  for (const std::string* page : {&index, &session}) {
    EXPECT_LT(page->size(), STYLE_SHEET.size() + 3 * 6 * HEADER_TEXT_SHOWN + 4096);
    EXPECT_TRUE(is_valid_utf8(*page));
    EXPECT_TRUE(contains(*page, " " + letters_shown + "</") || contains(*page, ">" + letters_shown + "</"));
    EXPECT_TRUE(contains(*page, ">" + exact + "</code>"));
  }
  EXPECT_TRUE(contains(index, "<td>" + quotes_shown + "</td>"));
  EXPECT_EQ(count(session, quotes_shown), 2u);
}

TEST(Pages, RequestPageCards) {
  RequestDetail d;
  d.id = "7";
  d.method = "POST";
  d.path = "/p";
  d.started = "2025-01-01T00:00:00Z";
  d.ended = "2025-01-01T00:00:00.250Z";
  d.total = 2048;
  d.status = 201;
  d.req_headers_pre = d.req_headers_post = "POST /p HTTP/1.1\r\n\r\n";
  d.req_body_pre = d.req_body_post = "body";
  d.res_headers = "HTTP/1.1 201 Created\r\n\r\n";
  d.res_body = "ok";

  const std::string note =
      "<p class=\"text-dim\">Правила не изменили запрос — pre и post идентичны, показана одна версия.</p>";
  std::string pre = render_body_section("Запрос (pre-rules, как прилетело с туннеля)", d.req_headers_pre, "body");
  std::string response = render_body_section("Ответ", d.res_headers, "ok");
  std::string meta =
      "<div class=\"meta\">\n  <div><span class=\"meta-label\">ID:</span> <code>7</code></div>\n  <div><span "
      "class=\"meta-label\">Метод:</span> POST</div>\n  <div><span class=\"meta-label\">Путь:</span> <code>/p</code>"
      "</div>\n  <div><span class=\"meta-label\">Статус:</span> <span class=\"status status-ok\">201</span></div>\n  "
      "<div><span class=\"meta-label\">Начало:</span> <code>2025-01-01T00:00:00Z</code></div>\n  <div><span "
      "class=\"meta-label\">Конец:</span> <code>2025-01-01T00:00:00.250Z</code></div>\n  <div><span "
      "class=\"meta-label\">Размер ответа:</span> 2.0 КБ</div>\n  <div><span class=\"meta-label\">Длительность:</span> "
      "250 мс</div>\n</div>";
  std::string same = render_request("S1", d);
  EXPECT_EQ(title_of(same), "POST /p — S1");
  EXPECT_EQ(body_of(same), "<h1><a href=\"/s/S1\">← сессия S1</a></h1>\n<h2>POST <code>/p</code></h2>\n"
                           "<div class=\"card\">" + meta + "</div>\n" + note + "\n" + pre + "\n\n" + response);
  EXPECT_EQ(count(same, "<div class=\"card\">\n  <h3>"), 2u);

  // One byte of difference anywhere shows both versions and no note.
  for (int which = 0; which < 2; ++which) {
    RequestDetail changed = d;
    (which == 0 ? changed.req_headers_post : changed.req_body_post) += "!";
    std::string page = render_request("S1", changed);
    std::string post = render_body_section("Запрос (post-rules, ушло на локалку)", changed.req_headers_post,
                                           changed.req_body_post);
    EXPECT_EQ(body_of(page), "<h1><a href=\"/s/S1\">← сессия S1</a></h1>\n<h2>POST <code>/p</code></h2>\n"
                             "<div class=\"card\">" + meta + "</div>\n\n" + pre + "\n" + post + "\n" + response);
    EXPECT_FALSE(contains(page, "идентичны"));
  }
}

TEST(Pages, BodySection) {
  EXPECT_EQ(render_body_section("Ответ", "", ""),
            "<div class=\"card\">\n  <h3>Ответ</h3>\n  <details open>\n    <summary>Headers (0 байт)</summary>\n    "
            "<pre class=\"codeblock\"></pre>\n  </details>\n  <details open>\n    <summary>Body (0 байт)</summary>\n    "
            "<p class=\"text-dim\">пусто</p>\n  </details>\n</div>");
  EXPECT_EQ(render_body_section("T", "H: \xff\r\n", "a<b\xc3"),
            "<div class=\"card\">\n  <h3>T</h3>\n  <details open>\n    <summary>Headers (6 байт)</summary>\n    "
            "<pre class=\"codeblock\">H: \xEF\xBF\xBD\r\n</pre>\n  </details>\n  <details open>\n    <summary>Body (4 "
            "байт)</summary>\n    <pre class=\"codeblock\">a&lt;b\xEF\xBF\xBD</pre>\n  </details>\n</div>");
}

// The hex view of a binary body, or nothing for a text body.
std::optional<std::string> hex_view(const std::string& body) {
  std::string section = render_body_section("T", "", body);
  size_t at = section.find("<p class=\"text-dim\">Двоичные данные, первые ");
  if (at == std::string::npos) {
    EXPECT_TRUE(contains(section, "<pre class=\"codeblock\">")) << section;
    return std::nullopt;
  }
  return section.substr(at, section.find("</pre>", at) + 6 - at);
}

TEST(Pages, BinaryBodies) {
  auto with_controls = [](size_t length, size_t controls, char control) {
    std::string body(length, 'a');
    for (size_t i = 0; i < controls; ++i) body[i * 7 % length] = control;
    return body;
  };
  struct Case {
    const char* name;
    std::string body;
    bool binary;
  } cases[] = {
      {"4096 printable, then NUL", std::string(4096, 'a') + '\0', false},
      {"NUL first", std::string("\0abc", 4), true},
      {"5 controls in 100", with_controls(100, 5, '\x01'), true},
      {"4 controls in 100", with_controls(100, 4, '\x1f'), false},
      {"white space is no control", with_controls(100, 50, '\t') + "\n\r\v\f\x7f", false},
      {"ESC counts", with_controls(20, 1, '\x1b'), true},
      {"controls past the sample", std::string(4096, 'a') + std::string(1000, '\x02'), false},
      {"UTF-8 text", "Привет, мир", false},
  };
  for (const Case& c : cases) EXPECT_EQ(hex_view(c.body).has_value(), c.binary) << c.name;

  std::string forty(40, '\0');
  for (int i = 0; i < 40; ++i) forty[i] = static_cast<char>(i * 7);
  std::string line1, line2;
  for (int i = 0; i < 40; ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(i * 7));
    std::string& line = i < 32 ? line1 : line2;
    if (!line.empty()) line += ' ';
    line += buf;
  }
  EXPECT_EQ(hex_view(forty), "<p class=\"text-dim\">Двоичные данные, первые 40 байт в hex:</p><pre class=\"codeblock\">" +
                                 line1 + "\n" + line2 + "</pre>");

  std::string thousand(1000, '\xab');
  thousand[0] = '\0';
  std::optional<std::string> view = hex_view(thousand);
  ASSERT_TRUE(view);
  EXPECT_TRUE(contains(*view, "первые 256 байт в hex:"));
  EXPECT_EQ(count(*view, "\n"), 7u);
  EXPECT_EQ(count(*view, "ab"), 255u);
  EXPECT_TRUE(contains(*view, ">00 ab ab"));
}

// The style sheet as selector -> declarations, white space normalised.
std::map<std::string, std::string> css_rules(std::string_view css) {
  auto squeeze = [](std::string_view s) {
    std::string out;
    bool space = false;
    for (char c : s) {
      if (c == ' ' || c == '\n' || c == '\t') {
        space = !out.empty();
        continue;
      }
      if (space) out += ' ';
      space = false;
      out += c;
    }
    return out;
  };
  std::map<std::string, std::string> rules;
  size_t at = 0;
  for (size_t open; (open = css.find('{', at)) != std::string_view::npos;) {
    size_t close = css.find('}', open);
    std::string decls;
    std::string_view body = css.substr(open + 1, close - open - 1);
    for (size_t from = 0; from < body.size();) {
      size_t semi = std::min(body.find(';', from), body.size());
      std::string d = squeeze(body.substr(from, semi - from));
      if (!d.empty()) decls += (decls.empty() ? "" : "; ") + d;
      from = semi + 1;
    }
    EXPECT_TRUE(rules.emplace(squeeze(css.substr(at, open - at)), decls).second);
    at = close + 1;
  }
  return rules;
}

TEST(Pages, StyleSheetRules) {
  std::map<std::string, std::string> want = {
      {":root", "--bg: #0a1a33; --bg-alt: #0f2540; --card: #12293f; --border: #1f3a5a; --primary: #3fb8ff; "
                "--accent: #ff9547; --text: #e9f1fa; --text-dim: #a8bdd3; --success: #46c27e; --warn: #e7c64b; "
                "--danger: #ff5560; --radius: 6px"},
      {"*", "box-sizing: border-box"},
      {"html, body", "margin: 0; padding: 0; background: var(--bg); color: var(--text); font-family: -apple-system, "
                     "BlinkMacSystemFont, \"Segoe UI\", Roboto, Ubuntu, sans-serif; font-size: 15px; line-height: 1.5; "
                     "min-height: 100vh"},
      {"a", "color: var(--accent); text-decoration: none"},
      {"a:hover", "text-decoration: underline"},
      {"a:visited", "color: var(--accent)"},
      {"code", "font-family: \"SFMono-Regular\", Menlo, Consolas, monospace; font-size: 0.9em"},
      {".app-header", "background: var(--bg-alt); border-bottom: 1px solid var(--border); padding: 0.75rem 1.5rem; "
                      "display: flex; align-items: center; gap: 1.5rem"},
      {".app-header .logo", "display: flex; align-items: center; gap: 0.6rem; color: var(--text); font-weight: 600; "
                            "font-size: 1.1rem"},
      {".app-header .logo img", "height: 32px; width: 32px; border-radius: 50%"},
      {".app-main", "max-width: 1200px; margin: 0 auto; padding: 1.5rem"},
      {"h1", "margin: 0 0 1rem 0; font-size: 1.4rem; font-weight: 600"},
      {"h1 a", "color: var(--text-dim); font-weight: 400; font-size: 0.85rem"},
      {"h1 a:hover", "color: var(--primary)"},
      {"h2", "margin: 0 0 1rem 0; font-size: 1.1rem; font-weight: 600; color: var(--primary)"},
      {"h3", "margin: 0 0 0.75rem 0; font-size: 1rem; font-weight: 600; color: var(--primary)"},
      {".card", "background: var(--card); border: 1px solid var(--border); border-radius: var(--radius); padding: "
                "1.25rem; margin-bottom: 1.25rem"},
      {".text-dim", "color: var(--text-dim)"},
      {"table", "width: 100%; border-collapse: collapse"},
      {"table th, table td", "text-align: left; padding: 0.5rem 0.75rem; border-bottom: 1px solid var(--border)"},
      {"table th", "color: var(--text-dim); font-weight: 500; font-size: 0.85rem; text-transform: uppercase; "
                   "letter-spacing: 0.05em"},
      {"table tr:last-child td", "border-bottom: 0"},
      {".meta", "display: grid; grid-template-columns: repeat(auto-fit, minmax(200px, 1fr)); gap: 0.5rem 1rem"},
      {".meta-label", "color: var(--text-dim); font-size: 0.85rem; margin-right: 0.3rem"},
      {".status", "font-weight: 600"},
      {".status-ok", "color: var(--success)"},
      {".status-redirect", "color: var(--warn)"},
      {".status-err", "color: var(--danger)"},
      {".status-none", "color: var(--text-dim)"},
      {"pre.codeblock", "background: var(--bg); border: 1px solid var(--border); border-radius: var(--radius); "
                        "padding: 0.75rem; font-family: \"SFMono-Regular\", Menlo, Consolas, monospace; font-size: "
                        "0.85rem; white-space: pre-wrap; word-break: break-all; max-height: 400px; overflow: auto; "
                        "margin: 0.5rem 0 0 0"},
      {"details > summary", "cursor: pointer; color: var(--text-dim); font-size: 0.9rem; padding: 0.35rem 0"},
      {"details > summary:hover", "color: var(--primary)"},
      {"details + details", "margin-top: 0.5rem"},
  };
  EXPECT_EQ(css_rules(STYLE_SHEET), want);
  // Nothing in the sheet can end the <style> element early.
  EXPECT_FALSE(contains(std::string(STYLE_SHEET), "<"));
}

uint32_t crc32(std::string_view bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

uint32_t be32(std::string_view s, size_t at) {
  return (uint32_t(uint8_t(s[at])) << 24) | (uint32_t(uint8_t(s[at + 1])) << 16) |
         (uint32_t(uint8_t(s[at + 2])) << 8) | uint32_t(uint8_t(s[at + 3]));
}

TEST(Pages, LogoIsA400SquareRgbaPng) {
  std::string_view png = logo_png();
  ASSERT_GT(png.size(), 33u);
  EXPECT_EQ(png.substr(0, 8), std::string_view("\x89PNG\r\n\x1a\n", 8));
  std::vector<std::string> kinds;
  for (size_t at = 8; at < png.size();) {
    ASSERT_LE(at + 12, png.size());
    uint32_t length = be32(png, at);
    ASSERT_LE(at + 12 + length, png.size());
    std::string_view kind_and_data = png.substr(at + 4, 4 + length);
    EXPECT_EQ(be32(png, at + 8 + length), crc32(kind_and_data)) << kind_and_data.substr(0, 4);
    kinds.emplace_back(kind_and_data.substr(0, 4));
    if (kinds.back() == "IHDR") {
      ASSERT_EQ(length, 13u);
      EXPECT_EQ(be32(png, at + 8), 400u);
      EXPECT_EQ(be32(png, at + 12), 400u);
      EXPECT_EQ(png[at + 16], 8);  // bit depth
      EXPECT_EQ(png[at + 17], 6);  // RGBA
    }
    at += 12 + length;
  }
  ASSERT_GE(kinds.size(), 3u);
  EXPECT_EQ(kinds.front(), "IHDR");
  EXPECT_EQ(kinds.back(), "IEND");

  // The image data inflates to 400 rows of a filter byte and 400 pixels.
  const char* python = "/usr/bin/python3";
  if (::access(python, X_OK) != 0) GTEST_SKIP() << "no " << python << " to inflate the image data";
  test::TempDir dir;
  test::write_file(dir / "logo.png", png);
  test::RunResult r = test::run_program(
      {python, "-c",
       "import sys, zlib\n"
       "d = open(sys.argv[1], 'rb').read()\n"
       "i, idat = 8, b''\n"
       "while i < len(d):\n"
       "    n = int.from_bytes(d[i:i+4], 'big')\n"
       "    if d[i+4:i+8] == b'IDAT': idat += d[i+8:i+8+n]\n"
       "    i += 12 + n\n"
       "raw = zlib.decompress(idat)\n"
       "alpha = [raw[r*1601 + 1 + 4*x + 3] for r in (0, 200) for x in (0, 200)]\n"
       "print(len(raw), alpha)\n",
       dir / "logo.png"},
      {});
  EXPECT_EQ(r.status, 0) << r.err;
  // Transparent corners outside the round badge, opaque in its middle.
  EXPECT_EQ(r.out, "640400 [0, 0, 0, 255]\n");
}

}  // namespace
}  // namespace vostrelin::inspector
