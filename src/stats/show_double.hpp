// The shortest text that reads back as the same double, for error messages.
#pragma once

#include <charconv>
#include <string>

inline std::string show_double(double v)
{
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}
