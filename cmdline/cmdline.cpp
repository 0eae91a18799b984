// The table-driven option parser and its usage lines.

#include "cmdline/cmdline.h"

#include <cstdio>

namespace cmdline {

namespace {

const Option* find(const std::vector<Option>& options, const std::string& name)
{
    for (const Option& o : options)
        if (o.name == name || (!o.short_name.empty() && o.short_name == name))
            return &o;
    return nullptr;
}

}  // namespace

Option flag(std::string name, std::string short_name, std::string help, bool& target)
{
    return {std::move(name), std::move(short_name), "", std::move(help),
            [&target](const std::string&, std::string&) {
                target = true;
                return true;
            }};
}

Option text(std::string name, std::string short_name, std::string value_name, std::string help,
            std::string& target)
{
    return {std::move(name), std::move(short_name), std::move(value_name), std::move(help),
            [&target](const std::string& value, std::string& error) {
                if (value.empty()) {
                    error = "needs a non-empty value";
                    return false;
                }
                target = value;
                return true;
            }};
}

bool parse(const std::vector<Option>& options, int argc, const char* const* argv, Parsed& parsed,
           std::string& error)
{
    parsed = {};
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (parsed.dashdash || arg.size() < 2 || arg[0] != '-') {
            parsed.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            parsed.dashdash = true;
            parsed.before_dashdash = parsed.operands.size();
            continue;
        }
        std::string name = arg;
        bool inline_value = false;
        std::string value;
        if (const std::size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inline_value = true;
        }
        const Option* option = find(options, name);
        if (!option) {
            error = "unknown option '" + escaped(name) + "'";
            return false;
        }
        if (option->value.empty() && inline_value) {
            error = name + " takes no value";
            return false;
        }
        if (!option->value.empty() && !inline_value) {
            if (i + 1 >= argc) {
                error = name + " needs a value (" + option->value + ")";
                return false;
            }
            value = argv[++i];
        }
        std::string why;
        if (!option->apply(value, why)) {
            error = name + ": " + why;
            return false;
        }
    }
    if (!parsed.dashdash)
        parsed.before_dashdash = parsed.operands.size();
    return true;
}

std::string help(const std::vector<Option>& options)
{
    constexpr std::size_t column = 29;
    std::string text;
    for (const Option& o : options) {
        if (o.hidden)
            continue;
        std::string head = "  ";
        head += o.short_name.empty() ? "    " : o.short_name + ", ";
        head += o.name;
        if (!o.value.empty())
            head += " " + o.value;
        // A long head gets a line of its own.
        head += head.size() + 1 < column ? std::string(column - head.size(), ' ') : "\n" + std::string(column, ' ');
        std::string body = o.help;
        for (std::size_t nl = body.find('\n'); nl != std::string::npos; nl = body.find('\n', nl + 1))
            body.insert(nl + 1, column, ' ');
        text += head + body + "\n";
    }
    return text;
}

std::string escaped(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        }
    }
    return out;
}

}  // namespace cmdline
