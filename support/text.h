// Reading numbers and comparing texts the way option values and interface
// descriptions need it: ASCII only, whatever the locale.
#pragma once

#include <string_view>

// atoi's reading of a number (leading white space, a sign, digits up to the
// first non-digit, 0 without digits), except that a number beyond the int
// range gives the nearest end of the range instead of undefined behaviour.
int read_int(const char* text);

// True when a and b are equal but for the letter case of A-Z.
bool equals_nocase(std::string_view a, std::string_view b);

// Position of the first case-insensitive match of needle in haystack, or
// -1; an empty text never matches. A one-character needle matches only as
// the haystack's last character.
long find_nocase(const char* haystack, const char* needle);

// Value of c as a digit of base 16 (either case), or -1. Locale-free,
// unlike isxdigit.
int hex_digit(char c);
