#include "pg_sql.h"

#include <cctype>
#include <cstring>
#include <map>

namespace zkv {
namespace {

bool isIdentStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || static_cast<unsigned char>(c) >= 0x80;
}

bool isIdentChar(char c) { return isIdentStart(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '$'; }

class Splitter {
public:
    Splitter(const char* sql, size_t length) : sql_(sql), length_(length) {}

    PgStatementText run() {
        while (pos_ < length_ && sql_[pos_] != ';') step();
        out_.consumed = pos_ < length_ ? pos_ + 1 : length_;
        size_t end = text_.find_last_not_of(" \t\r\n");
        text_.erase(end == std::string::npos ? 0 : end + 1);
        out_.sql = std::move(text_);
        return std::move(out_);
    }

private:
    void step() {
        char c = sql_[pos_];
        if (c == '-' && peek(1) == '-') return copyUntil("\n", false);
        if (c == '/' && peek(1) == '*') return copyBlockComment();
        if (!std::isspace(static_cast<unsigned char>(c))) out_.blank = false;
        if (c == '\'') return copyQuoted('\'', escapesBackslash());
        if (c == '"') return copyQuoted('"', false);
        if (c == '$') return dollar();
        if (c == '?') return marker("");
        if (c == ':') return colon();
        if (isIdentStart(c)) return word();
        if (c == '(') ++depth_;
        if (c == ')') --depth_;
        text_ += c;
        ++pos_;
    }

    char peek(size_t ahead) const { return pos_ + ahead < length_ ? sql_[pos_ + ahead] : '\0'; }

    // E'...' strings take backslash escapes; the E is the previous word.
    bool escapesBackslash() const {
        return pos_ > 0 && (sql_[pos_ - 1] == 'E' || sql_[pos_ - 1] == 'e') &&
               (pos_ < 2 || !isIdentChar(sql_[pos_ - 2]));
    }

    void copyUntil(const char* terminator, bool include) {
        const char* end = static_cast<const char*>(memmem(sql_ + pos_, length_ - pos_, terminator, std::strlen(terminator)));
        size_t stop = end ? static_cast<size_t>(end - sql_) + (include ? std::strlen(terminator) : 0) : length_;
        text_.append(sql_ + pos_, stop - pos_);
        pos_ = stop;
    }

    void copyBlockComment() {
        size_t start = pos_;
        int depth = 0;
        while (pos_ < length_) {
            if (sql_[pos_] == '/' && peek(1) == '*') {
                ++depth;
                pos_ += 2;
            } else if (sql_[pos_] == '*' && peek(1) == '/') {
                pos_ += 2;
                if (--depth == 0) break;
            } else {
                ++pos_;
            }
        }
        text_.append(sql_ + start, pos_ - start);
    }

    void copyQuoted(char quote, bool backslash) {
        size_t start = pos_++;
        while (pos_ < length_) {
            char c = sql_[pos_++];
            if (backslash && c == '\\' && pos_ < length_) {
                ++pos_;
            } else if (c == quote) {
                if (pos_ < length_ && sql_[pos_] == quote) ++pos_;
                else break;
            }
        }
        text_.append(sql_ + start, pos_ - start);
    }

    // $n stays a positional marker; $tag$...$tag$ is a quoted body.
    void dollar() {
        size_t p = pos_ + 1;
        if (p < length_ && std::isdigit(static_cast<unsigned char>(sql_[p]))) {
            size_t number = 0;
            while (p < length_ && std::isdigit(static_cast<unsigned char>(sql_[p])))
                number = number * 10 + static_cast<size_t>(sql_[p++] - '0');
            if (number > 0 && number <= 65535) {
                if (out_.paramNames.size() < number) out_.paramNames.resize(number);
                out_.markers.push_back({text_.size(), p - pos_, number});
            }
            text_.append(sql_ + pos_, p - pos_);
            pos_ = p;
            return;
        }
        while (p < length_ && isIdentChar(sql_[p]) && sql_[p] != '$') ++p;
        if (p < length_ && sql_[p] == '$') {
            std::string tag(sql_ + pos_, p - pos_ + 1);
            const char* end = static_cast<const char*>(memmem(sql_ + p + 1, length_ - p - 1, tag.data(), tag.size()));
            size_t stop = end ? static_cast<size_t>(end - sql_) + tag.size() : length_;
            text_.append(sql_ + pos_, stop - pos_);
            pos_ = stop;
            return;
        }
        text_ += '$';
        ++pos_;
    }

    // "::" is a cast; ":name" a named marker.
    void colon() {
        if (peek(1) == ':') {
            text_ += "::";
            pos_ += 2;
            return;
        }
        if (!isIdentStart(peek(1))) {
            text_ += ':';
            ++pos_;
            return;
        }
        size_t p = pos_ + 1;
        while (p < length_ && isIdentChar(sql_[p])) ++p;
        std::string name(sql_ + pos_, p - pos_);
        pos_ = p;
        marker(name);
        pos_ = p;
    }

    void marker(const std::string& name) {
        size_t number = 0;
        auto known = name.empty() ? named_.end() : named_.find(name);
        if (known != named_.end()) {
            number = known->second;
        } else {
            out_.paramNames.push_back(name);
            number = out_.paramNames.size();
            if (!name.empty()) named_[name] = number;
        }
        if (name.empty()) ++pos_;
        std::string written = "$" + std::to_string(number);
        out_.markers.push_back({text_.size(), written.size(), number});
        text_ += written;
    }

    void word() {
        size_t start = pos_;
        while (pos_ < length_ && isIdentChar(sql_[pos_])) ++pos_;
        text_.append(sql_ + start, pos_ - start);
        if (words_++ == 0) copy_ = lower(start) == "copy";
        if (copy_ && depth_ == 0) noteCopyWord(lower(start));
    }

    std::string lower(size_t start) const {
        std::string word(sql_ + start, pos_ - start);
        for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return word;
    }

    // The COPY's own FROM or TO stands outside parentheses; a query being
    // copied stands inside them.
    void noteCopyWord(const std::string& word) {
        if ((previous_ == "from" && word == "stdin") || (previous_ == "to" && word == "stdout"))
            out_.copiesThroughClient = true;
        previous_ = word;
    }

    const char* sql_;
    size_t length_;
    size_t pos_ = 0;
    std::string text_;
    PgStatementText out_;
    std::map<std::string, size_t> named_;
    int depth_ = 0;
    size_t words_ = 0;
    bool copy_ = false;
    std::string previous_;
};

std::string trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return std::string();
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// "name => value" (or "name := value"): the name as the server folds it,
// and the value behind the arrow; other arguments keep an empty name.
std::string splitArgumentName(std::string& arg) {
    size_t end = 0;
    std::string name;
    if (!arg.empty() && arg[0] == '"') {
        end = arg.find('"', 1);
        if (end == std::string::npos) return std::string();
        name = arg.substr(1, end - 1);
        ++end;
    } else {
        while (end < arg.size() && (end ? isIdentChar(arg[end]) : isIdentStart(arg[end]))) {
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(arg[end])));
            ++end;
        }
    }
    size_t arrow = arg.find_first_not_of(" \t\r\n", end);
    if (name.empty() || arrow == std::string::npos ||
        (arg.compare(arrow, 2, "=>") != 0 && arg.compare(arrow, 2, ":=") != 0))
        return std::string();
    arg = trimmed(arg.substr(arrow + 2));
    return name;
}

void addCallArgument(PgStatementText& st, std::string arg) {
    std::string name = splitArgumentName(arg);
    int index = -1;
    if (arg.size() > 1 && arg[0] == '$' && arg.find_first_not_of("0123456789", 1) == std::string::npos)
        index = std::stoi(arg.substr(1)) - 1;
    st.callArguments.push_back(index);
    st.callArgumentNames.push_back(name);
}

// The arguments of "CALL name(a, b)" split at top-level commas.
void parseCall(PgStatementText& st) {
    const std::string& s = st.sql;
    size_t pos = s.find_first_not_of(" \t\r\n");
    if (pos == std::string::npos || s.size() - pos < 5 || strncasecmp(s.c_str() + pos, "call", 4) != 0 ||
        !std::isspace(static_cast<unsigned char>(s[pos + 4])))
        return;
    size_t open = s.find('(', pos + 4);
    if (open == std::string::npos) return;
    st.isCall = true;
    st.callName = trimmed(s.substr(pos + 4, open - pos - 4));
    int depth = 0;
    char quote = 0;
    std::string arg;
    for (size_t i = open + 1; i < s.size(); ++i) {
        char c = s[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[') {
            ++depth;
        } else if ((c == ')' || c == ']') && depth > 0) {
            --depth;
        } else if ((c == ',' || c == ')') && depth == 0) {
            std::string a = trimmed(arg);
            if (!a.empty() || c == ',') addCallArgument(st, a);
            arg.clear();
            if (c == ')') break;
            continue;
        }
        arg += c;
    }
}

}  // namespace

PgStatementText splitPgStatement(const char* sql, size_t length) {
    PgStatementText st = Splitter(sql, length).run();
    if (!st.blank) parseCall(st);
    return st;
}

std::string replaceMarkers(const PgStatementText& text, const std::vector<std::string>& replacements) {
    std::string out;
    size_t copied = 0;
    for (const PgMarker& marker : text.markers) {
        out.append(text.sql, copied, marker.offset - copied);
        out += replacements[marker.number - 1];
        copied = marker.offset + marker.length;
    }
    return out.append(text.sql, copied, std::string::npos);
}

}  // namespace zkv
