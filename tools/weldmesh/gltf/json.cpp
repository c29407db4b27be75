#include "json.h"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <unordered_set>

namespace json {

// Builds the node table from RapidJSON's events. Its parser is iterative and hands numbers over
// as their text, which is why it is the parser here: nothing recurses on the input's depth and no
// number is rounded on the way through.
class Builder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Builder> {
  public:
    explicit Builder(Document& document) : document_(document) {}

    bool Null() { return place(document_.add(Kind::null)); }
    bool Bool(bool value) { return place(document_.add_boolean(value)); }
    bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
        return place(document_.add_text(Kind::number, {text, length}));
    }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        return place(document_.add_text(Kind::string, {text, length}));
    }
    bool Key(const char* text, rapidjson::SizeType length, bool copy) {
        return String(text, length, copy);
    }
    bool StartObject() { return open(Kind::object); }
    bool StartArray() { return open(Kind::array); }
    bool EndObject(rapidjson::SizeType) { return close_object(); }
    bool EndArray(rapidjson::SizeType) {
        open_.pop_back();
        return true;
    }

    const std::string& error() const { return error_; }

  private:
    bool place(Id id) {
        if (!open_.empty())
            document_.nodes_[open_.back()].children.push_back(id);
        return true;
    }
    bool open(Kind kind) {
        const Id id = document_.add(kind);
        place(id);
        open_.push_back(id);
        return true;
    }
    // Two members of one name would be read one way here and another way by the next reader.
    bool close_object() {
        const Id object = open_.back();
        open_.pop_back();
        const size_t count = document_.member_count(object);
        if (count < 2)
            return true;
        seen_.clear();
        seen_.reserve(count);
        for (size_t i = 0; i < count; ++i)
            if (!seen_.insert(document_.key(object, i)).second) {
                error_ = "an object has two members named '" +
                         std::string(document_.key(object, i)) + "'";
                return false;
            }
        return true;
    }

    Document& document_;
    std::vector<Id> open_; // the arrays and objects being filled, innermost last
    std::unordered_set<std::string_view> seen_;
    std::string error_;
};

namespace {

std::string position_of(const char* text, size_t offset) {
    size_t line = 1, column = 1;
    for (size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

void write_string(std::string& out, std::string_view text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (byte < 0x20)
                out += {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 15]};
            else
                out += c;
        }
    }
    out += '"';
}

void new_line(std::string& out, size_t depth) {
    out += '\n';
    out.append(2 * depth, ' ');
}

} // namespace

bool Document::parse(const char* text, size_t size, std::string& error) {
    nodes_.clear();
    text_.clear();
    Builder builder(*this);
    rapidjson::Reader reader;
    rapidjson::MemoryStream stream(text, size);
    const rapidjson::ParseResult result =
        reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag |
                     rapidjson::kParseValidateEncodingFlag>(stream, builder);
    if (result)
        return true;
    const std::string reason = result.Code() == rapidjson::kParseErrorTermination
                                   ? builder.error()
                                   : rapidjson::GetParseError_En(result.Code());
    error = position_of(text, std::min(result.Offset(), size)) + ": " + reason;
    nodes_.clear();
    text_.clear();
    return false;
}

Id Document::add(Kind kind) {
    nodes_.push_back({kind, false, 0, 0, {}});
    return Id(nodes_.size() - 1);
}

Id Document::add_text(Kind kind, std::string_view text) {
    const Id id = add(kind);
    nodes_[id].textOffset = text_.size();
    nodes_[id].textLength = uint32_t(text.size());
    // The text may be this document's own (a key or a value copied), which appending can move.
    const bool own =
        !text.empty() && text.data() >= text_.data() && text.data() < text_.data() + text_.size();
    if (own)
        text_.append(text_, size_t(text.data() - text_.data()), text.size());
    else
        text_.append(text);
    return id;
}

Id Document::add_boolean(bool value) {
    const Id id = add(Kind::boolean);
    nodes_[id].truth = value;
    return id;
}

Id Document::add_unsigned(uint64_t value) {
    return add_text(Kind::number, std::to_string(value));
}

Id Document::add_integer(int64_t value) {
    return add_text(Kind::number, std::to_string(value));
}

Id Document::add_float(float value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, double(value));
    return add_text(Kind::number, {buffer, size_t(result.ptr - buffer)});
}

Id Document::add_string(std::string_view value) {
    return add_text(Kind::string, value);
}

Id Document::shallow_copy(Id id) {
    const Id copy = add(nodes_[id].kind);
    nodes_[copy].children = nodes_[id].children;
    return copy;
}

std::string_view Document::text(Id id) const {
    const Node& node = nodes_[id];
    return {text_.data() + node.textOffset, node.textLength};
}

std::string_view Document::key(Id object, size_t i) const {
    return text(nodes_[object].children[2 * i]);
}

Id Document::find(Id object, std::string_view name) const {
    if (!is(object, Kind::object))
        return kNone;
    const std::vector<Id>& children = nodes_[object].children;
    for (size_t i = 0; i < children.size(); i += 2)
        if (text(children[i]) == name)
            return children[i + 1];
    return kNone;
}

void Document::set(Id object, std::string_view name, Id value) {
    for (size_t i = 0; i < member_count(object); ++i)
        if (key(object, i) == name) {
            set_value(object, i, value);
            return;
        }
    append(object, name, value);
}

void Document::append(Id object, std::string_view name, Id value) {
    const Id keyId = add_string(name);
    nodes_[object].children.push_back(keyId);
    nodes_[object].children.push_back(value);
}

void Document::erase(Id object, std::string_view name) {
    std::vector<Id>& children = nodes_[object].children;
    for (size_t i = 0; i < children.size(); i += 2)
        if (text(children[i]) == name) {
            children.erase(children.begin() + std::ptrdiff_t(i),
                           children.begin() + std::ptrdiff_t(i + 2));
            return;
        }
}

bool Document::to_unsigned(Id id, uint64_t& value) const {
    if (!is(id, Kind::number))
        return false;
    const std::string_view digits = text(id);
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return !digits.empty() && digits[0] != '-' && result.ec == std::errc() &&
           result.ptr == digits.data() + digits.size();
}

bool Document::to_double(Id id, double& value) const {
    if (!is(id, Kind::number))
        return false;
    const std::string digits(text(id));
    errno = 0;
    value = std::strtod(digits.c_str(), nullptr);
    return errno == 0 && std::isfinite(value);
}

void Document::write_scalar(std::string& out, Id id) const {
    switch (kind(id)) {
    case Kind::null:
        out += "null";
        break;
    case Kind::boolean:
        out += truth(id) ? "true" : "false";
        break;
    case Kind::number:
        out += text(id);
        break;
    case Kind::string:
        write_string(out, text(id));
        break;
    case Kind::array:
    case Kind::object:
        break;
    }
}

void Document::write(std::string& out, bool indented, Id id) const {
    struct Open {
        Id id;
        size_t next; // the next child to write
    };
    std::vector<Open> open;
    auto start = [&](Id value) {
        if (kind(value) != Kind::array && kind(value) != Kind::object) {
            write_scalar(out, value);
            return;
        }
        out += kind(value) == Kind::array ? '[' : '{';
        open.push_back({value, 0});
    };
    start(id);
    while (!open.empty()) {
        Open& top = open.back();
        const bool object = kind(top.id) == Kind::object;
        const std::vector<Id>& children = nodes_[top.id].children;
        if (top.next == children.size()) {
            if (indented && !children.empty())
                new_line(out, open.size() - 1);
            out += object ? '}' : ']';
            open.pop_back();
            continue;
        }
        if (top.next > 0)
            out += ',';
        if (indented)
            new_line(out, open.size());
        if (object) {
            write_string(out, text(children[top.next++]));
            out += indented ? ": " : ":";
        }
        start(children[top.next++]);
    }
}

} // namespace json
