// Prints a caught CORBA exception on standard output: the caller's label
// and the exception's text (tmx::orb::describe: the name and, for a system
// exception, its minor code and completion status).
#pragma once

#include <omniORB4/CORBA.h>

// A label that ends with a newline puts the name on a line of its own;
// otherwise ": " separates them. One write per call, flushed at once.
void print_exception(const CORBA::Exception &ex, const char *label);
