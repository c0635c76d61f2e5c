#include "station/board/s_expression.h"

#include <cctype>

namespace korvastation {

using korvasim::Result;

const std::string& SExpression::keyword() const
{
    static const std::string none;
    return list && !items.empty() && !items[0].list ? items[0].atom : none;
}

std::vector<const SExpression*> SExpression::children(const std::string& key) const
{
    std::vector<const SExpression*> found;
    for (const SExpression& item : items)
        if (item.keyword() == key)
            found.push_back(&item);
    return found;
}

bool SExpression::value(const std::string& key, std::string* text) const
{
    const std::vector<const SExpression*> found = children(key);
    if (found.size() != 1 || found[0]->items.size() != 2 || found[0]->items[1].list)
        return false;
    *text = found[0]->items[1].atom;
    return true;
}

namespace {

// A control character other than a blank: the file is not text.
bool binary(char c)
{
    return static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' && c != '\r';
}

std::string byte_text(char c)
{
    static const char digits[] = "0123456789abcdef";
    const unsigned char b = static_cast<unsigned char>(c);
    return std::string("0x") + digits[b >> 4] + digits[b & 15];
}

class Parser {
public:
    Parser(const std::string& name, const std::string& text) : name_(name), text_(text) {}

    Result whole(SExpression* out)
    {
        skip_blanks();
        if (at_end())
            return failure("expected '(' opening the file's list, found nothing");
        if (text_[pos_] != '(')
            return failure("expected '(' opening the file's list");
        if (const Result parsed = list(out, 1); !parsed)
            return parsed;
        skip_blanks();
        if (!at_end())
            return failure("expected the end of the file after the list that closed on line " +
                           std::to_string(closed_line_));
        return Result::ok();
    }

private:
    bool at_end() const { return pos_ >= text_.size(); }

    Result failure(const std::string& what) const
    {
        return Result::failure(name_ + ":" + std::to_string(line_) + ": " + what);
    }

    void skip_blanks()
    {
        while (!at_end() && std::isspace(static_cast<unsigned char>(text_[pos_]))) {
            if (text_[pos_] == '\n')
                ++line_;
            ++pos_;
        }
    }

    // At '(': the list up to its ')'.
    Result list(SExpression* out, int depth)
    {
        if (depth > MAX_S_EXPRESSION_DEPTH)
            return failure("lists nested deeper than " + std::to_string(MAX_S_EXPRESSION_DEPTH));
        out->list = true;
        out->line = line_;
        const int opened = line_;
        ++pos_;
        for (;;) {
            skip_blanks();
            if (at_end())
                return failure("the file ends inside the list opened on line " + std::to_string(opened) +
                               ": expected ')'");
            const char c = text_[pos_];
            if (c == ')') {
                ++pos_;
                closed_line_ = line_;
                return Result::ok();
            }
            out->items.emplace_back();
            SExpression& item = out->items.back();
            const Result parsed = c == '(' ? list(&item, depth + 1) : c == '"' ? string(&item) : atom(&item);
            if (!parsed)
                return parsed;
        }
    }

    Result string(SExpression* out)
    {
        out->line = line_;
        const int opened = line_;
        ++pos_;
        for (;;) {
            if (at_end())
                return failure("the file ends inside the string opened on line " + std::to_string(opened) +
                               ": expected '\"'");
            char c = text_[pos_++];
            if (c == '"')
                return Result::ok();
            if (binary(c))
                return failure("expected text in the string, found the byte " + byte_text(c));
            if (c == '\n')
                ++line_;
            if (c == '\\') {
                if (at_end())
                    continue;
                c = text_[pos_++];
                if (c == 'n')
                    c = '\n';
                else if (c == 't')
                    c = '\t';
                else if (c == '\n')
                    ++line_;
            }
            out->atom += c;
        }
    }

    Result atom(SExpression* out)
    {
        out->line = line_;
        while (!at_end()) {
            const char c = text_[pos_];
            if (std::isspace(static_cast<unsigned char>(c)) || c == '(' || c == ')')
                break;
            if (c == '"')
                return failure("expected a blank before the '\"' after '" + out->atom + "'");
            if (binary(c))
                return failure("expected text, found the byte " + byte_text(c));
            out->atom += c;
            ++pos_;
        }
        return Result::ok();
    }

    const std::string& name_;
    const std::string& text_;
    size_t pos_ = 0;
    int line_ = 1;
    int closed_line_ = 0;
};

} // namespace

Result parse_s_expression(const std::string& name, const std::string& text, SExpression* out)
{
    *out = SExpression{};
    return Parser(name, text).whole(out);
}

} // namespace korvastation
