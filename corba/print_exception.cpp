#include "corba/print_exception.h"

#include <cstdio>
#include <cstring>

std::string describe_exception(const CORBA::Exception &ex, const char *label)
{
  std::string text = label ? label : "";
  if (text.empty() || text.back() != '\n')
    text += ": ";
  text += ex._name();
  if (const CORBA::SystemException *sys = CORBA::SystemException::_downcast(&ex)) {
    char minor[64];
    std::snprintf(minor, sizeof minor, " (minor code 0x%lx", static_cast<unsigned long>(sys->minor()));
    text += minor;
    if (const char *why = sys->NP_minorString()) {
      text += ", ";
      text += why;
    }
    text += ")";
  }
  text += "\n";
  return text;
}

void print_exception(const CORBA::Exception &ex, const char *label)
{
  const std::string text = describe_exception(ex, label);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}
