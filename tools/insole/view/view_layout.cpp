#include "insole/view/view_layout.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "insole/console/text.h"
#include "insole/view/view_assets.h"
#include "protocol/json.h"

namespace insole {

namespace {

using boost::property_tree::ptree;

// Coordinates beyond a metre are a unit mistake, not a foot.
constexpr double kMaxMm = 1000;
constexpr size_t kMaxFileBytes = 1 << 20;

[[noreturn]] void refuse(const std::string& why) { throw std::runtime_error(why); }

double number(const ptree& node, const char* key, const std::string& where, bool positive) {
  auto child = node.get_child_optional(key);
  if (!child || !child->empty()) refuse(where + ": " + key + " is missing or not a number");
  const std::string& text = child->data();
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(value))
    refuse(where + ": " + key + " is not a number");
  if (std::fabs(value) > kMaxMm) refuse(where + ": " + key + " is beyond 1000 mm");
  if (positive && value <= 0) refuse(where + ": " + key + " must be above 0");
  return value;
}

Point point(const ptree& node, const std::string& where) {
  // Either {"x": .., "y": ..} or [x, y].
  if (node.count("x") || node.count("y")) return {number(node, "x", where, false), number(node, "y", where, false)};
  if (node.size() != 2) refuse(where + ": a point is {\"x\": .., \"y\": ..} or [x, y]");
  ptree pair;
  auto it = node.begin();
  pair.add_child("x", it->second);
  pair.add_child("y", (++it)->second);
  return {number(pair, "x", where, false), number(pair, "y", where, false)};
}

std::vector<Point> points(const ptree& root, const char* key, size_t max) {
  std::vector<Point> out;
  auto list = root.get_child_optional(key);
  if (!list) return out;
  for (const auto& [name, node] : *list) {
    if (!name.empty()) refuse(std::string(key) + " must be a list");
    if (out.size() == max) refuse(std::string(key) + " has more than " + std::to_string(max) + " points");
    out.push_back(point(node, std::string(key) + " point " + std::to_string(out.size())));
  }
  return out;
}

void append_number(std::string& out, double v) { out += strf("%.2f", v); }

// The JSON reader descends once per level of nesting, so a file nested a
// hundred thousand levels deep would end the program on its stack. A layout
// needs four levels; anything past kMaxNesting is refused before reading.
constexpr int kMaxNesting = 32;

void refuse_deep_nesting(std::string_view json) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) refuse("nested deeper than " + std::to_string(kMaxNesting) + " levels");
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
}

}  // namespace

CellLayout parse_layout(std::string_view json) {
  refuse_deep_nesting(json);
  ptree root;
  try {
    std::istringstream in{std::string(json)};
    boost::property_tree::read_json(in, root);
  } catch (const boost::property_tree::json_parser_error& e) {
    refuse("not JSON (line " + std::to_string(e.line()) + ": " + e.message() + ")");
  }
  CellLayout layout;
  layout.name = root.get<std::string>("name", "");
  layout.note = root.get<std::string>("note", "");
  auto cells = root.get_child_optional("cells");
  if (!cells) refuse("no \"cells\" list");
  std::array<bool, kLayoutCells> seen{};
  std::array<bool, kLayoutCells> named{};  // the file gives the cell's region
  size_t count = 0;
  for (const auto& [name, cell] : *cells) {
    if (!name.empty()) refuse("\"cells\" must be a list");
    const std::string where = "cells[" + std::to_string(count++) + "]";
    auto index_text = cell.get_optional<std::string>("index");
    char* end = nullptr;
    const long index = index_text ? std::strtol(index_text->c_str(), &end, 10) : -1;
    if (!index_text || index_text->empty() || *end != '\0' || index < 0 || index >= long{kLayoutCells})
      refuse(where + ": index must be a whole number from 0 to 47");
    if (seen[static_cast<size_t>(index)]) refuse(where + ": cell " + std::to_string(index) + " is given twice");
    seen[static_cast<size_t>(index)] = true;
    CellBox& box = layout.cells[static_cast<size_t>(index)];
    box = {number(cell, "x", where, false), number(cell, "y", where, false), number(cell, "w", where, true),
           number(cell, "h", where, true)};
    if (auto region = cell.get_optional<std::string>("region")) {
      auto known = tvis::layout::region_from_name(*region);
      if (!known) refuse(where + ": region must be heel, midfoot, forefoot or toes");
      box.region = *known;
      named[static_cast<size_t>(index)] = true;
    }
  }
  for (size_t i = 0; i < kLayoutCells; ++i)
    if (!seen[i]) refuse("cell " + std::to_string(i) + " is missing (a layout places all 48 cells)");
  // Cells without a region take the one their place along the foot gives.
  double heel_y = layout.cells[0].y, toe_y = heel_y;
  for (const CellBox& c : layout.cells) {
    heel_y = std::min(heel_y, c.y - c.h / 2);
    toe_y = std::max(toe_y, c.y + c.h / 2);
  }
  for (size_t i = 0; i < kLayoutCells; ++i)
    if (!named[i]) layout.cells[i].region = tvis::layout::region_at(layout.cells[i].y, heel_y, toe_y);
  layout.outline = points(root, "outline", 512);
  layout.shear = points(root, "shear", 3);
  return layout;
}

CellLayout load_layout(const std::string& path) {
  if (path.empty()) return tvis::layout::default_layout();
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) refuse("cannot read " + path + ": " + std::strerror(errno));
  std::string text;
  char block[4096];
  size_t n;
  while ((n = std::fread(block, 1, sizeof block, file)) > 0 && text.size() <= kMaxFileBytes) text.append(block, n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) refuse("cannot read " + path);
  if (text.size() > kMaxFileBytes) refuse(path + ": not a cell layout: larger than 1 MiB");
  try {
    return parse_layout(text);
  } catch (const std::runtime_error& e) {
    refuse(path + ": not a cell layout: " + e.what());
  }
}

std::string layout_json(const CellLayout& layout) {
  std::string out = "{\"cells\":[";
  for (size_t i = 0; i < kLayoutCells; ++i) {
    const CellBox& c = layout.cells[i];
    out += i ? ",[" : "[";
    append_number(out, c.x);
    out += ',';
    append_number(out, c.y);
    out += ',';
    append_number(out, c.w);
    out += ',';
    append_number(out, c.h);
    out += ']';
  }
  out += ']';
  auto list = [&out](const char* key, const std::vector<Point>& pts) {
    out += ",\"";
    out += key;
    out += "\":[";
    for (size_t i = 0; i < pts.size(); ++i) {
      out += i ? ",[" : "[";
      append_number(out, pts[i].x);
      out += ',';
      append_number(out, pts[i].y);
      out += ']';
    }
    out += ']';
  };
  list("outline", layout.outline);
  list("shear", layout.shear);
  return out + "}";
}

std::string layout_document(const CellLayout& layout, bool right_foot) {
  const double mirror = right_foot ? -1 : 1;
  std::string out = "{\"name\":";
  tvis::protocol::append_json_string(out, layout.name);
  out += ",\"note\":";
  tvis::protocol::append_json_string(out, layout.note);
  out += right_foot ? ",\"foot\":\"right\"" : ",\"foot\":\"left\"";
  out += ",\"cells\":[";
  for (size_t i = 0; i < kLayoutCells; ++i) {
    const CellBox c = tvis::layout::on_foot(layout.cells[i], right_foot);
    out += i ? ",\n" : "\n";
    out += strf("{\"index\":%zu,\"x_mm\":%.2f,\"y_mm\":%.2f,\"w_mm\":%.2f,\"h_mm\":%.2f,\"region\":\"%s\"}", i,
                c.x + 0.0, c.y, c.w, c.h, tvis::layout::region_name(c.region));
  }
  auto list = [&](const char* key, const std::vector<Point>& pts) {
    out += "],\n\"";
    out += key;
    out += "\":[";
    for (size_t i = 0; i < pts.size(); ++i)
      out += strf("%s{\"x_mm\":%.2f,\"y_mm\":%.2f}", i ? "," : "", mirror * pts[i].x + 0.0, pts[i].y);
  };
  list("outline", layout.outline);
  list("shear", layout.shear);
  return out + "]}";
}

}  // namespace insole
