#include "platform/dlportio/PortMap.h"

#include "config/AlarmTexts.h"
#include "platform/spectrum/Devices.h"
#include "platform/spectrum/LibraryState.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace tmx::portmap {

namespace {

struct WaterLine
{
  std::uint32_t port = 0;
  std::uint8_t mask = 0;
  int wet = 1;
  bool failing = false; // reported, not read since
};

struct Map
{
  std::mutex mutex;
  std::string path;
  struct stat seen = {};
  bool loaded = false;
  std::string problem; // of the file as last loaded; reported once
  std::vector<WaterLine> lines;
  spectrum::Devices devices{ [] { return std::chrono::steady_clock::now(); } };
};

// Never destroyed; its pollers are stopped by `unload`.
spectrum::LibraryState<Map> unload;

Map &map()
{
  return spectrum::LibraryState<Map>::get();
}

bool toNumber(const std::string &word, unsigned long &out)
{
  char *end = nullptr;
  errno = 0;
  out = std::strtoul(word.c_str(), &end, 0);
  return !word.empty() && word[0] != '-' && *end == '\0' && errno == 0;
}

// Water lines a map may have: each device among them has a poller thread.
constexpr std::size_t maxLines = 32;

// Parses the map; false with the problem and its line.
bool parse(const std::string &text,
           std::vector<WaterLine> &lines,
           spectrum::LoggersFile &inputs,
           std::string &problem)
{
  std::istringstream in(text);
  std::string line;
  unsigned lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    std::istringstream words(line);
    std::vector<std::string> w;
    std::string word;
    while (words >> word && word[0] != '#')
      w.push_back(word);
    if (w.empty())
      continue;
    WaterLine water;
    spectrum::LoggerSpec spec;
    unsigned long port = 0, mask = 0;
    if (w[0] != "line" || w.size() < 4)
      problem = "expected: line PORT MASK SOURCE OPTIONS";
    else if (!toNumber(w[1], port) || port > 0xFFFF)
      problem = "port is not 0 to 0xffff: " + w[1];
    else if (!toNumber(w[2], mask) || mask == 0 || mask > 0xFF)
      problem = "mask is not 1 to 0xff: " + w[2];
    else
      spectrum::parseWaterInput(std::vector<std::string>(w.begin() + 3, w.end()), spec, water.wet, problem);
    if (!problem.empty()) {
      problem = "line " + std::to_string(lineNo) + ": " + problem;
      return false;
    }
    if (lines.size() >= maxLines) {
      problem = "line " + std::to_string(lineNo) + ": more than " + std::to_string(maxLines) + " water lines";
      return false;
    }
    water.port = static_cast<std::uint32_t>(port);
    water.mask = static_cast<std::uint8_t>(mask);
    spec.readArgument = static_cast<std::int32_t>(lines.size());
    char name[48];
    std::snprintf(name, sizeof name, "water line 0x%x/0x%x", water.port, water.mask);
    spec.description = name;
    spec.line = lineNo;
    lines.push_back(water);
    inputs.loggers.push_back(spec);
  }
  return true;
}

// Brings the map up to date with its file (read again when it changes).
void refresh(Map &m, const std::string &path, std::vector<std::string> &report)
{
  struct stat st = {};
  bool found = ::stat(path.c_str(), &st) == 0;
  const int statError = errno;
  if (m.loaded && m.path == path && found && st.st_ino == m.seen.st_ino && st.st_dev == m.seen.st_dev &&
      st.st_size == m.seen.st_size && st.st_mtim.tv_sec == m.seen.st_mtim.tv_sec &&
      st.st_mtim.tv_nsec == m.seen.st_mtim.tv_nsec)
    return;
  std::string text, problem;
  std::ifstream in(path, std::ios::binary);
  if (!found || !in)
    problem = std::strerror(found ? EACCES : statError);
  else
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  std::vector<WaterLine> lines;
  spectrum::LoggersFile inputs;
  if (problem.empty() && !parse(text, lines, inputs, problem))
    lines.clear(), inputs.loggers.clear();
  problem = problem.empty() ? "" : tmx::alarmtext::portMapUnusable(path, problem);
  if (!problem.empty() && problem != m.problem)
    report.push_back(problem);
  m.problem = problem;
  m.path = path;
  m.seen = st;
  m.loaded = found;
  m.lines = lines;
  m.devices.update(inputs);
}

} // namespace

bool active()
{
  const char *env = std::getenv("TMX_PORT_MAP");
  return env && *env;
}

void apply(std::uint32_t port, std::uint8_t &byte, std::vector<std::string> &report)
{
  const char *env = std::getenv("TMX_PORT_MAP");
  if (!env || !*env)
    return;
  Map &m = map();
  std::lock_guard<std::mutex> lock(m.mutex);
  refresh(m, env, report);
  for (std::size_t i = 0; i < m.lines.size(); ++i) {
    WaterLine &line = m.lines[i];
    if (line.port != port)
      continue;
    spectrum::Reading r = m.devices.latest(static_cast<std::int32_t>(i), 0);
    bool wet = r.ok && static_cast<int>(r.value) == line.wet;
    byte = wet ? static_cast<std::uint8_t>(byte & ~line.mask) : static_cast<std::uint8_t>(byte | line.mask);
    // Before its first poll an input reads dry without a report.
    if (r.pending)
      continue;
    if (!r.ok && !line.failing) {
      report.push_back(tmx::alarmtext::waterLineReadFailed(line.port, line.mask, r.reason));
    }
    line.failing = !r.ok;
  }
}

} // namespace tmx::portmap
