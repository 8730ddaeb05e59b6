// Prints a caught CORBA exception on standard output: the caller's label,
// the exception's name and, for a system exception, its minor code.
#pragma once

#include <omniORB4/CORBA.h>

#include <string>

// The text that print_exception writes, without printing it.
std::string describe_exception(const CORBA::Exception &ex, const char *label);

// A label that ends with a newline puts the name on a line of its own;
// otherwise ": " separates them. One write per call, flushed at once.
void print_exception(const CORBA::Exception &ex, const char *label);
