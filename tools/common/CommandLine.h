// The command line of the programs around the monitor, read with
// getopt_long after CORBA::ORB_init has taken the ORB options out of argv.
//
// Every program reads it the same way: "-h"/"--help" prints the usage text
// on standard output (exit status 0); an unknown option, a missing value, a
// value that is not a whole decimal number (digits only: no sign, no
// spaces) or one outside the option's range is a usage error (usageError:
// the fault and the pointer to --help on standard error, exit status 2).
// Values follow their option as the next argument or after '='
// ("--count 3", "--count=3"); an unambiguous abbreviation of a long option
// is accepted. An option given twice is a usage error, unless it is
// repeatable (texts). There are no operands, unless operand() names one.
#pragma once

#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace tmx::tools {

class CommandLine
{
public:
  CommandLine(const char *program, const char *usageText);

  // --NAME without a value: sets target to true.
  void flag(const char *name, bool &target);
  // --NAME TEXT; given (when not null) is set to true when the option came.
  void text(const char *name, const char *what, std::string &target, bool *given = nullptr);
  // --NAME TEXT, repeatable: each value (not empty) is appended to target.
  void texts(const char *name, const char *what, std::vector<std::string> &target);
  // --NAME FILE: the same for a file name, which may not be empty.
  void fileName(const char *name, std::string &target, bool *given = nullptr);
  // --NAME N with min <= N <= max; unit names the number in the usage
  // error ("milliseconds"; "" for a plain number).
  template<class T>
  void number(const char *name, const char *unit, unsigned long long min, unsigned long long max, T &target)
  {
    static_assert(std::numeric_limits<T>::is_integer && !std::numeric_limits<T>::is_signed);
    if (max > std::numeric_limits<T>::max())
      max = std::numeric_limits<T>::max();
    addNumber(name, unit, min, max, [&target](unsigned long long v) { target = static_cast<T>(v); });
  }

  // The one operand (a sub-command), anywhere among the options; a second
  // is an unknown argument.
  void operand(std::string &target) { operand_ = &target; }

  // Reads argv[1..argc). Nothing when the program is to go on; otherwise
  // the exit status: 0 after --help, 2 after a usage error (reported).
  std::optional<int> parse(int argc, char **argv);

  // Reports a fault found after parse (options that exclude each other).
  int usageError(const std::string &what) const;

private:
  enum class Kind
  {
    flag,
    text,
    number
  };
  struct Option
  {
    std::string name;
    Kind kind;
    std::string what;                    // text: what the value is; number: its unit
    unsigned long long min = 0, max = 0; // text: min is the least length
    std::function<void(const char *)> setText;
    std::function<void(unsigned long long)> setNumber;
    bool repeatable = false; // otherwise a second --NAME is a usage error
  };

  void addNumber(const char *name,
                 const char *unit,
                 unsigned long long min,
                 unsigned long long max,
                 std::function<void(unsigned long long)> set);
  std::string needs(const Option &o) const;
  const Option *byText(const char *arg) const;
  // Takes arg as the operand; the exit status of a usage error otherwise.
  std::optional<int> takeOperand(const char *arg, bool &taken);

  const char *program_;
  const char *usageText_;
  std::vector<Option> options_;
  std::string *operand_ = nullptr;
};

// A whole decimal number of digits only (no sign, no spaces), at most max;
// false otherwise.
bool parseNumber(const char *text, unsigned long long max, unsigned long long &value);

} // namespace tmx::tools
