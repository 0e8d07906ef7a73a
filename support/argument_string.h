// The argument string: the words of a command line as one text, as the
// console run hands them to the run thread and as the Windows service
// stores them (AppParameters).
//
// Words are separated by one TAB. A word that is empty or holds a TAB, a
// blank or a double quote is written in double quotes, the way Windows
// command lines quote: inside the quotes a backslash run before a quote is
// doubled and the quote escaped, and a backslash run before the closing
// quote doubled; elsewhere backslashes stand for themselves. Strings that
// earlier versions stored (TAB-joined, nothing quoted, blanks inside
// words) read as they always did, except for words holding a quote.
#pragma once

#include <string>
#include <vector>

// The words joined into one argument string that split_arguments reads
// back as exactly these words.
std::string join_arguments(const std::vector<std::string>& words);

// Splits at TABs outside quotes; runs of TABs count as one. Quotes are
// taken out and backslashes before them read as join_arguments writes
// them; an empty pair of quotes is an empty word; a blank never splits
// (earlier versions kept blanks inside words). A quote left open runs to
// the end of the text.
std::vector<std::string> split_arguments(const char* text);
