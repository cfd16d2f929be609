// Figures of one bench run: each row holds the runs through the tunnel and,
// where there is one, the same load straight against the local server; the
// table shows median and min–max of each and the ratio of the medians.
#pragma once

#include <deque>
#include <string>
#include <vector>

namespace vostrelin::bench {

struct Series {
  std::vector<double> values;
  // Set when a run could not produce its figure (time-out, lost data);
  // the rest of that row's runs are then skipped.
  std::string failure;
  bool present() const { return !values.empty(); }
  double median() const;
  double min() const;
  double max() const;
};

struct Row {
  std::string group;  // "TCP", "HTTP", "UDP", "memory"
  std::string name;
  std::string unit;
  Series tunnel;
  Series direct;  // empty where there is no direct counterpart
  std::string note;
};

struct Report {
  std::string mode;  // "full", "quick" or "smoke"
  // A deque, so that a row handed out by add() stays where it is.
  std::deque<Row> rows;
  Row& add(std::string group, std::string name, std::string unit);
  void print() const;
  bool write_json(const std::string& path) const;
};

}  // namespace vostrelin::bench
