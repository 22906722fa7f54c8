// The shell-style split of a "sim:" option string into words: blanks separate words,
// single quotes take everything up to the next one literally, inside double quotes a
// backslash escapes only a double quote or a backslash, outside quotes it escapes any
// character.
#include <cstring>
#include <string>
#include <vector>

#include "sim/sim_options.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

bool SimSplitOptions(const char* text, std::vector<std::string>* words, char* errbuf, size_t errbuf_size) {
    words->clear();
    if (text == nullptr) return true;
    const char* at = text;
    for (;;) {
        while (IsBlank(*at)) at++;
        if (*at == '\0') return true;
        std::string word;
        while (*at != '\0' && !IsBlank(*at)) {
            char c = *at;
            if (c == '\'') {
                const char* close = strchr(at + 1, '\'');
                if (close == nullptr) {
                    words->clear();
                    SimOptionFail(errbuf, errbuf_size, "unterminated single quote at offset %d of the options",
                                  static_cast<int>(at - text));
                    return false;
                }
                word.append(at + 1, static_cast<size_t>(close - at - 1));
                at = close + 1;
            } else if (c == '"') {
                const char* open = at;
                at++;
                while (*at != '"') {
                    if (*at == '\0') {
                        words->clear();
                        SimOptionFail(errbuf, errbuf_size, "unterminated double quote at offset %d of the options",
                                      static_cast<int>(open - text));
                        return false;
                    }
                    if (*at == '\\' && (at[1] == '"' || at[1] == '\\')) at++;
                    word.push_back(*at++);
                }
                at++;
            } else if (c == '\\') {
                if (at[1] == '\0') {
                    words->clear();
                    SimOptionFail(errbuf, errbuf_size, "the options end in a lone backslash");
                    return false;
                }
                word.push_back(at[1]);
                at += 2;
            } else {
                word.push_back(c);
                at++;
            }
        }
        words->push_back(std::move(word));
    }
}
