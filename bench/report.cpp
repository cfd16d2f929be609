#include "report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

namespace vostrelin::bench {

double Series::median() const {
  if (values.empty()) return NAN;
  std::vector<double> v = values;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}
double Series::min() const { return values.empty() ? NAN : *std::min_element(values.begin(), values.end()); }
double Series::max() const { return values.empty() ? NAN : *std::max_element(values.begin(), values.end()); }

Row& Report::add(std::string group, std::string name, std::string unit) {
  rows.push_back(Row{std::move(group), std::move(name), std::move(unit), {}, {}, {}});
  return rows.back();
}

namespace {

std::string number(double v) {
  char buf[32];
  double a = std::fabs(v);
  if (a >= 1000) std::snprintf(buf, sizeof buf, "%.0f", v);
  else if (a >= 100) std::snprintf(buf, sizeof buf, "%.1f", v);
  else if (a >= 1) std::snprintf(buf, sizeof buf, "%.2f", v);
  else std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

std::string cell(const Series& s) {
  if (!s.present()) return s.failure.empty() ? "—" : "failed: " + s.failure;
  std::string text = number(s.median());
  if (s.values.size() > 1) text += " (" + number(s.min()) + "–" + number(s.max()) + ")";
  if (!s.failure.empty()) text += " [" + s.failure + "]";
  return text;
}

// Width in characters, not bytes, for the table's columns.
size_t width(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

std::string pad(const std::string& s, size_t w) { return s + std::string(w > width(s) ? w - width(s) : 0, ' '); }

nlohmann::ordered_json series_json(const Series& s) {
  nlohmann::ordered_json j;
  j["runs"] = s.values;
  if (s.present()) {
    j["median"] = s.median();
    j["min"] = s.min();
    j["max"] = s.max();
  }
  if (!s.failure.empty()) j["failure"] = s.failure;
  return j;
}

}  // namespace

void Report::print() const {
  std::vector<std::vector<std::string>> table;
  table.push_back({"figure", "unit", "tunnel: median (min–max)", "direct: median (min–max)", "ratio"});
  for (const Row& r : rows) {
    std::string ratio = "—";
    if (r.tunnel.present() && r.direct.present() && r.direct.median() != 0) {
      ratio = number(100 * r.tunnel.median() / r.direct.median()) + " %";
    }
    std::string name = r.group + ": " + r.name;
    table.push_back({name, r.unit, cell(r.tunnel), r.direct.present() || !r.direct.failure.empty() ? cell(r.direct) : "—",
                     ratio});
  }
  std::vector<size_t> w(5, 0);
  for (const auto& line : table)
    for (size_t i = 0; i < line.size(); ++i) w[i] = std::max(w[i], width(line[i]));
  for (size_t k = 0; k < table.size(); ++k) {
    std::string out;
    for (size_t i = 0; i < table[k].size(); ++i) out += pad(table[k][i], w[i]) + (i + 1 < table[k].size() ? "  " : "");
    std::printf("%s\n", out.c_str());
    if (k == 0) {
      size_t total = 0;
      for (size_t x : w) total += x + 2;
      std::printf("%s\n", std::string(total - 2, '-').c_str());
    }
  }
  for (const Row& r : rows)
    if (!r.note.empty()) std::printf("  * %s: %s: %s\n", r.group.c_str(), r.name.c_str(), r.note.c_str());
  std::fflush(stdout);
}

bool Report::write_json(const std::string& path) const {
  nlohmann::ordered_json j;
  j["mode"] = mode;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const Row& r : rows) {
    nlohmann::ordered_json row;
    row["group"] = r.group;
    row["name"] = r.name;
    row["unit"] = r.unit;
    row["tunnel"] = series_json(r.tunnel);
    if (r.direct.present() || !r.direct.failure.empty()) {
      row["direct"] = series_json(r.direct);
      if (r.tunnel.present() && r.direct.present() && r.direct.median() != 0) {
        row["ratio"] = r.tunnel.median() / r.direct.median();
      }
    }
    if (!r.note.empty()) row["note"] = r.note;
    list.push_back(std::move(row));
  }
  j["rows"] = std::move(list);
  std::ofstream f(path);
  f << j.dump(2) << "\n";
  return static_cast<bool>(f);
}

}  // namespace vostrelin::bench
