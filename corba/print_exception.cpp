#include "corba/print_exception.h"

#include "orb/Orb.h"

#include <cstdio>
#include <string>

void print_exception(const CORBA::Exception &ex, const char *label)
{
  std::string text = label ? label : "";
  if (text.empty() || text.back() != '\n')
    text += ": ";
  text += tmx::orb::describe(ex);
  text += "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}
