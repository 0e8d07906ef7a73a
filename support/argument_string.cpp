// Joining and splitting the argument string (support/argument_string.h).
#include "support/argument_string.h"

#include <cstddef>
#include <utility>

namespace {

bool needs_quotes(const std::string& word)
{
    return word.empty() || word.find_first_of("\t \"") != std::string::npos;
}

void append_quoted(std::string& out, const std::string& word)
{
    out += '"';
    std::size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a quote follows them: only then
        // are they doubled, and the quote itself escaped.
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    // The closing quote follows: the run before it is doubled too.
    out.append(2 * backslashes, '\\');
    out += '"';
}

}  // namespace

std::string join_arguments(const std::vector<std::string>& words)
{
    std::string out;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i)
            out += '\t';
        if (needs_quotes(words[i]))
            append_quoted(out, words[i]);
        else
            out += words[i];
    }
    return out;
}

std::vector<std::string> split_arguments(const char* text)
{
    std::vector<std::string> out;
    const char* p = text;
    for (;;) {
        while (*p == '\t')
            ++p;
        if (!*p)
            return out;
        std::string word;
        bool quoted = false;
        while (*p && (quoted || *p != '\t')) {
            std::size_t backslashes = 0;
            while (p[backslashes] == '\\')
                ++backslashes;
            if (p[backslashes] != '"') {
                // Backslashes not before a quote, or any other character.
                const std::size_t n = backslashes ? backslashes : 1;
                word.append(p, n);
                p += n;
                continue;
            }
            word.append(backslashes / 2, '\\');
            p += backslashes;
            if (backslashes % 2)
                word += '"';
            else
                quoted = !quoted;
            ++p;
        }
        out.push_back(std::move(word));
    }
}
