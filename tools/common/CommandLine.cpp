#include "tools/common/CommandLine.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <getopt.h>

#include "tools/common/ToolSupport.h"

namespace tmx::tools {

namespace {

// getopt_long's value for options_[i] is firstIndex + i, clear of every
// short option character.
constexpr int firstIndex = 256;

} // namespace

bool parseNumber(const char *text, unsigned long long max, unsigned long long &value)
{
  if (!text || !*text)
    return false;
  const char *end = text + std::strlen(text);
  unsigned long long v = 0;
  // from_chars takes no sign for an unsigned type, no spaces and no base
  // prefix, and reports overflow.
  auto r = std::from_chars(text, end, v);
  if (r.ec != std::errc() || r.ptr != end || v > max)
    return false;
  value = v;
  return true;
}

CommandLine::CommandLine(const char *program, const char *usageText)
  : program_(program)
  , usageText_(usageText)
{
}

void CommandLine::flag(const char *name, bool &target)
{
  Option o{ name, Kind::flag, "", 0, 0, {}, {}, false };
  o.setText = [&target](const char *) { target = true; };
  options_.push_back(std::move(o));
}

void CommandLine::text(const char *name, const char *what, std::string &target, bool *given)
{
  Option o{ name, Kind::text, what, 0, 0, {}, {}, false };
  o.setText = [&target, given](const char *v) {
    target = v;
    if (given)
      *given = true;
  };
  options_.push_back(std::move(o));
}

void CommandLine::texts(const char *name, const char *what, std::vector<std::string> &target)
{
  Option o{ name, Kind::text, what, 1, 0, {}, {}, false };
  o.setText = [&target](const char *v) { target.emplace_back(v); };
  o.repeatable = true;
  options_.push_back(std::move(o));
}

void CommandLine::fileName(const char *name, std::string &target, bool *given)
{
  text(name, "a file name", target, given);
  options_.back().min = 1;
}

void CommandLine::addNumber(const char *name,
                            const char *unit,
                            unsigned long long min,
                            unsigned long long max,
                            std::function<void(unsigned long long)> set)
{
  options_.push_back({ name, Kind::number, unit, min, max, {}, std::move(set), false });
}

int CommandLine::usageError(const std::string &what) const
{
  return tools::usageError(program_, what);
}

std::string CommandLine::needs(const Option &o) const
{
  std::string text = "--" + o.name;
  if (o.kind == Kind::flag)
    return text + " takes no value";
  if (o.kind == Kind::text)
    return text + " needs " + o.what;
  return text + " needs a number" + (o.what.empty() ? "" : " of " + o.what) + " from " +
         std::to_string(o.min) + " to " + std::to_string(o.max);
}

std::optional<int> CommandLine::parse(int argc, char **argv)
{
  std::vector<struct option> longOptions;
  for (std::size_t i = 0; i < options_.size(); ++i)
    longOptions.push_back({ options_[i].name.c_str(),
                            options_[i].kind == Kind::flag ? no_argument : required_argument,
                            nullptr,
                            firstIndex + static_cast<int>(i) });
  longOptions.push_back({ "help", no_argument, nullptr, 'h' });
  longOptions.push_back({ nullptr, 0, nullptr, 0 });

  // '-': operands come back in order, as option 1; ':': report a missing
  // value apart from an unknown option.
  const char shortOptions[] = "-:h";
  bool taken = false;
  std::vector<bool> seen(options_.size(), false);
  opterr = 0;
  optind = 0; // 0 makes glibc start afresh, also on a second parse
  for (;;) {
    int c = getopt_long(argc, argv, shortOptions, longOptions.data(), nullptr);
    if (c == -1)
      break;
    if (c == 1) {
      if (auto status = takeOperand(optarg, taken))
        return status;
      continue;
    }
    if (c == 'h') {
      std::fputs(usageText_, stdout);
      std::fflush(stdout);
      return 0;
    }
    if (c == ':')
      return usageError(needs(options_.at(static_cast<std::size_t>(optopt - firstIndex))));
    if (c == '?') {
      if (optopt >= firstIndex) // a value given to an option that takes none
        return usageError(needs(options_.at(static_cast<std::size_t>(optopt - firstIndex))));
      std::string arg = optopt ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
      return usageError("unknown argument \"" + arg + "\"");
    }
    const std::size_t index = static_cast<std::size_t>(c - firstIndex);
    const Option &o = options_.at(index);
    if (!o.repeatable && seen[index])
      return usageError("--" + o.name + " is given more than once");
    seen[index] = true;
    unsigned long long value = 0;
    switch (o.kind) {
      case Kind::flag:
        o.setText(optarg);
        break;
      case Kind::text:
        if (std::strlen(optarg) < o.min)
          return usageError(needs(o));
        o.setText(optarg);
        break;
      case Kind::number:
        if (!parseNumber(optarg, o.max, value) || value < o.min)
          return usageError(needs(o));
        o.setNumber(value);
        break;
    }
  }
  for (int i = optind; i < argc; ++i) // after "--"
    if (auto status = takeOperand(argv[i], taken))
      return status;
  return std::nullopt;
}

std::optional<int> CommandLine::takeOperand(const char *arg, bool &taken)
{
  if (operand_ == nullptr || taken)
    return usageError("unknown argument \"" + std::string(arg) + "\"");
  *operand_ = arg;
  taken = true;
  return std::nullopt;
}

} // namespace tmx::tools
